#include "kestrin_protocol.h"

#include <cstdlib>
#include <cstring>

#include "kestrin.h"
#include "kestrin_input_field.h"
#include "kestrin_protocol_1_0.h"
#include "kestrin_protocol_3_0.h"

namespace kestrin::enrol {

void AuxIUnknownArray::Add(CKestrinInputField* field)
{
    if (field == nullptr)
        return;
    auto* grown = static_cast<CKestrinInputField**>(std::realloc(m_fields, (m_count + 1) * sizeof(*m_fields)));
    if (grown == nullptr) {
        Free();
        return;
    }
    m_fields = grown;
    m_fields[m_count++] = field;
    field->AddRef();
}

void AuxIUnknownArray::Free()
{
    for (uint64_t i = 0; i < m_count; ++i)
        m_fields[i]->Release();
    std::free(m_fields);
    m_fields = nullptr;
    m_count = 0;
}

CKestrin_Protocol* CKestrin_Protocol::New(CKestrin* client, const char* enrolUrl)
{
    const char* url = enrolUrl != nullptr ? enrolUrl : "";
    if (std::strstr(url, "/kestrin/") != nullptr || std::strstr(url, "KestrinServer/kvc1/") != nullptr)
        return new (std::nothrow) CKestrin_Protocol_1_0(client);
    if (std::strstr(url, "KestrinServer/kvc2/") != nullptr)
        return new (std::nothrow) CKestrin_Protocol_2_0(client);
    return new (std::nothrow) CKestrin_Protocol_3_0(client);
}

CKestrin_Protocol::~CKestrin_Protocol()
{
    m_fields.Free();
    m_client = nullptr;
}

HRESULT CKestrin_Protocol::Send_Init(const wchar_t*)
{
    return E_NOTIMPL;
}

HRESULT CKestrin_Protocol::Send_Auth(const wchar_t*, const wchar_t*)
{
    return E_NOTIMPL;
}

HRESULT CKestrin_Protocol::Send_Auth_SPNEGO(const char*)
{
    return E_NOTIMPL;
}

HRESULT CKestrin_Protocol::Send_ServerPin()
{
    return E_NOTIMPL;
}

HRESULT CKestrin_Protocol::Send_NewPin(const wchar_t*)
{
    return E_NOTIMPL;
}

HRESULT CKestrin_Protocol::Send_DeleteSession(int)
{
    return E_NOTIMPL;
}

HRESULT CKestrin_Protocol::Send_NextCode(const wchar_t*)
{
    return E_NOTIMPL;
}

HRESULT CKestrin_Protocol::Send_PKCS10()
{
    return E_NOTIMPL;
}

HRESULT CKestrin_Protocol::GetInputObjects(size_t index, IKestrinInputField** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    if (index >= m_fields.Count())
        return E_FAIL;
    *out = m_fields[index];
    (*out)->AddRef();
    return S_OK;
}

HRESULT CKestrin_Protocol::Send_Any(const char* body, const char* contentType)
{
    return m_client->Send_Any(body, contentType);
}

// Every caller sends its secret without a content type.
HRESULT CKestrin_Protocol::Send_Any_Burn(StringT<char>& body, const char*)
{
    HRESULT hr = Send_Any(body, nullptr);
    body.Burn();
    return hr;
}

HRESULT CKestrin_Protocol::SetState(QM_CLIENT_STATE state)
{
    return m_client->SetState(state);
}

QM_CLIENT_STATE CKestrin_Protocol::GetState()
{
    return m_client->GetState();
}

unsigned CKestrin_Protocol::GetType()
{
    return m_client->GetType();
}

HRESULT CKestrin_Protocol::SetHttpHeader(const char* name, const char* value)
{
    url_connection* connection = m_client->Connection();
    if (connection == nullptr)
        return E_FAIL;
    HRESULT hr = connection->setRequestHeader(name, nullptr);
    if (value != nullptr)
        hr = connection->addRequestHeader(name, value);
    return hr;
}

const char* CKestrin_Protocol::GetHttpResponseHeader(const char* name)
{
    return m_client->GetHttpResponseHeader(name);
}

const char* CKestrin_Protocol::GetResponseBody()
{
    return m_client->GetResponseBody();
}

OctetString* CKestrin_Protocol::GetResponseBodyBlob()
{
    return m_client->GetResponseBodyBlob();
}

}  // namespace kestrin::enrol
