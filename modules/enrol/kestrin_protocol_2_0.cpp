#include "kestrin_protocol_2_0.h"

#include <strings.h>

#include <cstring>

#include "enrol_bindings.h"
#include "kestrin.h"
#include "kestrin_input_field.h"
#include "zelk_trace.h"

namespace kestrin::enrol {

const char s_szContetTypeURLEncoded[] = "application/x-www-form-urlencoded; charset=UTF-8";

namespace {

const char kTraceModule[] = "kestrin";
const char kLoginPath[] = "/KestrinServer/kvc2/doLogin?";
const char kCertificatePath[] = "/KestrinServer/kvc2/getCertificate?";
const char kPkcs10ContentType[] = "application/pkcs10; name=certreq.p10";

// A wide value URL-encoded as UTF-8; empty for NULL.
StringT<char> Encoded(const wchar_t* value)
{
    StringT<char> out;
    if (value != nullptr)
        String_URLEncode(value, &out);
    if (!out)
        out = "";
    return out;
}

bool Same(const char* a, const char* b)
{
    return a != nullptr && std::strcmp(a, b) == 0;
}

}  // namespace

CKestrin_Protocol_2_0::~CKestrin_Protocol_2_0()
{
    m_wstrCurrentPassword.Burn();
    if (m_pReply != nullptr)
        m_pReply->Release();
}

bool CKestrin_Protocol_2_0::ParseReply()
{
    if (m_pReply != nullptr)
        m_pReply->Release();
    m_pReply = nullptr;
    OctetString* body = GetResponseBodyBlob();
    if (body == nullptr || body->data == nullptr || body->length == 0 || JsonApi() == nullptr)
        return false;
    IJsonObject* reply = nullptr;
    if (FAILED(JsonApi()->json_parse(body, &reply)) || reply == nullptr)
        return false;
    if (reply->getType() != JSON_TYPE_OBJECT) {
        reply->Release();
        return false;
    }
    m_pReply = reply;
    return true;
}

const char* CKestrin_Protocol_2_0::ReplyString(const char* name)
{
    if (m_pReply == nullptr || m_pReply->getMemberType(name) != JSON_TYPE_STRING)
        return nullptr;
    return m_pReply->getMemberStringValueStatic(name);
}

HRESULT CKestrin_Protocol_2_0::parseInputFields(const char* memberName)
{
    if (m_pReply == nullptr)
        return E_FAIL;
    m_fields.Free();
    IJsonArray* items = nullptr;
    if (m_pReply->getMemberType(memberName) != JSON_TYPE_ARRAY
        || FAILED(m_pReply->getMemberArrayValue(memberName, &items)) || items == nullptr)
        return E_FAIL;
    const unsigned long count = items->getItemCount();
    unsigned long index = 0;
    for (; index < count && items->getItemType(index) == JSON_TYPE_OBJECT; ++index) {
        if (index == kMaxInputFields) {
            SECTRACE_FormatLn(kTraceModule, 2, "The reply lists more than %lu input fields; the rest are passed over",
                              kMaxInputFields);
            break;
        }
        IJsonObject* description = nullptr;
        if (FAILED(items->getItemObjectValue(index, &description)) || description == nullptr)
            break;
        CKestrinInputField* field = nullptr;
        if (SUCCEEDED(CKestrinInputField::New(description, &field))) {
            m_fields.Add(field);
            field->Release();
        }
        description->Release();
    }
    items->Release();
    return S_OK;
}

HRESULT CKestrin_Protocol_2_0::Send_Init(const wchar_t*)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace(nullptr, "CKestrin_Protocol_2_0::Send_Init");
    HRESULT hr = Send_Any("Client=Kestrin%20Client%202.0.0.0.0", s_szContetTypeURLEncoded);
    if (FAILED(hr))
        return hr;
    if (!ParseReply()) {
        SetState(QM_STATE_ERROR);
        return E_FAIL;
    }
    parseInputFields("input");
    const char* view = ReplyString("view");
    const char* status = ReplyString("status");
    const char* text = ReplyString("text");
    m_strSalt.Free();
    if (const char* salt = ReplyString("salt"))
        m_strSalt = Encoded(StringT<wchar_t>(salt, 65001));
    IJsonObject* config = nullptr;
    if (m_pReply->getMemberType("config") == JSON_TYPE_OBJECT
        && SUCCEEDED(m_pReply->getMemberObjectValue("config", &config)) && config != nullptr) {
        m_client->SetClientConfig(config);
        config->Release();
    }
    IJsonObject* init = nullptr;
    if (m_pReply->getMemberType("init") == JSON_TYPE_OBJECT && SUCCEEDED(m_pReply->getMemberObjectValue("init", &init))
        && init != nullptr) {
        const char* salutory = init->getMemberType("salutory") == JSON_TYPE_STRING
                                   ? init->getMemberStringValueStatic("salutory")
                                   : nullptr;
        const char* disclaimer = init->getMemberType("disclaimer") == JSON_TYPE_STRING
                                     ? init->getMemberStringValueStatic("disclaimer")
                                     : nullptr;
        if (salutory != nullptr && *salutory != '\0')
            m_client->SetMessage(StringT<wchar_t>(salutory, 65001));
        if (disclaimer != nullptr && *disclaimer != '\0')
            m_client->SetDisclaimer(StringT<wchar_t>(disclaimer, 65001));
        init->Release();
    }
    if (text != nullptr && *text != '\0') {
        StringT<wchar_t> message(m_client->GetString(2));
        if (message.IsEmpty()) {
            message = StringT<wchar_t>(text, 65001);
        } else {
            message += L"\n";
            message += StringT<wchar_t>(text, 65001);
        }
        m_client->SetMessage(message);
    }
    if (Same(status, "ACM_ACCESS_DENIED")) {
        SetState(QM_STATE_ERROR);
        return E_ACCESSDENIED;
    }
    if (Same(view, "Auth")) {
        SetState(QM_STATE_AUTH);
        return S_OK;
    }
    SetState(Same(view, "SSO") && Same(status, "ACM_OK") ? QM_STATE_READY : QM_STATE_ERROR);
    return S_OK;
}

HRESULT CKestrin_Protocol_2_0::Send_Auth(const wchar_t* user, const wchar_t* password)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace(nullptr, "CKestrin_Protocol_2_0::Send_Auth");
    return Send_Auth_Combined(user, password, nullptr);
}

HRESULT CKestrin_Protocol_2_0::Send_Auth_SPNEGO(const char* token)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace(nullptr, "CKestrin_Protocol_2_0::Send_Auth_SPNEGO");
    return Send_Auth_Combined(nullptr, nullptr, token);
}

HRESULT CKestrin_Protocol_2_0::PostSecret(StringT<char>& body)
{
    HRESULT hr = Send_Any(body, s_szContetTypeURLEncoded);
    body.Burn();
    return hr;
}

HRESULT CKestrin_Protocol_2_0::Send_Auth_Combined(const wchar_t* user, const wchar_t* password, const char* spnegoToken)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace(nullptr, "CKestrin_Protocol_2_0::Send_Auth_Combined");
    const bool tokenPath = spnegoToken != nullptr && *spnegoToken != '\0';
    if (tokenPath) {
        StringT<char> value;
        value.Format("Negotiate %s", spnegoToken);
        SetHttpHeader("Authorization", value);
        value.Burn();
    }
    StringT<char> encodedUser = Encoded(user);
    StringT<char> encodedPassword = Encoded(password);
    StringT<char> body;
    if (user != nullptr)
        body.Format("j_username=%s&j_password=%s", static_cast<const char*>(encodedUser),
                    static_cast<const char*>(encodedPassword));
    else if (password != nullptr)
        body.Format("j_password=%s", static_cast<const char*>(encodedPassword));
    else
        body = "";
    if (!m_strSalt.IsEmpty()) {
        body += "&j_salt=";
        body += m_strSalt;
    }
    HRESULT hr = PostSecret(body);
    encodedUser.Burn();
    encodedPassword.Burn();
    if (SUCCEEDED(hr)) {
        hr = Handle_Auth_Response();
        if ((GetState() == QM_STATE_NEW_PIN || GetType() != 2) && m_wstrCurrentPassword.IsEmpty()
            && password != nullptr)
            m_wstrCurrentPassword = password;
    }
    if (tokenPath) {
        // The token is good for one request: a server's replay cache refuses it
        // again, so later requests carry fresh tokens of the client's supplier.
        if (m_client->UseSPNegoPerRequest())
            SetHttpHeader("Authorization", nullptr);
    }
    if (user == nullptr && (FAILED(hr) || GetState() != QM_STATE_READY)) {
        m_client->SetMessage(L"User Authentication failed.");
        SetState(QM_STATE_ERROR);
        hr = E_ACCESSDENIED;
    }
    return hr;
}

HRESULT CKestrin_Protocol_2_0::Handle_Auth_Response()
{
    SECTRACE_Fkt_IMPL<HRESULT> trace(nullptr, "CKestrin_Protocol_2_0::Handle_Auth_Response");
    if (!ParseReply()) {
        SetState(QM_STATE_ERROR);
        return E_ABORT;
    }
    parseInputFields("input");
    const char* view = ReplyString("view");
    const char* status = ReplyString("status");
    const char* text = ReplyString("text");
    const char* type = ReplyString("type");
    HRESULT hr = E_ACCESSDENIED;
    if (Same(view, "SSO") && Same(status, "ACM_OK")) {
        SetState(QM_STATE_READY);
        hr = S_OK;
    } else if (Same(view, "NewPin") || Same(view, "NewPassword")) {
        SetState(QM_STATE_NEW_PIN);
        hr = S_OK;
    } else if (Same(view, "NextToken")) {
        SetState(QM_STATE_NEXT_CODE);
        hr = S_OK;
    } else if (Same(view, "Auth")) {
        SetState(QM_STATE_AUTH);
    } else {
        SetState(QM_STATE_ERROR);
    }
    if (text != nullptr)
        m_client->SetMessage(StringT<wchar_t>(text, 65001));
    if (type != nullptr)
        m_client->SetType(static_cast<unsigned>(String_StringToInt(type)));
    return hr;
}

HRESULT CKestrin_Protocol_2_0::Send_NewPin(const wchar_t* pin)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace(nullptr, "CKestrin_Protocol_2_0::Send_NewPin");
    StringT<char> current = Encoded(m_wstrCurrentPassword);
    StringT<char> encoded = Encoded(pin);
    StringT<char> body;
    body.Format("j_qev_current_password=%s&j_qev_password=%s&j_qev_again=%s&j_salt=%s",
                static_cast<const char*>(current), static_cast<const char*>(encoded), static_cast<const char*>(encoded),
                m_strSalt.IsEmpty() ? "" : static_cast<const char*>(m_strSalt));
    current.Burn();
    encoded.Burn();
    HRESULT hr = PostSecret(body);
    return SUCCEEDED(hr) ? Handle_Auth_Response() : hr;
}

HRESULT CKestrin_Protocol_2_0::Send_NextCode(const wchar_t* code)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace(nullptr, "CKestrin_Protocol_2_0::Send_NextCode");
    StringT<char> encoded = Encoded(code);
    StringT<char> body;
    body.Format("j_qev_password=%s&j_salt=%s", static_cast<const char*>(encoded),
                m_strSalt.IsEmpty() ? "" : static_cast<const char*>(m_strSalt));
    encoded.Burn();
    HRESULT hr = PostSecret(body);
    return SUCCEEDED(hr) ? Handle_Auth_Response() : hr;
}

HRESULT CKestrin_Protocol_2_0::Send_PKCS10()
{
    SECTRACE_Fkt_IMPL<HRESULT> trace(nullptr, "CKestrin_Protocol_2_0::Send_PKCS10");
    if (FAILED(m_client->CreatePKCS10(nullptr, nullptr)))
        return E_FAIL;
    return CertificateStep(kLoginPath, kCertificatePath);
}

HRESULT CKestrin_Protocol_2_0::CertificateStep(const char* loginPath, const char* certificatePath)
{
    StringT<char> url(m_client->EnrolURL());
    if (url.IsEmpty() || m_client->Connection() == nullptr) {
        SetState(QM_STATE_ERROR);
        return E_QM_URL_ERROR;
    }
    url.Replace(loginPath, certificatePath);
    m_client->Connection()->open(url, "1.1");
    HRESULT hr = Send_Any(m_client->PKCS10Text(), kPkcs10ContentType);
    OctetString* body = GetResponseBodyBlob();
    const bool hasBody = body != nullptr && body->data != nullptr && body->length != 0;
    if (FAILED(hr)) {
        SetState(QM_STATE_ERROR);
        const char* type = GetHttpResponseHeader("Content-Type");
        if (hasBody && type != nullptr && strncasecmp(type, "message", 7) == 0) {
            StringT<char> text;
            text.AssignFromBuffer(reinterpret_cast<const char*>(body->data), body->length);
            m_client->SetErrorMessage(StringT<wchar_t>(static_cast<const char*>(text), 65001));
            return E_FAIL;
        }
        return hr;
    }
    if (!hasBody) {
        SetState(QM_STATE_ERROR);
        return hr;
    }
    hr = m_client->ReadCertReply(body);
    SetState(SUCCEEDED(hr) ? QM_STATE_DONE : QM_STATE_ERROR);
    return hr;
}

}  // namespace kestrin::enrol
