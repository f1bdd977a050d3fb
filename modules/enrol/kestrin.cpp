#include "kestrin.h"

#include <cstring>

#include "enrol_bindings.h"
#include "zelk_class.h"
#include "zelk_json.h"
#include "zelk_policy_client.h"
#include "zelk_trace.h"

namespace kestrin::enrol {

namespace {

const char kTraceModule[] = "kestrin";

const SEC_PROGRESS_TABLE s_progressTable = {&CKestrin::KeyGen_ProgressStartTask};
const SEC_PROGRESS_TASK_TABLE s_progressTaskTable = {&CKestrin::KeyGen_ProgressTaskState,
                                                     &CKestrin::KeyGen_ProgressTaskFinish};

CZELK_CLASS s_class(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_CLASS, &CFactoryImpl<CKestrin>::New);

}  // namespace

CKestrin::CKestrin()
    : m_progress {&s_progressTable, this}, m_progressTask {&s_progressTaskTable, this}, m_strSubject("CN=dummy")
{
    if (const ZELKBASE_HASHTABLE_TABLE* tables = HashTables())
        tables->HashTable_CreateCommon(&m_pCookies, HASHTABLE_STRING_TO_STRING, 0);
}

CKestrin::~CKestrin()
{
    {
        std::lock_guard<std::recursive_mutex> lock(m_cs);
        if (m_pKeyPair && static_cast<KeyPair*>(m_pKeyPair)->privateKey != nullptr) {
            KeyInfo*& key = static_cast<KeyPair*>(m_pKeyPair)->privateKey;
            AuxPtr<KeyInfo> owner(key);
            key = nullptr;
        }
    }
    finalize_url();
    m_pProtocol.reset();
    m_wstrServerPIN.Burn();
    if (m_pCookies != nullptr)
        m_pCookies->Release();
}

HRESULT CKestrin::SetPolicy(ZELK_IPolicy* policy)
{
    if (policy != nullptr) {
        m_pPolicy = policy;
        char* id = nullptr;
        if (policy->GetString("uniqueClientID", &id) < 0 || id == nullptr)
            m_strUniqueClientID = "unknown";
        else
            m_strUniqueClientID.Attach(id);
    }
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    if (!m_pASC && AscTable() != nullptr) {
        ASC* context = nullptr;
        if (SUCCEEDED(AscTable()->create_ASC(&context, nullptr)) && context != nullptr) {
            m_pASC = context;
            context->Release();
        }
    }
    return S_OK;
}

HRESULT CKestrin::SetASC(ASC* context)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_pASC = context;
    return S_OK;
}

HRESULT CKestrin::GetASC(ASC** context)
{
    if (context == nullptr)
        return E_INVALIDARG;
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    *context = m_pASC;
    if (*context != nullptr)
        (*context)->AddRef();
    return S_OK;
}

HRESULT CKestrin::GetPolicy(ZELK_IPolicy** policy)
{
    if (policy == nullptr)
        return E_INVALIDARG;
    *policy = m_pPolicy;
    if (*policy != nullptr)
        (*policy)->AddRef();
    return S_OK;
}

HRESULT CKestrin::SetState(QM_CLIENT_STATE state)
{
    m_nState = state;
    return S_OK;
}

HRESULT CKestrin::Send_Init(const wchar_t* language)
{
    if (language != nullptr && *language != L'\0')
        m_strAcceptLanguage = StringT<char>(language, 65001);
    if (m_nState != QM_STATE_ERROR && m_nState != QM_STATE_INIT && m_nState != QM_STATE_DONE)
        return E_FAIL;
    HRESULT last = S_OK;
    for (int n = 0;; ++n) {
        m_nState = QM_STATE_INIT;
        StringT<char> name;
        name.Format("%s%d", "enrollURL", n);
        StringT<char> url;
        if (!m_pPolicy || m_pPolicy->GetString(name, &url) < 0 || !url) {
            m_nState = QM_STATE_ERROR;
            return last;
        }
        String_Chop(url.GetBuffer(0));
        SECTRACE_FormatLn(kTraceModule, 3, "Try to enroll KVS URL: %s", static_cast<const char*>(url));
        if (FAILED(create_urlRef(url))) {
            SECTRACE_FormatLn(kTraceModule, 1, "Enroll KVS URL: %s failed", static_cast<const char*>(url));
            continue;
        }
        m_pProtocol.reset();
        m_pProtocol.reset(CKestrin_Protocol::New(this, url));
        if (!m_pProtocol)
            return E_OUTOFMEMORY;
        last = m_pProtocol->Send_Init(language);
        if (SUCCEEDED(last))
            return last;
    }
}

HRESULT CKestrin::Send_Auth(const wchar_t* user, const wchar_t* password)
{
    return m_pProtocol ? m_pProtocol->Send_Auth(user, password) : E_FAIL;
}

HRESULT CKestrin::Send_Auth_SPNEGO(const char* token)
{
    return m_pProtocol ? m_pProtocol->Send_Auth_SPNEGO(token) : E_FAIL;
}

HRESULT CKestrin::Send_ServerPin()
{
    return m_pProtocol ? m_pProtocol->Send_ServerPin() : E_FAIL;
}

HRESULT CKestrin::Send_NewPin(const wchar_t* pin)
{
    return m_pProtocol ? m_pProtocol->Send_NewPin(pin) : E_FAIL;
}

HRESULT CKestrin::Send_NextCode(const wchar_t* code)
{
    return m_pProtocol ? m_pProtocol->Send_NextCode(code) : E_FAIL;
}

HRESULT CKestrin::Send_PKCS10()
{
    return m_pProtocol ? m_pProtocol->Send_PKCS10() : E_FAIL;
}

HRESULT CKestrin::Send_Auth()
{
    return m_pProtocol ? m_pProtocol->Send_Auth() : E_FAIL;
}

HRESULT CKestrin::GetInputObjects(unsigned long index, IKestrinInputField** field)
{
    return m_pProtocol ? m_pProtocol->GetInputObjects(index, field) : E_FAIL;
}

HRESULT CKestrin::GetProtocolVersion()
{
    return m_pProtocol ? m_pProtocol->GetProtocolVersion() : E_FAIL;
}

HRESULT CKestrin::Send_DeleteSession(int flag)
{
    if (m_pProtocol) {
        m_pProtocol->Send_DeleteSession(flag);
        m_pProtocol.reset();
    }
    m_strPKCS10.Free();
    m_pResponseBody.Free();
    m_strUniqueClientID.Free();
    m_wstrMessage.Free();
    m_wstrDisclaimer.Free();
    m_strURL.Free();
    m_wstrUserName.Free();
    m_wstrServerPIN.Burn();
    finalize_url();
    if (m_pCookies != nullptr)
        m_pCookies->Clear();
    return S_OK;
}

const wchar_t* CKestrin::GetString(unsigned index)
{
    switch (index) {
    case 1:
        return m_wstrDisclaimer;
    case 2:
        return m_wstrMessage;
    case 3:
        return m_wstrUserName;
    case 4:
        return m_wstrServerPIN;
    case 5:
        return m_wstrURL;
    case 7:
        return m_wstrHost;
    case 8:
        return m_wstrErrorMessage;
    default:
        return nullptr;
    }
}

HRESULT CKestrin::GetPinFormatInfo(int* minLength, int* maxLength, signed char* alphanumeric)
{
    if (minLength != nullptr)
        *minLength = m_nMinPINLength;
    if (maxLength != nullptr)
        *maxLength = m_nMaxPINLength;
    if (alphanumeric != nullptr)
        *alphanumeric = m_nAlphanumeric != 0 ? 1 : 0;
    return S_OK;
}

void CKestrin::SetServerPIN(const wchar_t* text)
{
    m_wstrServerPIN.Burn();
    m_wstrServerPIN = text;
}

void CKestrin::SetPinFormat(int minLength, int maxLength, int alphanumeric)
{
    m_nMinPINLength = minLength;
    m_nMaxPINLength = maxLength;
    m_nAlphanumeric = alphanumeric != 0 ? 1 : 0;
}

HRESULT CKestrin::SetSPNegoCB(IKestrin_SPNegoCB* callback)
{
    m_pSPNegoCB = callback;
    return S_OK;
}

HRESULT CKestrin::SetCertNameRequest(const char* name)
{
    if (name == nullptr)
        return S_OK;
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    m_strSubject.Format("CN=%s", name);
    return S_OK;
}

StringT<char> CKestrin::RequestedSubject()
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    return m_strSubject;
}

StringT<char> CKestrin::JoinedNames(bool dns)
{
    std::lock_guard<std::recursive_mutex> lock(m_cs);
    StringT<char> joined;
    for (SET_OF_String* n = dns ? m_pDNSNames : m_pEMailNames; n != nullptr; n = n->next) {
        if (n->element == nullptr)
            continue;
        if (!joined.IsEmpty())
            joined += ",";
        joined += n->element;
    }
    return joined;
}

bool CKestrin::UseSPNegoPerRequest()
{
    if (!m_pSPNegoCB)
        return false;
    m_bSPNego = true;
    return true;
}

HRESULT CKestrin::Cancel()
{
    m_bCancel = true;
    return S_OK;
}

HRESULT CKestrin::SetClientConfig(IJsonObject* config)
{
    if (config == nullptr)
        return E_INVALIDARG;
    if (!m_pPolicy)
        return E_FAIL;
    SECTRACE_WriteLn(kTraceModule, 4, "Setting client configuration from clientConfig JSON");
    const unsigned long count = config->getMemberCount();
    for (unsigned long i = 0; i < count; ++i) {
        const char* name = config->getMemberNameStatic(i);
        if (name == nullptr)
            continue;
        const int type = config->getMemberType(name);
        if (type == 2) {
            int value = 0;
            config->getMemberNumberValue(name, &value);
            m_pPolicy->SetDWORD(name, static_cast<unsigned>(value));
            SECTRACE_FormatLn(kTraceModule, 4, "Set : [INTEGER] %s = %d", name, value);
        } else if (type == 3) {
            const char* value = config->getMemberStringValueStatic(name);
            m_pPolicy->SetString(name, value);
            SECTRACE_FormatLn(kTraceModule, 4, "Set : [STRING] %s = %s", name, value != nullptr ? value : "");
        } else if (type == 6) {
            bool value = false;
            config->getMemberBoolValue(name, &value);
            m_pPolicy->SetDWORD(name, value ? 1 : 0);
            SECTRACE_FormatLn(kTraceModule, 4, "Set : [BOOL] %s = %d", name, value ? 1 : 0);
        } else {
            SECTRACE_FormatLn(kTraceModule, 1, "[UNSUPPORTED VALUE TYPE] = %d, key == %s", type, name);
        }
    }
    return S_OK;
}

}  // namespace kestrin::enrol
