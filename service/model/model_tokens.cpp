#include "model_tokens.h"

#include <cstring>

#include "../core/task_manager.h"
#include "model_owncerts.h"
#include "model_text.h"
#include "qev_url.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace ZELK::PSESVC {
namespace {

CLoadAPI s_loadUrl(nullptr, SEC_URL_API, &CModelToken::s_urlTable);

CZELK_CLASS s_class("zelk", "zelk.tokensinfo", &CSingletonFactoryImpl<CModelTokens>::New);

const char kProfilePrefix[] = "toksw:mem://kestrin/";
const char kWebClientPrefix[] = "toksw:mem://kestrin/webclient/";
const char kGvxPrefix[] = "p:";

IGUIModelToken* AsInterface(CModelToken* token)
{
    return token;
}

// "p:" in front unless the name has it already (with case).
StringT<char> GvxName(const char* name)
{
    StringT<char> text;
    if (String_StartsWith(name, kGvxPrefix)) {
        text = name;
    } else {
        text = kGvxPrefix;
        text += name;
    }
    return text;
}

}  // namespace

CModelToken::~CModelToken()
{
    for (char* name : m_gvxNames)
        sec_free(name);
    for (char* name : m_retiredNames)
        sec_free(name);
    for (IGUIModelOwnCert* own : m_handedOut)
        own->Release();
}

const char* CModelToken::GetTokenName()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_tokenName.Get();
}

const char* CModelToken::GetProfileName()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_profileName.Get();
}

const char* CModelToken::GetTokenInfo()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_tokenInfo.Get();
}

const char* CModelToken::GetPolicyGroup()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_policyGroup.Get();
}

uint64_t CModelToken::GetGVXNameCount()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_gvxNames.size();
}

const char* CModelToken::GetGVXName(unsigned long index)
{
    CriticalCodeSection lock(GetCriticalSection());
    return index < m_gvxNames.size() ? m_gvxNames[index] : nullptr;
}

IGUIModelToken_Type CModelToken::GetTokenType()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_type;
}

IGUIModelToken_State CModelToken::GetTokenState()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_state;
}

CModelToken::PolicyPtr CModelToken::Policy()
{
    CriticalCodeSection lock(GetCriticalSection());
    return m_policy;
}

HRESULT CModelToken::GetKVSHost(char** out)
{
    if (out == nullptr)
        return E_POINTER;
    PolicyPtr policy = Policy();
    if (policy == nullptr)
        return S_OK;
    StringT<char> url(static_cast<ZELK_IPolicy*>(policy), "EnrollURL0");
    char* host = nullptr;
    auto* table = ZELK_ApiCast<SEC_URL_TABLE>(s_urlTable);
    // A URL that does not split gives an empty host.
    if (table == nullptr || url.IsEmpty()
        || FAILED(table->split_url(url, nullptr, nullptr, nullptr, &host, nullptr, nullptr)) || host == nullptr)
        return String_Copy("", out);
    *out = host;
    return S_OK;
}

HRESULT CModelToken::GetKVSProfileGroup(char** out)
{
    if (out == nullptr)
        return E_POINTER;
    PolicyPtr policy = Policy();
    if (policy == nullptr)
        return S_OK;
    return policy->GetString("UserProfileGroup", out) < 0 ? E_FAIL : S_OK;
}

HRESULT CModelToken::GetOwnCert(unsigned long index, IGUIModelOwnCert** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CModelOwnCerts* certs = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CModelOwnCerts>::New(&certs);
    if (FAILED(hr))
        return hr;
    StringT<char> name(GetTokenName());
    hr = certs->GetCertBySlot(name, index, out);
    static_cast<IGUIModelOwnCerts*>(certs)->Release();
    return hr;
}

const PersonalCertificateInfo* CModelToken::GetPCI()
{
    IGUIModelOwnCert* own = nullptr;
    if (GetOwnCert(0, &own) != S_OK || own == nullptr)
        return nullptr;
    CriticalCodeSection lock(GetCriticalSection());
    if (!m_handedOut.empty() && m_handedOut.back() == own)
        own->Release();
    else
        m_handedOut.push_back(own);
    return m_handedOut.back()->GetPCI();
}

const char* CModelToken::GetTokenURI()
{
    const PersonalCertificateInfo* pci = GetPCI();
    if (pci != nullptr && pci->tokenName != nullptr)
        return pci->tokenName;
    return GetTokenName();
}

HRESULT CModelToken::SetTokenName(const char* name)
{
    {
        CriticalCodeSection lock(GetCriticalSection());
        if (String_Compare(m_tokenName.Get(), name != nullptr ? name : "") == 0)
            return S_OK;
        m_tokenName.Set(name);
        m_policyGroup.Set(nullptr);
        m_profileName.Set(nullptr);
        const char* text = m_tokenName.Get();
        const size_t prefix = sizeof kProfilePrefix - 1;
        if (String_StartsWithNoCase(text, kWebClientPrefix)) {
            m_profileName.Set("webclient");
        } else if (String_StartsWithNoCase(text, kProfilePrefix)) {
            // prefix, [group "/"] profile
            const char* last = std::strrchr(text, '/');
            m_profileName.Set(last + 1);
            if (static_cast<size_t>(last - text) >= prefix)
                m_policyGroup.Set(text + prefix, static_cast<size_t>(last - text) - prefix);
        }
    }
    NextRevision();
    return S_OK;
}

HRESULT CModelToken::SetTokenInfo(const char* text)
{
    {
        CriticalCodeSection lock(GetCriticalSection());
        m_tokenInfo.Set(text);
    }
    NextRevision();
    return S_OK;
}

HRESULT CModelToken::AddGVXName(const char* name)
{
    if (name == nullptr)
        return E_INVALIDARG;
    StringT<char> text = GvxName(name);
    {
        CriticalCodeSection lock(GetCriticalSection());
        for (char* existing : m_gvxNames)
            if (String_Compare(existing, text) == 0)
                return S_OK;
        m_gvxNames.push_back(text.Detach());
    }
    NextRevision();
    return S_OK;
}

HRESULT CModelToken::DelGVXName(const char* name)
{
    bool removed = false;
    {
        CriticalCodeSection lock(GetCriticalSection());
        if (name == nullptr) {
            removed = !m_gvxNames.empty();
            for (char* existing : m_gvxNames)
                m_retiredNames.push_back(existing);
            m_gvxNames.clear();
        } else {
            StringT<char> text = GvxName(name);
            for (auto it = m_gvxNames.begin(); it != m_gvxNames.end(); ++it) {
                if (String_Compare(*it, text) == 0) {
                    m_retiredNames.push_back(*it);
                    m_gvxNames.erase(it);
                    removed = true;
                    break;
                }
            }
        }
    }
    if (removed)
        NextRevision();
    return S_OK;
}

HRESULT CModelToken::SetTokenType(IGUIModelToken_Type type)
{
    {
        CriticalCodeSection lock(GetCriticalSection());
        if (m_type == type)
            return S_OK;
        m_type = type;
    }
    NextRevision();
    return S_OK;
}

HRESULT CModelToken::SetTokenState(IGUIModelToken_State state)
{
    {
        CriticalCodeSection lock(GetCriticalSection());
        if (m_state == state)
            return S_OK;
        m_state = state;
    }
    NextRevision();
    return S_OK;
}

HRESULT CModelToken::SetKVSPolicy(ZELK_IPolicy* policy)
{
    CriticalCodeSection lock(GetCriticalSection());
    m_policy = policy;
    return S_OK;
}

HRESULT CModelToken::SetAutoLogoutTask(const char* name)
{
    CriticalCodeSection lock(GetCriticalSection());
    m_autoLogoutTask.Set(name);
    return S_OK;
}

HRESULT CModelToken::CallAutoLogoutTask()
{
    StringT<char> task;
    {
        CriticalCodeSection lock(GetCriticalSection());
        if (m_autoLogoutTask.IsEmpty())
            return S_OK;
        task = m_autoLogoutTask.Get();
    }
    CTaskManager* tasks = nullptr;
    if (FAILED(CTaskManager::GetExisting(&tasks)))
        return S_OK;
    tasks->ExecuteNamedTask(task);
    tasks->Release();
    return S_OK;
}

HRESULT CModelToken::RefreshItemInfo()
{
    IGUIModelOwnCert* own = nullptr;
    GetOwnCert(0, &own);
    const Certificate* cert = own != nullptr ? own->GetCert() : nullptr;
    StringT<char> text;
    if (cert != nullptr)
        text = CertSubjectText(cert);
    else
        text = CModel::GetText("TOKEN_NOT_LOGGED_IN", nullptr);
    text += "\n";
    IGUIItem_Icon icon = ICON_NONE;
    switch (static_cast<int32_t>(m_type)) {
    case TOKEN_TYPE_KEYCHAIN:
        icon = ICON_CERT_ACTIVE;
        if (own != nullptr) {
            char* ownText = nullptr;
            own->GetItemInfo(nullptr, &ownText);
            text.Attach(ownText);
        } else {
            text += "CAPI Token";
        }
        break;
    case 3:
    case 4:
    case 5:
    case TOKEN_TYPE_WEBADAPTER: {
        char* host = nullptr;
        GetKVSHost(&host);
        text += m_profileName.Get();
        text += " (";
        text += host != nullptr ? host : "";
        text += ")";
        sec_free(host);
        if (m_type == TOKEN_TYPE_WEBADAPTER)
            icon = cert != nullptr ? ICON_WEBADAPTER_ACTIVE : ICON_WEBADAPTER;
        else
            icon = cert != nullptr ? ICON_PROFILE_ACTIVE : ICON_PROFILE;
        break;
    }
    default:
        break;
    }
    StringT<char> key("050/KVS/");
    key += m_profileName.Get();
    SetSortKeyOnce(key);
    SetItemInfo(icon, text);
    if (own != nullptr)
        own->Release();
    return S_OK;
}

HRESULT CModelTokens::CreateToken(const char* name, CModelToken** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (GetToken(name, out) == S_OK)
        return S_OK;
    CComObject<CModelToken>* token = nullptr;
    HRESULT hr = CComObject<CModelToken>::CreateInstance(&token);
    if (FAILED(hr))
        return hr;
    AsInterface(token)->AddRef();
    token->SetTokenName(name);
    *out = token;
    return S_OK;
}

HRESULT CModelTokens::AddToken(const char*, CModelToken* token)
{
    if (token == nullptr)
        return E_INVALIDARG;
    HRESULT hr = S_OK;
    {
        CriticalCodeSection lock(GetCriticalSection());
        // The new reference first: the row may be held only by the list.
        AsInterface(token)->AddRef();
        for (uint64_t i = 0; i < m_elements.Count(); ++i) {
            if (m_elements[i] == token) {
                m_elements.Delete(i);
                break;
            }
        }
        hr = m_elements.Add(token);
        AsInterface(token)->Release();
    }
    if (FAILED(hr))
        return hr;
    NextRevision();
    return S_OK;
}

HRESULT CModelTokens::DelToken(const char* name)
{
    const char* wanted = name != nullptr ? name : "";
    DeleteAndNotify([wanted](CModelToken* element) { return String_Compare(element->GetTokenName(), wanted) == 0; },
                    false);
    return S_OK;
}

HRESULT CModelTokens::GetToken(const char* name, CModelToken** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    CriticalCodeSection lock(GetCriticalSection());
    for (uint64_t i = 0; i < m_elements.Count(); ++i) {
        if (String_Compare(m_elements[i]->GetTokenName(), name != nullptr ? name : "") == 0) {
            *out = m_elements[i];
            AsInterface(*out)->AddRef();
            return S_OK;
        }
    }
    return S_FALSE;
}

HRESULT CModelTokens::StartAutoLogoutTask(const char* name)
{
    std::vector<CModelToken*> matches;
    {
        CriticalCodeSection lock(GetCriticalSection());
        for (uint64_t i = 0; i < m_elements.Count(); ++i) {
            if (String_Compare(m_elements[i]->GetTokenName(), name != nullptr ? name : "") == 0) {
                AsInterface(m_elements[i])->AddRef();
                matches.push_back(m_elements[i]);
            }
        }
    }
    for (CModelToken* token : matches) {
        token->CallAutoLogoutTask();
        AsInterface(token)->Release();
    }
    return S_OK;
}

HRESULT CModelTokens::NewTokenInfo(const char* name, CModelToken** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (name == nullptr || *name == '\0')
        return S_FALSE;
    CModelTokens* tokens = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CModelTokens>::New(&tokens);
    if (FAILED(hr))
        return hr;
    hr = tokens->CreateToken(name, out);
    tokens->Release();
    return hr;
}

HRESULT CModelTokens::RegisterToken(CModelToken* token)
{
    CModelTokens* tokens = nullptr;
    HRESULT hr = CSingletonFactoryImpl<CModelTokens>::New(&tokens);
    if (FAILED(hr))
        return hr;
    hr = tokens->AddToken(nullptr, token);
    tokens->Release();
    return hr;
}

}  // namespace ZELK::PSESVC
