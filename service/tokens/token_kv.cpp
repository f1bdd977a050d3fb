#include "token_kv.h"

#include <cstring>

#include "../core/create_object.h"
#include "../core/pse_factory.h"
#include "../core/reader_manager.h"
#include "../model/model_owncerts.h"
#include "kerberos_api.h"
#include "token_manager.h"
#include "zelk_class.h"
#include "zelk_policy_client.h"
#include "zelk_strings.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

constexpr char kKVPrefix[] = "tokkv:";
constexpr char kSoftwarePrefix[] = "toksw:mem://kestrin/";
// Longer profile names are refused rather than formatted into paths.
constexpr size_t kMaxProfileName = 256;

CZELK_CLASS s_classKV("zelk", "zelk.tokenkv", &CToken_KV::New);
CZELK_CLASS s_classKVTest("zelk", "zelk.tokenkv.test", &CToken_KV::NewTest);

// The token manager makes profile tokens through the factory.
struct CreatorRegistration {
    CreatorRegistration() { CTokenMgr::SetProfileTokenCreator(&CToken_KV::New); }
} s_creator;

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

template <class T>
HRESULT Create(const GUID& iid, void** out)
{
    return CFactoryImpl<T>::New(iid, out);
}

}  // namespace

CToken_KV::CToken_KV() : m_userInfo(new (std::nothrow) CUserInfo(true))
{
    GetResourceManager(L"zelkgui", &m_texts);
}

CToken_KV::~CToken_KV()
{
    ClearScheduledTasks(true);
    EndAutoEnrollWait();
    if (m_keyThread) {
        m_keyThread.Wait(-1);
        m_keyThread.Close();
    }
    delete m_userInfo;
    delete m_kerberos;
}

HRESULT CToken_KV::New(const GUID& iid, void** out)
{
    return Create<CToken_KV>(iid, out);
}

HRESULT CToken_KV::NewTest(const GUID& iid, void** out)
{
    return New(iid, out);
}

HRESULT CToken_KV::New(const char* readerName, const GUID& iid, void** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    CComPtr<CComIID<ZELK_IPolicy, &IID_ZELK_IPolicy>> policy;
    HRESULT hr = ReaderNameToPolicy(readerName, &policy);
    if (FAILED(hr))
        return hr;
    StringT<char> type(policy.getObject(), POL::KESTRIN::PROFILE::PSE_TYPE);
    if (type.CompareNoCase("webadapter") == 0)
        return Create<CToken_KV_WebAdapter>(iid, out);
    if (type.CompareNoCase("hearthgate") == 0) {
        // The local-server kind registers its own factory; without it the
        // profile has no token.
        ZELK_CREATOR_FN factory = s_localServerFactory.load();
        return factory != nullptr ? factory(iid, out) : E_FAIL;
    }
    return Create<CToken_KV>(iid, out);
}

HRESULT CToken_KV::New(const char* readerName, CToken** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    CToken_KV* token = nullptr;
    HRESULT hr = New(readerName, IID_CToken_KV, reinterpret_cast<void**>(&token));
    if (FAILED(hr))
        return hr;
    *out = token;
    return S_OK;
}

void CToken_KV::SetLocalServerFactory(ZELK_CREATOR_FN factory)
{
    s_localServerFactory = factory;
}

HRESULT CToken_KV::ReaderNameToProfile(const char* readerName, char** profile)
{
    if (readerName == nullptr || *readerName == '\0' || profile == nullptr)
        return E_INVALIDARG;
    const char* rest = readerName;
    if (String_StartsWithNoCase(readerName, kKVPrefix))
        rest = readerName + sizeof kKVPrefix - 1;
    else if (String_StartsWithNoCase(readerName, kSoftwarePrefix))
        rest = readerName + sizeof kSoftwarePrefix - 1;
    return String_Copy(rest, profile);
}

HRESULT CToken_KV::ProfileToPolicy(const char* profile, ZELK_IPolicy** out)
{
    if (profile == nullptr || *profile == '\0' || out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    if (String_Length(profile) > kMaxProfileName)
        return E_INVALIDARG;
    StringT<char> path;
    const char* slash = std::strchr(profile, '/');
    if (slash != nullptr) {
        StringT<char> group;
        group.AssignFromBuffer(profile, static_cast<size_t>(slash - profile));
        path.Format("groups/%s/profiles/%s", static_cast<const char*>(group), slash + 1);
    } else {
        path.Format("%s/%s", POL::KESTRIN::PROFILE::REG_PATH, profile);
    }
    if (path.IsEmpty())
        return E_OUTOFMEMORY;
    ZELK_PolOpen(path, out);
    return *out != nullptr ? S_OK : E_FAIL;
}

HRESULT CToken_KV::ReaderNameToPolicy(const char* readerName, ZELK_IPolicy** out)
{
    if (readerName == nullptr || *readerName == '\0' || out == nullptr)
        return E_INVALIDARG;
    StringT<char> profile;
    HRESULT hr = ReaderNameToProfile(readerName, &profile);
    if (FAILED(hr))
        return hr;
    return ProfileToPolicy(profile, out);
}

bool CToken_KV::IsValidPolicy(ZELK_IPolicy* policy)
{
    if (policy == nullptr)
        return false;
    StringT<char> url;
    url.Format("%s%d", POL::KESTRIN::PROFILE::ENROLL_URL, 0);
    StringT<char> first(policy, url);
    if (first.IsEmpty())
        return false;
    StringT<char> type(policy, POL::KESTRIN::PROFILE::PSE_TYPE);
    if (type.CompareNoCase("kerberoslogin") != 0 && type.CompareNoCase("windowslogin") != 0)
        return true;
    if (CKerberosAPI::IsAPIAvailable())
        return true;
    SECTRACE_FormatLn(nullptr, 1,
                      "The profile '%s' needs the kerberos library. Please install the feature QEV_Kestrin_kerberos",
                      policy->GetName());
    return false;
}

IGUIModelToken_Type CToken_KV::GetTokenType()
{
    return TOKEN_TYPE_PROFILE;
}

HRESULT CToken_KV::Init(SecToken* token, CModelToken* model, const char* readerName)
{
    HRESULT hr = ReaderNameToProfile(readerName, &m_profileName);
    if (FAILED(hr))
        return hr;
    SECTRACE_FormatLn(nullptr, 3, "CToken_KV: Profile Name: %s", static_cast<const char*>(m_profileName));
    if (!m_policy) {
        CComPtr<CComIID<ZELK_IPolicy, &IID_ZELK_IPolicy>> stored;
        if (SUCCEEDED(ProfileToPolicy(m_profileName, &stored)))
            ZELK_PolGetTempClone(stored, &m_policy);
    }
    hr = CToken::Init(token, model, readerName);
    if (FAILED(hr))
        return hr;
    if (m_model != nullptr && m_policy)
        m_model->SetKVSPolicy(m_policy);
    m_pseType = StringT<char>(m_policy.getObject(), POL::KESTRIN::PROFILE::PSE_TYPE);
    SECTRACE_FormatLn(nullptr, 3, "CToken_KV: PseType: %s", static_cast<const char*>(m_pseType));
    unsigned autoEnroll = m_policy ? m_policy->GetDWORD(POL::KESTRIN::PROFILE::AUTO_ENROLL) & 0xFF : 0;
    if (m_pseType.CompareNoCase("hearthgate") == 0)
        autoEnroll = 1;
    SECTRACE_FormatLn(nullptr, 3, "CToken_KV: AutoEnroll: %i", static_cast<int>(autoEnroll));
    if (!m_externallyManaged && autoEnroll != 0)
        ScheduleAutoEnroll();
    return hr;
}

HRESULT CToken_KV::InitEx(SecToken* token, CModelToken* model, const char* readerName, const KeyPair* keyPair,
                          bool externallyManaged, ZELK_IPolicy* policy, const char* certNameRequest)
{
    if (keyPair != nullptr) {
        const SEC_TYPE_TABLE* pairs = SEC_TypeTable(fptr__common_types, SEC_TYPE_KeyPair);
        void* copy = nullptr;
        if (pairs == nullptr || FAILED(pairs->copy(keyPair, &copy)))
            return E_OUTOFMEMORY;
        m_presetKeyPair.Attach(static_cast<KeyPair*>(copy));
    }
    m_externallyManaged = externallyManaged;
    if (policy != nullptr)
        m_policy = policy;
    m_certNameRequest = certNameRequest;
    return Init(token, model, readerName);
}

const char* CToken_KV::GetPolicyPath()
{
    return m_policy ? m_policy->GetPath() : nullptr;
}

const char* CToken_KV::GetProfileName()
{
    return m_profileName;
}

const char* CToken_KV::GetProfileType()
{
    return m_pseType;
}

int32_t CToken_KV::PolicyInt(const char* name)
{
    return m_policy ? static_cast<int32_t>(m_policy->GetDWORD(name)) : 0;
}

bool CToken_KV::PolicyMessageFlag(const char* name)
{
    // The store's number defaults never reach GetDWORD, so the profile
    // default (on) is applied here when the profile leaves the flag out.
    if (!m_policy || !m_policy->IsConfigured(name))
        return true;
    return m_policy->GetDWORD(name) != 0;
}

HRESULT CToken_KV::GetEnrollURLs(char** list)
{
    if (list == nullptr)
        return E_INVALIDARG;
    *list = nullptr;
    MultiStringT urls;
    if (m_policy) {
        for (int index = 0;; ++index) {
            StringT<char> name;
            name.Format("%s%d", POL::KESTRIN::PROFILE::ENROLL_URL, index);
            StringT<char> value;
            if (m_policy->GetString(name, &value) < 0 || static_cast<const char*>(value) == nullptr)
                break;
            const char* begin = value;
            const char* end = begin + String_Length(begin);
            while (begin < end && IsBlank(*begin))
                ++begin;
            while (end > begin && IsBlank(end[-1]))
                --end;
            if (begin == end)
                continue;
            StringT<char> trimmed;
            trimmed.AssignFromBuffer(begin, static_cast<size_t>(end - begin));
            urls.Add(trimmed);
        }
    }
    *list = urls.Detach();
    return S_OK;
}

HRESULT CToken_KV::GetNewKVHandle(IKestrin** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    IKestrin* client = nullptr;
    HRESULT hr = ZELK_CreateObject(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_CLASS, &client);
    if (FAILED(hr) || client == nullptr)
        return FAILED(hr) ? hr : E_FAIL;
    ASC* context = nullptr;
    if (SUCCEEDED(CPSEFactory::GetASC(&context, m_policy)) && context != nullptr) {
        client->SetASC(context);
        context->Release();
    }
    client->SetPolicy(m_policy);
    *out = client;
    return S_OK;
}

int CToken_KV::ChangePin(ICredUI*)
{
    return E_TOKEN_NOTSUPPORTED;
}

int CToken_KV::UnblockPin(ICredUI*)
{
    return E_TOKEN_NOTSUPPORTED;
}

bool CToken_KV::NeedLogin()
{
    return m_loggedOut;
}

HRESULT CToken_KV::GetVerbByReason(IGUIVerb_Reason reason, IGUIVerb** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    if (reason == IGUIVerb_Reason_Login) {
        if (m_autoEnrollPending)
            WaitForAutoEnroll();
        AuxRefPtr<Certificate> cert;
        if (GetOwnCert(&cert) == S_OK && cert) {
            if (IsValidCert(cert, 0))
                return S_FALSE;
            reason = IGUIVerb_Reason_Reauth;
        }
    }
    return CToken::GetVerbByReason(reason, out);
}

HRESULT CToken_KV::RefreshModel()
{
    if (m_model == nullptr)
        return S_FALSE;
    CReaderMgr* readers = nullptr;
    if (SUCCEEDED(CReaderMgr::GetExisting(&readers)) && readers != nullptr) {
        readers->ReaderEvent(IReaderEvents::CARD_INSERTED, Name(), 0);
        static_cast<IReaderEvents*>(readers)->Release();
    }
    CModelOwnCerts* certs = nullptr;
    if (SUCCEEDED(CSingletonFactoryImpl<CModelOwnCerts>::New(&certs)) && certs != nullptr) {
        certs->Refresh(Name());
        static_cast<IGUIModelOwnCerts*>(certs)->Release();
    }
    m_model->NextRevision();
    return S_OK;
}

const wchar_t* CToken_KV::GetString(const char* key)
{
    return m_texts ? m_texts->GetW(key) : nullptr;
}

HRESULT CToken_KV::MakeQMErrorText(int rc, wchar_t** text, unsigned*)
{
    static const struct {
        HRESULT code;
        const char* key;
    } kTexts[] = {
        {E_ACCESSDENIED, "QM_E_ACCESSDENIED"},
        {E_QM_URL_ERROR, "QM_E_URL_ERROR"},
        {E_QM_URL_ERROR_SSL, "QM_E_URL_ERROR_SSL"},
        {E_QM_URL_ERROR_SSL_NAME, "QM_E_URL_ERROR_SSL_NAME"},
        {E_QM_URL_ERROR_SSL_EXT, "QM_E_URL_ERROR_SSL_EXT"},
        {E_QM_SERVER_ERROR, "QM_E_SERVER_ERROR"},
        {E_QM_INVALID_MESSAGE_FORMAT, "QM_E_INVALID_MESSAGE"},
        {E_QM_UNDEFINED_USERNAME, "QM_E_UNDEFINED_USERNAME"},
        {E_QM_SERVER_ERROR_NOHOST, "QM_E_SERVER_ERROR_NOHOST"},
        {E_QM_SERVER_CONNECT_TIMEOUT, "PR_E_SERVER_CONNECT_TIMEOUT"},
        {E_QM_PIN_LENGTH, "QM_E_PIN_LENGTH"},
        {E_QM_INTERNAL_SERVER_ERROR, "QM_E_INTERNAL_SERVER_ERROR"},
        {E_QM_PARSER_ERROR, "QM_E_PARSER_ERROR"},
        {E_QM_INVALID_MESSAGE, "QM_E_INVALID_MESSAGE"},
        {E_QM_NEW_PIN_REJECTED, "QM_E_NEW_PIN_REJECTED"},
        {E_QM_CERTIFICATE_BAD, "QM_E_CERTIFICATE_BAD"},
        {E_QM_COMPOSEXML, "QM_E_COMPOSEXML"},
        {E_QM_CERT_INVALID, "QM_CERT_INVALID"},
    };
    const char* key = "QM_E_INTERNAL_SERVER_ERROR";
    for (const auto& row : kTexts)
        if (row.code == rc)
            key = row.key;
    if (text != nullptr)
        String_Copy(GetString(key), text);
    return S_OK;
}

HRESULT CToken_KV::GuiPopupErr(ICredUI* dialog, const wchar_t* text, unsigned code, bool force)
{
    if (m_silent && !force)
        return S_OK;
    if (dialog != nullptr && PolicyMessageFlag(POL::KESTRIN::PROFILE::SHOW_ERROR_MESSAGE))
        dialog->GuiPopupErr(text, code);
    return S_OK;
}

HRESULT CToken_KV::Open_UpdateUI(ICredUI* dialog, ZELK_IPolicy*)
{
    IKestrin* client = Client();
    if (dialog == nullptr || client == nullptr)
        return S_OK;
    dialog->GuiLongOperation(nullptr, false);
    const wchar_t* message = client->GetString(2);
    if (m_silent && !String_IsEmpty(message))
        dialog->GuiMessage(message);
    return S_OK;
}

// The verbs are bound through the CToken part, the token's one IUnknown;
// each calls the operation through the vtable, so a subclass's override runs.
HRESULT CToken_KV::InitVerbs()
{
    using Verb = int (CToken::*)(ICredUI*);
    static const VerbTableRow<CToken> s_aVerbs[] = {
        {"verb.login", 0x1, &CToken::Login},
        {"verb.login.as", 0x10, static_cast<Verb>(static_cast<int (CToken_KV::*)(ICredUI*)>(&CToken_KV::LoginAs))},
        {"verb.logout", 0x4, &CToken::Logout},
        {"verb.show.cert", 0x4, &CToken::ShowCert},
        {"verb.reauth", 0x10, &CToken::Reauth},
        {nullptr, 0, nullptr},
    };
    return CreateVerbs(static_cast<CToken*>(this), s_aVerbs);
}

IGUIModelToken_Type CToken_KV_WebAdapter::GetTokenType()
{
    return TOKEN_TYPE_WEBADAPTER;
}

HRESULT CToken_KV_WebAdapter::DoVerbByReason(IGUIVerb_Reason)
{
    return S_FALSE;
}

HRESULT CToken_KV_WebAdapter::InitVerbs()
{
    static const VerbTableRow<CToken> s_aVerbs[] = {
        {"verb.logout", 0x4, &CToken::Logout},
        {"verb.show.cert", 0x4, &CToken::ShowCert},
        {nullptr, 0, nullptr},
    };
    return CreateVerbs(static_cast<CToken*>(this), s_aVerbs);
}

}  // namespace ZELK::PSESVC
