#include "kestrin_protocol_3_0.h"

#include "kestrin.h"
#include "kestrin_input_field.h"
#include "zelk_trace.h"

namespace kestrin::enrol {

namespace {

const char kTraceModule[] = "kestrin";
const char kLoginPath[] = "/KestrinServer/kvc3/doLogin?";
const char kCertificatePath[] = "/KestrinServer/kvc3/getCertificate?";

void Drop(IJsonObject*& object)
{
    if (object != nullptr)
        object->Release();
    object = nullptr;
}

StringT<char> Encoded(const char* value)
{
    StringT<char> out(value != nullptr ? value : "");
    out.URLEncode();
    return out;
}

// A string member, NULL when absent or not a string.
const char* StringMember(IJsonObject* object, const char* name)
{
    return object != nullptr && object->getMemberType(name) == JSON_TYPE_STRING
               ? object->getMemberStringValueStatic(name)
               : nullptr;
}

}  // namespace

CKestrin_Protocol_3_0::~CKestrin_Protocol_3_0()
{
    Drop(m_pClientMessage);
    Drop(m_pClientConfig);
    Drop(m_pCertificateTemplate);
    Drop(m_pSessionSalt);
}

HRESULT CKestrin_Protocol_3_0::Send_Init(const wchar_t*)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace(nullptr, "CKestrin_Protocol_3_0::Send_Init");
    StringT<char> body("");
    StringT<char> subject = m_client->RequestedSubject();
    if (!subject.IsEmpty()) {
        body = "subjectName=";
        body += Encoded(subject);
    }
    for (bool dns : {true, false}) {
        StringT<char> names = m_client->JoinedNames(dns);
        if (names.IsEmpty())
            continue;
        if (!body.IsEmpty())
            body += "&";
        body += dns ? "subjectAltNamesDNS=" : "subjectAltNamesRfc822=";
        body += Encoded(names);
    }
    HRESULT hr = Send_Any(body, s_szContetTypeURLEncoded);
    return SUCCEEDED(hr) ? Handle_Auth_Response() : hr;
}

HRESULT CKestrin_Protocol_3_0::Send_Auth()
{
    if (m_fields.Count() == 0)
        return E_FAIL;
    StringT<char> body("");
    // A salt that lacks a member cannot be answered: it is not sent.
    const char* saltField = StringMember(m_pSessionSalt, "field");
    const char* saltValue = StringMember(m_pSessionSalt, "value");
    if (saltField != nullptr && saltValue != nullptr) {
        body = saltField;
        body += "=";
        body += Encoded(saltValue);
    }
    for (uint64_t i = 0; i < m_fields.Count(); ++i) {
        CKestrinInputField* field = m_fields[i];
        if (!body.IsEmpty())
            body += "&";
        body += field->GetField() != nullptr ? field->GetField() : "";
        body += "=";
        if (field->GetValueURLEncoded() != nullptr)
            body += field->GetValueURLEncoded();
    }
    // The answers may hold passwords.
    HRESULT hr = PostSecret(body);
    return SUCCEEDED(hr) ? Handle_Auth_Response() : hr;
}

HRESULT CKestrin_Protocol_3_0::TakeObject(const char* name, IJsonObject*& held, bool clear)
{
    IJsonObject* object = nullptr;
    if (m_pReply == nullptr || m_pReply->getMemberType(name) != JSON_TYPE_OBJECT
        || FAILED(m_pReply->getMemberObjectValue(name, &object)) || object == nullptr) {
        if (clear)
            Drop(held);
        return S_FALSE;
    }
    Drop(held);
    held = object;
    return S_OK;
}

HRESULT CKestrin_Protocol_3_0::parseSessionSalt()
{
    return TakeObject("sessionSalt", m_pSessionSalt, false);
}

HRESULT CKestrin_Protocol_3_0::parseClientConfig()
{
    HRESULT hr = TakeObject("clientConfig", m_pClientConfig, false);
    if (hr == S_OK)
        m_client->SetClientConfig(m_pClientConfig);
    return hr;
}

HRESULT CKestrin_Protocol_3_0::parseClientMessage()
{
    m_client->SetDisclaimer(L"");
    m_client->SetType(0);
    HRESULT hr = TakeObject("clientMessage", m_pClientMessage, true);
    if (hr != S_OK)
        return hr;
    if (const char* disclaimer = StringMember(m_pClientMessage, "disclaimer"))
        m_client->SetDisclaimer(StringT<wchar_t>(disclaimer, 65001));
    int type = 0;
    if (m_pClientMessage->getMemberType("messageType") == JSON_TYPE_NUMBER
        && SUCCEEDED(m_pClientMessage->getMemberNumberValue("messageType", &type)))
        m_client->SetType(static_cast<unsigned>(type));
    if (const char* text = StringMember(m_pClientMessage, "messageText")) {
        m_client->SetMessage(L"");
        m_client->SetErrorMessage(L"");
        if (GetType() == 2)
            m_client->SetErrorMessage(StringT<wchar_t>(text, 65001));
        else
            m_client->SetMessage(StringT<wchar_t>(text, 65001));
    }
    return S_OK;
}

HRESULT CKestrin_Protocol_3_0::parseCertificateTemplate()
{
    return TakeObject("certificateTemplate", m_pCertificateTemplate, true);
}

HRESULT CKestrin_Protocol_3_0::Handle_Auth_Response()
{
    SECTRACE_Fkt_IMPL<HRESULT> trace(nullptr, "CKestrin_Protocol_3_0::Handle_Auth_Response");
    if (!ParseReply()) {
        SECTRACE_WriteLn(kTraceModule, 1, "kestrin: the reply is no JSON object");
        SetState(QM_STATE_ERROR);
        return E_ABORT;
    }
    parseSessionSalt();
    parseClientConfig();
    parseClientMessage();
    parseInputFields("userInput");
    parseCertificateTemplate();
    if (m_pCertificateTemplate != nullptr) {
        SetState(QM_STATE_READY);
        return S_OK;
    }
    if (m_fields.Count() == 0) {
        SetState(QM_STATE_ERROR);
        return E_ACCESSDENIED;
    }
    SetState(QM_STATE_INPUT);
    return GetType() == 2 ? E_ACCESSDENIED : S_OK;
}

HRESULT CKestrin_Protocol_3_0::Send_PKCS10()
{
    SECTRACE_Fkt_IMPL<HRESULT> trace(nullptr, "CKestrin_Protocol_3_0::Send_PKCS10");
    if (m_pCertificateTemplate == nullptr) {
        SetState(QM_STATE_ERROR);
        return E_FAIL;
    }
    // A request that cannot be built is not sent: the last one would be.
    if (FAILED(m_client->CreatePKCS10(StringMember(m_pCertificateTemplate, "subjectNameDER"),
                                      StringMember(m_pCertificateTemplate, "extensionsDER"))))
        return E_FAIL;
    return CertificateStep(kLoginPath, kCertificatePath);
}

}  // namespace kestrin::enrol
