#include "applications.h"

#include <cstring>

#include "../model/model_certs.h"
#include "../model/model_tokens.h"
#include "../tokens/token_manager.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_gui_model.h"
#include "zelk_holders.h"
#include "zelk_policy_client.h"
#include "zelk_text.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

constexpr const char* kSystemList = "applications";
constexpr const char* kUserList = "groups/user/applications";
constexpr const char* kRoot = "/";
constexpr const char* kGvx = "Common/GVX";
constexpr const char* kProfilePrefix = "toksw:mem://kestrin/";

bool IsRoot(ZELK_IPolicy* policy)
{
    return policy != nullptr && String_Compare(policy->GetPath(), kRoot) == 0;
}

// The pattern of one application policy; empty when it names none.
void PatternOf(ZELK_IPolicy* policy, StringT<char>& pattern)
{
    policy->GetString("GssTargetName", &pattern);
    if (pattern.IsEmpty())
        policy->GetString("PSEUri", &pattern);
    if (pattern.IsEmpty())
        return;
    if (pattern.StartsWithNoCase("GVX/")) {
        StringT<char> rest(static_cast<const char*>(pattern) + 4);
        pattern = rest.IsEmpty() ? "*" : static_cast<const char*>(rest);
    }
}

// The common name of a distinguished name in text form; false when the text
// is no name.
bool CommonName(const char* text, StringT<char>& cn)
{
    const auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(SEC_TypeTable(fptr__common_types, SEC_TYPE_DName));
    if (names == nullptr || text == nullptr)
        return false;
    DName* name = nullptr;
    if (FAILED(names->from_text(text, &name)) || name == nullptr)
        return false;
    char* value = nullptr;
    HRESULT hr = names->get_value(name, "CN", 0, &value);
    names->free(name);
    cn.Attach(hr == S_OK ? value : nullptr);
    if (hr != S_OK)
        sec_free(value);
    return true;
}

// Whether an application policy selects a credential.
bool MatchPolicy(ZELK_IPolicy* policy, const PersonalCertificateInfo* certificate, const char* tokenURI)
{
    if (policy == nullptr)
        return false;
    const char* uri = tokenURI;
    if (uri == nullptr && certificate != nullptr)
        uri = certificate->tokenName;
    StringT<char> profile(policy, "Profile");
    StringT<char> type(policy, "TokenType");
    StringT<char> fingerprint(policy, "CertFingerprint");
    if (fingerprint.IsEmpty()) {
        if (type.CompareNoCase("kerberos") == 0)
            return String_StartsWithNoCase(uri, "kerberos:");
        if (type.CompareNoCase("eom") == 0)
            return String_StartsWithNoCase(uri, "eom:");
        if (!type.IsEmpty() && type.Compare("kestrin") != 0)
            return false;
        StringT<char> wanted;
        wanted.Format("%s%s", kProfilePrefix, profile.IsEmpty() ? "" : static_cast<const char*>(profile));
        return uri != nullptr && wanted.CompareNoCase(uri) == 0;
    }
    if (certificate == nullptr || certificate->certificate == nullptr)
        return false;
    StringT<char> actual;
    CModelCert::GetFingerprint(certificate->certificate, actual);
    return String_StartsWithNoCase(uri, type) && fingerprint.CompareNoCase(actual) == 0;
}

}  // namespace

CApplications::CApplications()
{
    ZELK_PolOpen(kSystemList, &m_system);
    ZELK_PolOpen(kUserList, &m_user);
    ZELK_PolOpen(kRoot, &m_root);
    ZELK_PolOpen(kGvx, &m_gvx);
}

CApplications::~CApplications()
{
    for (uint64_t i = 0; i < m_rows; ++i) {
        sec_free(m_profiles[i]);
        sec_free(m_targets[i]);
    }
    sec_free(m_profiles);
    sec_free(m_targets);
}

HRESULT CApplications::GetApplPolicyByGssTargetName(const char* target, ZELK_IPolicy* list, ZELK_IPolicy** best,
                                                    unsigned* quality)
{
    ZELK_PTR(ZELK_IPolicy) bestPolicy;
    unsigned bestQuality = 0;
    const char* name = target ? target : "";
    for (long index = 0; list != nullptr; ++index) {
        ZELK_PTR(ZELK_IPolicy) entry;
        if (list->OpenSubKey(index, &entry) != 0 || !entry)
            break;
        StringT<char> pattern;
        PatternOf(entry, pattern);
        if (pattern.IsEmpty())
            continue;
        unsigned q = String_MatchQuality(name, pattern);
        if (q == 0 && std::strpbrk(pattern, "?*") == nullptr) {
            StringT<char> around;
            around.Format("*%s*", static_cast<const char*>(pattern));
            q = String_MatchQuality(name, around);
        }
        if (q > bestQuality) {
            bestQuality = q;
            bestPolicy = entry;
        }
    }
    if (best) {
        *best = bestPolicy.getObject();
        if (*best)
            (*best)->AddRef();
    }
    if (quality)
        *quality = bestQuality;
    return S_OK;
}

HRESULT CApplications::GetPolicyByGssTargetName(const char* target, ZELK_IPolicy** policy, ZELK_IPolicy** chain,
                                                bool* reauth)
{
    SECTRACE_Fkt_IMPL<HRESULT> fkt("%8x", "CTokenMgr::GetPolicyByGssTargetName");
    SECTRACE_FormatLn(nullptr, 3, "Searching Policy for '%s'", target ? target : "");
    bool reauthentication = false;

    ZELK_PTR(ZELK_IPolicy) system;
    ZELK_PTR(ZELK_IPolicy) user;
    unsigned systemQuality = 0;
    unsigned userQuality = 0;
    GetApplPolicyByGssTargetName(target, m_system, &system, &systemQuality);
    GetApplPolicyByGssTargetName(target, m_user, &user, &userQuality);
    if (system) {
        StringT<char> pattern(system.getObject(), "GssTargetName");
        SECTRACE_FormatLn(nullptr, 3, "System policy '%s' with GssTargetName '%s' matches", system->GetPath(),
                          pattern.IsEmpty() ? "" : static_cast<const char*>(pattern));
    }
    if (user) {
        StringT<char> pattern(user.getObject(), "GssTargetName");
        SECTRACE_FormatLn(nullptr, 3, "User policy '%s' with GssTargetName '%s' matches", user->GetPath(),
                          pattern.IsEmpty() ? "" : static_cast<const char*>(pattern));
    }
    ZELK_PTR(ZELK_IPolicy) match;
    if (user && userQuality > systemQuality) {
        if (system)
            SECTRACE_WriteLn(nullptr, 3, "User policy is better than System policy!");
        match = user;
    } else if (system) {
        SECTRACE_WriteLn(nullptr, 3, "System policy is better than User policy!");
        match = system;
    }

    AuxRefPtr<CTokenMgr> tokenMgr;
    CSingletonFactoryImpl<CTokenMgr>::New(&tokenMgr);
    auto askFavorite = [&](StringT<char>& description) -> int {
        // 1 available, 0 none set, -1 set but unavailable.
        StringT<char> type(m_root.getObject(), "TokenType");
        StringT<char> fingerprint(m_root.getObject(), "CertFingerprint");
        StringT<char> profile(m_root.getObject(), "Profile");
        bool valid = tokenMgr && m_root && tokenMgr->IsValidPolicy(m_root, &description);
        if (valid)
            return 1;
        return type.IsEmpty() && fingerprint.IsEmpty() && profile.IsEmpty() ? 0 : -1;
    };

    ZELK_PTR(ZELK_IPolicy) result;
    ZELK_PTR(ZELK_IPolicy) resultChain;
    if (match) {
        SECTRACE_FormatLn(nullptr, 4, "'%s' shall use '%s'", target ? target : "", match->GetPath());
        if (match->GetDWORD("ReAuthentication") != 0)
            reauthentication = true;
        result = match;
        ZELK_IPolicy* members[2] = {match, m_gvx};
        ZELK_PolCreateChain(members, m_gvx ? 2 : 1, static_cast<unsigned long>(-1), &resultChain);
    } else {
        StringT<char> description;
        int favorite = askFavorite(description);
        if (favorite > 0)
            SECTRACE_FormatLn(nullptr, 3, "Favorite is selected, using: %s",
                              description.IsEmpty() ? "" : static_cast<const char*>(description));
        else if (favorite == 0)
            SECTRACE_WriteLn(nullptr, 3, "Favorite is not selected");
        else
            SECTRACE_FormatLn(nullptr, 2, "Favorite is selected, but selected token is not available: %s",
                              description.IsEmpty() ? "" : static_cast<const char*>(description));
        result = m_root;
        resultChain = m_gvx;
    }

    StringT<char> profile;
    bool remembered = GetProfileByGssTargetName(target, &profile) == S_OK;
    if (!remembered && match && match->GetDWORD("allowFavorite") != 0) {
        StringT<char> description;
        int favorite = askFavorite(description);
        if (favorite > 0) {
            SECTRACE_FormatLn(nullptr, 3, "Favorites are allowed, using: %s",
                              description.IsEmpty() ? "" : static_cast<const char*>(description));
            result = m_root;
            if (m_root && m_root->GetDWORD("ReAuthentication") != 0)
                reauthentication = true;
        } else if (favorite == 0) {
            SECTRACE_WriteLn(nullptr, 3, "Favorites are allowed, but not selected");
        } else {
            SECTRACE_FormatLn(nullptr, 2, "Favorites are allowed, but selected token is not available: %s",
                              description.IsEmpty() ? "" : static_cast<const char*>(description));
        }
    }
    if (remembered) {
        ZELK_PTR(ZELK_IPolicy) memory;
        if (ZELK_PolOpenType(kRoot, "zelk.policy.mem", &memory) == 0 && memory) {
            memory->SetString("Profile", profile);
            result = memory;
        }
    }
    if (result && result.getObject() != m_root.getObject() && tokenMgr) {
        StringT<char> description;
        if (!tokenMgr->IsValidPolicy(result, &description))
            SECTRACE_FormatLn(nullptr, 2, "Selected token is not available: %s",
                              description.IsEmpty() ? "" : static_cast<const char*>(description));
    }

    if (policy) {
        *policy = result.getObject();
        if (*policy)
            (*policy)->AddRef();
    }
    if (chain) {
        *chain = resultChain.getObject();
        if (*chain)
            (*chain)->AddRef();
    }
    if (reauth)
        *reauth = reauthentication;
    return S_OK;
}

HRESULT CApplications::GetProfileByGssTargetName(const char* target, char** profile)
{
    CriticalCodeSection lock(&m_csProfiles);
    for (uint64_t i = 0; i < m_rows; ++i)
        if (m_profiles[i] && m_targets[i] && target && std::strcmp(m_targets[i], target) == 0)
            return profile ? String_Copy(m_profiles[i], profile) : S_OK;
    return S_FALSE;
}

HRESULT CApplications::SetProfileForGssTargetName(const char* profile, const char* target)
{
    if (profile == nullptr)
        return S_OK;
    CriticalCodeSection lock(&m_csProfiles);
    int64_t freeRow = -1;
    bool recorded = false;
    for (uint64_t i = 0; i < m_rows && !recorded; ++i) {
        if (m_profiles[i] == nullptr) {
            if (freeRow < 0)
                freeRow = static_cast<int64_t>(i);
            continue;
        }
        if (String_CompareNoCase(m_profiles[i], profile) == 0) {
            if (target == nullptr) {
                sec_free(m_profiles[i]);
                sec_free(m_targets[i]);
                m_profiles[i] = m_targets[i] = nullptr;
                if (freeRow < 0)
                    freeRow = static_cast<int64_t>(i);
            } else if (m_targets[i] && std::strcmp(m_targets[i], target) == 0) {
                recorded = true;
            }
        } else if (target && m_targets[i] && std::strcmp(m_targets[i], target) == 0) {
            // The target moves to the new profile: the old profile's token
            // stops showing it.
            StringT<char> uri;
            uri.Format("%s%s", kProfilePrefix, m_profiles[i]);
            AuxRefPtr<CModelTokens> tokens;
            CModelToken* token = nullptr;
            if (SUCCEEDED(CSingletonFactoryImpl<CModelTokens>::New(&tokens)) && tokens
                && tokens->GetToken(uri, &token) == S_OK && token) {
                token->DelGVXName(target);
                static_cast<IGUIModelToken*>(token)->Release();
            }
            sec_free(m_targets[i]);
            m_targets[i] = nullptr;
        }
    }
    if (target == nullptr || recorded)
        return S_OK;
    char* p = nullptr;
    char* t = nullptr;
    if (FAILED(String_Copy(profile, &p)) || FAILED(String_Copy(target, &t))) {
        sec_free(p);
        sec_free(t);
        return E_OUTOFMEMORY;
    }
    if (freeRow < 0) {
        auto** profiles = static_cast<char**>(sec_realloc(m_profiles, (m_rows + 1) * sizeof(char*)));
        if (profiles)
            m_profiles = profiles;
        auto** targets = profiles ? static_cast<char**>(sec_realloc(m_targets, (m_rows + 1) * sizeof(char*))) : nullptr;
        if (targets)
            m_targets = targets;
        if (!profiles || !targets) {
            sec_free(p);
            sec_free(t);
            return E_OUTOFMEMORY;
        }
        freeRow = static_cast<int64_t>(m_rows++);
    }
    m_profiles[freeRow] = p;
    m_targets[freeRow] = t;
    return S_OK;
}

HRESULT CApplications::UseForApp(const char* application, const PersonalCertificateInfo* certificate,
                                 const char* tokenURI)
{
    const char* path = application ? application : kRoot;
    const SEC_TYPE_TABLE* infos = SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo);
    if (certificate && infos) {
        ZELK_PTR(IGUIModelContainer) own;
        if (SUCCEEDED(ZELK_CreateObject("zelk", "zelk.model.owncerts", IID_IGUIModelContainer,
                                        reinterpret_cast<void**>(&own)))
            && own) {
            uint64_t count = own->GetElementCount();
            for (uint64_t i = 0; i < count; ++i) {
                ZELK_PTR(IGUIModelOwnCert) element;
                if (FAILED(own->GetElement(static_cast<unsigned long>(i), IID_IGUIModelOwnCert,
                                           reinterpret_cast<void**>(&element)))
                    || !element)
                    continue;
                const PersonalCertificateInfo* pci = element->GetPCI();
                if (pci && infos->compare(pci, certificate) == 0)
                    return SetPolicyByOwnCert(path, nullptr, element, tokenURI);
            }
        }
    }
    return SetPolicyByOwnCert(path, nullptr, nullptr, tokenURI);
}

HRESULT CApplications::IsUsedForApp(const char* application, const PersonalCertificateInfo* certificate,
                                    const char* tokenURI)
{
    ZELK_PTR(ZELK_IPolicy) policy;
    if (ZELK_PolOpen(application ? application : kRoot, &policy) != 0 || !policy)
        return S_FALSE;
    return MatchPolicy(policy, certificate, tokenURI) ? S_OK : S_FALSE;
}

HRESULT CApplications::SetPolicyByOwnCert(const char* application, ZELK_IPolicy* policy, IGUIModelOwnCert* ownCert,
                                          const char* tokenURI)
{
    if (policy == nullptr) {
        ZELK_PTR(ZELK_IPolicy) opened;
        if (ZELK_PolOpen(application ? application : kRoot, &opened) != 0 || !opened)
            return E_FAIL;
        return SetPolicyByOwnCert(application, opened, ownCert, tokenURI);
    }
    if (ownCert == nullptr && tokenURI == nullptr) {
        policy->SetString("TokenType", nullptr);
        policy->SetString("CertFingerprint", nullptr);
        policy->SetString("Profile", nullptr);
        return S_OK;
    }
    const char* uri = ownCert ? ownCert->GetURI() : tokenURI;
    struct Kind {
        const char* prefix;
        const char* type;
    };
    static const Kind kinds[] = {
        {"tokcapi:", "tokcapi"},     {"tokkeychain:", "tokkeychain"}, {"tokp11:", "tokp11"}, {"toktcos:", "toktcos"},
        {kProfilePrefix, "kestrin"}, {"kerberos:", "kerberos"},       {"eom:", "eom"},
    };
    const Kind* kind = nullptr;
    for (const Kind& k : kinds)
        if (uri && String_StartsWith(uri, k.prefix)) {
            kind = &k;
            break;
        }
    if (kind == nullptr)
        return E_FAIL;
    const char* profile = kind->prefix == kProfilePrefix ? uri + std::strlen(kProfilePrefix) : nullptr;
    if (!IsRoot(policy))
        policy->SetString("GssTargetName", "*");
    policy->SetString("TokenType", kind->type);
    policy->SetString("CertFingerprint", profile == nullptr && ownCert ? ownCert->GetFingerprint() : nullptr);
    policy->SetString("Profile", profile);
    return S_OK;
}

bool CApplications::IsEqualGssTargetName(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr)
        return false;
    if (std::strcmp(a, b) == 0)
        return true;
    StringT<char> cnA;
    StringT<char> cnB;
    if (!CommonName(a, cnA) || !CommonName(b, cnB) || cnA.IsEmpty() || cnB.IsEmpty())
        return false;
    bool prefixedA = cnA.StartsWith("QEV/");
    bool prefixedB = cnB.StartsWith("QEV/");
    if (prefixedA == prefixedB)
        return false;
    const char* bare = prefixedA ? cnB : cnA;
    const char* prefixed = prefixedA ? cnA : cnB;
    return std::strcmp(prefixed + 4, bare) == 0;
}

}  // namespace ZELK::PSESVC
