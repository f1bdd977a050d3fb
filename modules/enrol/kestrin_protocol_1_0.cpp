#include "kestrin_protocol_1_0.h"

#include <cstring>

#include "kestrin.h"
#include "kestrin_input_field.h"
#include "kestrin_ip.h"
#include "zelk_trace.h"

namespace kestrin::enrol {

namespace {

const char kTraceModule[] = "kestrin";

}  // namespace

CKestrin_Protocol_1_0::CKestrin_Protocol_1_0(CKestrin* client) : CKestrin_Protocol(client)
{
    const char* fields[][2] = {{"j_username", "text"}, {"j_password", "password"}};
    for (const auto& f : fields) {
        CKestrinInputField* field = nullptr;
        if (SUCCEEDED(CKestrinInputField::New(&field))) {
            field->SetField(f[0]);
            field->SetType(f[1]);
            m_fields.Add(field);
            field->Release();
        }
    }
}

HRESULT CKestrin_Protocol_1_0::Send_Init(const wchar_t*)
{
    StringT<char> host, address;
    HRESULT hr = CKestrinIP::GetIp(&host, &address);
    if (FAILED(hr)) {
        SECTRACE_WriteLn(kTraceModule, 1, "kestrin: error by resolving own Network names");
        return hr;
    }
    StringT<char> text;
    m_xml.Compose_Init(m_client->UniqueClientID(), address, host, &text);
    if (text.IsEmpty()) {
        SECTRACE_WriteLn(kTraceModule, 1, "kestrin: XML is not welformed");
        return E_FAIL;
    }
    return Send_Any(text, nullptr);
}

HRESULT CKestrin_Protocol_1_0::Send_Auth(const wchar_t* user, const wchar_t* password)
{
    QM_CLIENT_STATE state = GetState();
    if (state != QM_STATE_AUTH && state != QM_STATE_SPNEGO)
        return E_FAIL;
    if (FAILED(m_client->CreatePKCS10(nullptr, nullptr)))
        return E_FAIL;
    m_client->SetUserName(user);
    StringT<char> text;
    m_xml.Compose_Auth(user, password, m_client->PKCS10Text(), &text);
    return Send_Any_Burn(text, nullptr);
}

HRESULT CKestrin_Protocol_1_0::Send_Auth_SPNEGO(const char* token)
{
    StringT<wchar_t> wide(token, 65001);
    HRESULT hr = Send_Auth(L"kerberos:", wide);
    wide.Burn();
    return hr;
}

HRESULT CKestrin_Protocol_1_0::Send_ServerPin()
{
    StringT<char> text;
    HRESULT hr = m_xml.Compose_NewPin(m_client->GetString(4), &text);
    if (FAILED(hr))
        return hr;
    return Send_Any_Burn(text, nullptr);
}

HRESULT CKestrin_Protocol_1_0::Send_NewPin(const wchar_t* pin)
{
    if (GetState() != QM_STATE_NEW_PIN)
        return E_FAIL;
    if (pin == nullptr)
        return E_INVALIDARG;
    StringT<char> text;
    m_xml.Compose_NewPin(pin, &text);
    HRESULT hr = Send_Any_Burn(text, nullptr);
    if (FAILED(hr))
        SetState(QM_STATE_AUTH);
    return hr;
}

HRESULT CKestrin_Protocol_1_0::Send_NextCode(const wchar_t* code)
{
    if (GetState() != QM_STATE_NEXT_CODE)
        return E_FAIL;
    StringT<char> text;
    m_xml.Compose_NextCode(code, &text);
    return Send_Any(text, nullptr);
}

HRESULT CKestrin_Protocol_1_0::Send_DeleteSession(int kind)
{
    if (kind < 2)
        return S_OK;
    StringT<char> text;
    m_xml.Compose_Exit(kind == 2 ? 1 : 0, &text);
    m_client->url_do_query(text);
    return S_OK;
}

HRESULT CKestrin_Protocol_1_0::Send_Any(const char* body, const char* contentType)
{
    HRESULT hr = CKestrin_Protocol::Send_Any(body, contentType);
    if (FAILED(hr))
        return hr;
    return Handle_ServerResponse(GetResponseBodyBlob());
}

HRESULT CKestrin_Protocol_1_0::Handle_ServerResponse(const OctetString* reply)
{
    const char* text = reply != nullptr && reply->data != nullptr ? reinterpret_cast<const char*>(reply->data) : "";
    HRESULT hr = m_xml.ParseXML(text);
    if (FAILED(hr)) {
        SetState(QM_STATE_ERROR);
        return hr;
    }
    StringT<wchar_t> message;
    m_xml.GetMessage(&message);
    m_client->SetMessage(message);
    switch (m_xml.GetActionRequest()) {
    case 1:
        return Handle_ConfigAction();
    case 2:
        return Handle_AuthResultAction();
    case 3:
        return Handle_SendNextCodeAction();
    case 4:
        return Handle_NewPinRequiredAction();
    case 5:
        return Handle_NewPinReplyAction();
    case 6:
        return Handle_ErrorAction();
    default:
        SetState(QM_STATE_ERROR);
        return E_FAIL;
    }
}

HRESULT CKestrin_Protocol_1_0::Handle_ConfigAction()
{
    if (GetState() != QM_STATE_INIT) {
        SetState(QM_STATE_ERROR);
        return E_FAIL;
    }
    StringT<wchar_t> disclaimer;
    m_xml.GetDisclaimer(&disclaimer);
    m_client->SetDisclaimer(disclaimer);
    ZELK_PTR(ZELK_IPolicy) policy;
    m_client->GetPolicy(&policy);
    StringT<char> pseType(static_cast<ZELK_IPolicy*>(policy), "PseType");
    bool kerberos = pseType.CompareNoCase("kerberoslogin") == 0 || pseType.CompareNoCase("windowslogin") == 0;
    SetState(kerberos ? QM_STATE_SPNEGO : QM_STATE_AUTH);
    return S_OK;
}

HRESULT CKestrin_Protocol_1_0::Handle_AuthResultAction()
{
    const int status = m_xml.GetStatus();
    if (status == 0) {
        HRESULT rc = ReadCertReply();
        if (GetState() == QM_STATE_ERROR)
            return FAILED(rc) ? rc : E_QM_SERVER_ERROR;
        SetState(SUCCEEDED(rc) ? QM_STATE_DONE : QM_STATE_ERROR);
        return rc;
    }
    if (status == E_ACCESSDENIED || status == E_QM_UNDEFINED_USERNAME) {
        SetState(QM_STATE_AUTH);
        return status;
    }
    SetState(QM_STATE_ERROR);
    return status;
}

HRESULT CKestrin_Protocol_1_0::Handle_SendNextCodeAction()
{
    SetState(QM_STATE_NEXT_CODE);
    return S_OK;
}

HRESULT CKestrin_Protocol_1_0::Handle_NewPinRequiredAction()
{
    SetState(QM_STATE_NEW_PIN);
    StringT<wchar_t> pin;
    m_xml.GetServerPIN(&pin);
    m_client->SetServerPIN(pin);
    pin.Burn();
    m_client->SetPinFormat(m_xml.GetMinPINLength(), m_xml.GetMaxPINLength(), m_xml.GetAlphanumeric());
    return m_xml.GetPINSelectMode();
}

HRESULT CKestrin_Protocol_1_0::Handle_NewPinReplyAction()
{
    const int status = m_xml.GetStatus();
    SetState(status == E_QM_NEW_PIN_REJECTED ? QM_STATE_NEW_PIN : QM_STATE_AUTH);
    return status;
}

HRESULT CKestrin_Protocol_1_0::Handle_ErrorAction()
{
    SetState(QM_STATE_ERROR);
    return m_xml.GetStatus() == E_QM_INVALID_MESSAGE_FORMAT ? E_QM_INVALID_MESSAGE : E_QM_INTERNAL_SERVER_ERROR;
}

HRESULT CKestrin_Protocol_1_0::ReadCertReply()
{
    StringT<char> certificate;
    m_xml.GetCertificate(&certificate);
    const char* text = certificate ? static_cast<const char*>(certificate) : "";
    OctetString reply {std::strlen(text), reinterpret_cast<unsigned char*>(const_cast<char*>(text))};
    return m_client->ReadCertReply(&reply);
}

}  // namespace kestrin::enrol
