// The token manager's answers in terms of configuration: the token URIs an
// application policy allows, whether a policy's token choice is usable and
// the own certificate a policy names; the log-in verbs by profile name.
#include <atomic>

#include "../core/model_filter_certs.h"
#include "kerberos_api.h"
#include "qev_results.h"
#include "token_kv.h"
#include "token_manager.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_gui_model.h"
#include "zelk_holders.h"
#include "zelk_policy_client.h"
#include "zelk_strings.h"
#include "zelk_text.h"
#include "zelk_trace.h"

namespace ZELK::PSESVC {
namespace {

constexpr char kProfilePrefix[] = "toksw:mem://kestrin/";
constexpr char kUserGroupPath[] = "groups/user";
constexpr char kRoot[] = "/";

// The value `name` of a policy, empty when it is absent.
StringT<char> Value(ZELK_IPolicy* policy, const char* name)
{
    StringT<char> value;
    if (policy != nullptr && policy->GetString(name, &value) < 0)
        value.Free();
    return value;
}

bool Is(const StringT<char>& value, const char* word)
{
    return !value.IsEmpty() && value.CompareNoCase(word) == 0;
}

// The token-URI prefix a "TokenType" stands for: the short names "capi" and
// "kestrin" are no URI prefix of their own.
const char* KindPrefix(const StringT<char>& tokenType)
{
    if (Is(tokenType, "capi"))
        return "tokcapi";
    if (Is(tokenType, "kestrin"))
        return kProfilePrefix;
    return tokenType;
}

bool KerberosAvailable()
{
    return CKerberosAPI::IsAPIAvailable();
}

// Puts a copy of `uri` in front of the list; NULL adds nothing.
void AddFront(SET_OF_String** list, const char* uri)
{
    if (uri == nullptr)
        return;
    const SEC_TYPE_TABLE* lists = SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_String);
    const SEC_TYPE_TABLE* strings = SEC_TypeTable(fptr__common_types, SEC_TYPE_String);
    if (lists == nullptr || strings == nullptr)
        return;
    void* copy = nullptr;
    if (FAILED(strings->copy(uri, &copy)) || copy == nullptr)
        return;
    void* head = *list;
    if (FAILED(lists->new_node(&head)) || head == nullptr) {
        strings->free(copy);
        return;
    }
    *list = static_cast<SET_OF_String*>(head);
    (*list)->element = static_cast<char*>(copy);
}

void FreeList(SET_OF_String** list)
{
    if (*list == nullptr)
        return;
    if (const SEC_TYPE_TABLE* lists = SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_String))
        lists->free(*list);
    *list = nullptr;
}

// The own-certificate container with one reference, NULL without it.
IGUIModelContainer* OwnCerts()
{
    IGUIModelContainer* certs = nullptr;
    if (FAILED(
            ZELK_CreateObject("zelk", "zelk.model.owncerts", IID_IGUIModelContainer, reinterpret_cast<void**>(&certs))))
        return nullptr;
    return certs;
}

// Element `index` of a container as an own certificate, NULL when it is none.
IGUIModelOwnCert* OwnCertAt(IGUIModelContainer* container, uint64_t index)
{
    IGUIModelOwnCert* cert = nullptr;
    if (FAILED(container->GetElement(static_cast<unsigned long>(index), IID_IGUIModelOwnCert,
                                     reinterpret_cast<void**>(&cert))))
        return nullptr;
    return cert;
}

// The own certificates that pass the policy's certificate filter.
IGUIModelContainer* FilteredCerts(ZELK_IPolicy* policy)
{
    IGUIModelContainer* view = nullptr;
    if (FAILED(ModelFilterCerts::New(policy, nullptr, nullptr, &view)))
        return nullptr;
    return view;
}

StringT<char> SubjectText(const Certificate* certificate)
{
    StringT<char> text;
    const auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(SEC_TypeTable(fptr__common_types, SEC_TYPE_DName));
    const DName* subject = certificate != nullptr ? const_cast<Certificate*>(certificate)->getSubject() : nullptr;
    char* converted = nullptr;
    if (names != nullptr && subject != nullptr && SUCCEEDED(names->to_text(subject, &converted)))
        text.Attach(converted);
    else
        sec_free(converted);
    return text;
}

// The fingerprint without blanks and colons.
StringT<char> BareFingerprint(const char* fingerprint)
{
    StringT<char> bare;
    for (const char* c = fingerprint; *c != '\0'; ++c) {
        if (*c == ' ' || *c == ':')
            continue;
        const char one[2] = {*c, '\0'};
        bare += one;
    }
    return bare;
}

}  // namespace

bool CTokenMgr::IsValidPolicy(ZELK_IPolicy* policy, char** description)
{
    if (description != nullptr)
        *description = nullptr;
    const StringT<char> tokenType = Value(policy, "TokenType");
    StringT<char> text;
    bool valid = false;
    if (tokenType.IsEmpty() || Is(tokenType, "kestrin")) {
        StringT<char> profile;
        GetProfileByPolicy(policy, &profile);
        text.Format("KVS(%s)", profile.IsEmpty() ? "" : static_cast<const char*>(profile));
        valid = !profile.IsEmpty() && GetOwnKVSTokenByName(profile, nullptr) == S_OK;
    } else if (Is(tokenType, "kerberos")) {
        text = "KERBEROS";
        valid = KerberosAvailable();
    } else if (Is(tokenType, "tokkeychain")) {
        const StringT<char> fingerprint = Value(policy, "CertFingerprint");
        if (fingerprint.IsEmpty()) {
            text = "keychain";
            valid = true;
        } else {
            IGUIModelOwnCert* cert = nullptr;
            if (GetOwnCertByFingerprint(fingerprint, tokenType, &cert) != S_OK) {
                text.Format("%s(%s)", "keychain", static_cast<const char*>(fingerprint));
            } else {
                const StringT<char> subject = SubjectText(cert->GetCert());
                text.Format("%s(%s -> %s)", "keychain", static_cast<const char*>(fingerprint),
                            subject.IsEmpty() ? "" : static_cast<const char*>(subject));
                valid = true;
            }
            if (cert != nullptr)
                cert->Release();
        }
    } else {
        return false;
    }
    if (description != nullptr)
        *description = text.Detach();
    return valid;
}

HRESULT CTokenMgr::GetTokenURIsByPolicy(const char* path, ZELK_IPolicy* policy, SET_OF_String** uris)
{
    if (uris == nullptr)
        return E_INVALIDARG;
    if (policy == nullptr) {
        ZELK_IPolicy* opened = nullptr;
        if (FAILED(ZELK_PolOpen(path != nullptr ? path : kRoot, &opened)) || opened == nullptr) {
            *uris = nullptr;
            return S_FALSE;
        }
        HRESULT hr = GetTokenURIsByPolicy(path, opened, uris);
        opened->Release();
        return hr;
    }
    WaitForAllMonitors();
    FreeList(uris);
    StringT<char> tokenType = Value(policy, "TokenType");
    StringT<char> fingerprint = Value(policy, "CertFingerprint");
    if (!IsValidPolicy(policy, nullptr)) {
        const char* policyPath = policy->GetPath();
        if (policyPath != nullptr && *policyPath != '\0' && String_Compare(policyPath, kRoot) != 0) {
            if (!tokenType.IsEmpty() || !fingerprint.IsEmpty() || !Value(policy, "Profile").IsEmpty()) {
                SECTRACE_FormatLn(nullptr, 2,
                                  "The policy '%s' is not valid-> don't try to use kerberos or any other token",
                                  policyPath);
                return E_ABORT;
            }
            SECTRACE_FormatLn(nullptr, 2,
                              "The policy '%s' does not specify which token shall be used-> just ignore this and "
                              "allow to use any token",
                              policyPath);
        } else {
            SECTRACE_WriteLn(nullptr, 2,
                             "The selected favorite is not available-> just ignore this and allow to use any other "
                             "token");
        }
        tokenType.Free();
        fingerprint.Free();
    }
    if (!fingerprint.IsEmpty()) {
        IGUIModelOwnCert* cert = nullptr;
        if (GetOwnCertByFingerprint(fingerprint, KindPrefix(tokenType), &cert) == S_OK && cert != nullptr)
            AddFront(uris, cert->GetURI());
        if (cert != nullptr)
            cert->Release();
        return S_OK;
    }
    if (Is(tokenType, "kerberos") && KerberosAvailable()) {
        AddFront(uris, "kerberos:");
        return S_OK;
    }
    StringT<char> profile;
    GetProfileByPolicy(policy, &profile);
    if (!profile.IsEmpty()) {
        StringT<char> uri(kProfilePrefix);
        uri += profile;
        AddFront(uris, uri);
        return S_OK;
    }
    if (tokenType.IsEmpty() || Is(tokenType, "tokkeychain")) {
        if (IGUIModelContainer* view = FilteredCerts(policy)) {
            for (uint64_t i = 0; i < view->GetElementCount(); ++i) {
                if (IGUIModelOwnCert* cert = OwnCertAt(view, i)) {
                    AddFront(uris, cert->GetURI());
                    cert->Release();
                }
            }
            view->Release();
        }
    }
    if (tokenType.IsEmpty()) {
        if (IGUIModelContainer* certs = OwnCerts()) {
            for (uint64_t i = 0; i < certs->GetElementCount(); ++i) {
                if (IGUIModelOwnCert* cert = OwnCertAt(certs, i)) {
                    if (String_StartsWith(cert->GetURI(), kProfilePrefix))
                        AddFront(uris, cert->GetURI());
                    cert->Release();
                }
            }
            certs->Release();
        }
        if (KerberosAvailable())
            AddFront(uris, "kerberos:");
    }
    return S_OK;
}

HRESULT CTokenMgr::GetProfileByPolicy(ZELK_IPolicy* policy, char** profile)
{
    if (profile == nullptr)
        return E_INVALIDARG;
    *profile = nullptr;
    const StringT<char> name = Value(policy, "Profile");
    if (name.IsEmpty())
        return S_OK;
    StringT<char> result;
    if (String_StartsWith(policy->GetPath(), kUserGroupPath))
        result = "user/";
    result += name;
    *profile = result.Detach();
    return S_OK;
}

HRESULT CTokenMgr::GetOwnCertByFingerprint(const char* fingerprint, const char* kind, IGUIModelOwnCert** cert)
{
    if (cert != nullptr)
        *cert = nullptr;
    if (fingerprint == nullptr || *fingerprint == '\0')
        return E_FAIL;
    if (String_Find(fingerprint, 0, " ") != ZELK_STRING_NOTFOUND
        || String_Find(fingerprint, 0, ":") != ZELK_STRING_NOTFOUND)
        return GetOwnCertByFingerprint(BareFingerprint(fingerprint), kind, cert);
    IGUIModelContainer* certs = OwnCerts();
    if (certs == nullptr)
        return E_FAIL;
    HRESULT hr = S_FALSE;
    for (uint64_t i = 0; i < certs->GetElementCount() && hr == S_FALSE; ++i) {
        IGUIModelOwnCert* candidate = OwnCertAt(certs, i);
        if (candidate == nullptr)
            continue;
        const PersonalCertificateInfo* info = candidate->GetPCI();
        const bool ofKind =
            kind == nullptr || *kind == '\0' || (info != nullptr && String_StartsWithNoCase(info->tokenName, kind));
        const char* print = candidate->GetFingerprint();
        if (ofKind && print != nullptr && String_CompareNoCase(print, fingerprint) == 0) {
            hr = S_OK;
            if (cert != nullptr) {
                *cert = candidate;
                continue;
            }
        }
        candidate->Release();
    }
    certs->Release();
    return hr;
}

HRESULT CTokenMgr::GetOwnCertByPolicy(const char* path, ZELK_IPolicy* policy, IGUIModelOwnCert** cert)
{
    if (cert != nullptr)
        *cert = nullptr;
    if (policy == nullptr) {
        ZELK_IPolicy* opened = nullptr;
        if (FAILED(ZELK_PolOpen(path != nullptr ? path : kRoot, &opened)) || opened == nullptr)
            return S_FALSE;
        HRESULT hr = GetOwnCertByPolicy(path, opened, cert);
        opened->Release();
        return hr;
    }
    WaitForAllMonitors();
    const StringT<char> tokenType = Value(policy, "TokenType");
    const StringT<char> fingerprint = Value(policy, "CertFingerprint");
    if (!fingerprint.IsEmpty())
        return GetOwnCertByFingerprint(fingerprint, KindPrefix(tokenType), cert);
    if (!Is(tokenType, "tokcapi") && !Is(tokenType, "capi"))
        return S_FALSE;
    IGUIModelContainer* view = FilteredCerts(policy);
    if (view == nullptr)
        return S_FALSE;
    IGUIModelOwnCert* first = view->GetElementCount() > 0 ? OwnCertAt(view, 0) : nullptr;
    view->Release();
    if (first == nullptr)
        return S_FALSE;
    if (cert != nullptr)
        *cert = first;
    else
        first->Release();
    return S_OK;
}

HRESULT CTokenMgr::GetOwnKVSTokenByName(const char* profile, CToken** token)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CTokenMgr::GetOwnKVSTokenByName");
    if (token != nullptr)
        *token = nullptr;
    if (profile == nullptr || *profile == '\0')
        return trace.result = E_FAIL;
    WaitForAllMonitors();
    StringT<char> uri(kProfilePrefix);
    uri += profile;
    CToken* found = nullptr;
    if (GetTokenByName(uri, &found) != S_OK || found == nullptr)
        return trace.result = E_FAIL;
    if (token != nullptr)
        *token = found;
    else
        found->Release();
    return trace.result = S_OK;
}

namespace {

std::atomic<CTokenMgr::TrustTargetSink> s_trustTargetSink {nullptr};

// A profile token records the target its login was for. The call goes
// through the object's own table; programs that link the token manager
// without the profile token's code have no type record of it to check.
__attribute__((no_sanitize("vptr"))) void RecordLoginTarget(CToken* token, const char* target)
{
    CToken_KV* profile = nullptr;
    if (FAILED(token->QueryInterface(IID_CToken_KV, reinterpret_cast<void**>(&profile))) || profile == nullptr)
        return;
    profile->SetGVXName(target);
    static_cast<CToken*>(profile)->Release();
}

}  // namespace

void CTokenMgr::SetTrustTargetSink(TrustTargetSink sink)
{
    s_trustTargetSink = sink;
}

HRESULT CTokenMgr::getTokenByNameWithDefault(const char* profile, CToken** token)
{
    if (token == nullptr)
        return E_INVALIDARG;
    *token = nullptr;
    StringT<char> name(profile != nullptr ? profile : "");
    if (name.IsEmpty()) {
        ZELK_IPolicy* favourite = nullptr;
        if (SUCCEEDED(ZELK_PolOpen("/", &favourite)) && favourite != nullptr) {
            name = Value(favourite, "Profile");
            favourite->Release();
        }
        if (name.IsEmpty())
            return E_FAIL;
    }
    HRESULT hr = GetOwnKVSTokenByName(name, token);
    if (FAILED(hr))
        return hr;
    return *token != nullptr ? S_OK : E_FAIL;
}

HRESULT CTokenMgr::Login(const char* profile, const char* target)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CTokenMgr::Login");
    CToken* token = nullptr;
    HRESULT hr = getTokenByNameWithDefault(profile, &token);
    if (FAILED(hr))
        return trace.result = hr;
    hr = token->DoVerbByReason(IGUIVerb_Reason_Login);
    if (hr >= 0 && target != nullptr && *target != '\0') {
        TrustTargetSink sink = s_trustTargetSink;
        if (sink != nullptr)
            sink(target);
        RecordLoginTarget(token, target);
    }
    token->Release();
    return trace.result = hr;
}

HRESULT CTokenMgr::Logout(const char* profile)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "CTokenMgr::Logout");
    CToken* token = nullptr;
    HRESULT hr = getTokenByNameWithDefault(profile, &token);
    if (FAILED(hr))
        return trace.result = hr;
    hr = token->Logout(nullptr);
    token->Release();
    return trace.result = hr;
}

HRESULT CTokenMgr::GetIsEnrolled(const char* profile)
{
    CToken* token = nullptr;
    HRESULT hr = getTokenByNameWithDefault(profile, &token);
    if (FAILED(hr))
        return hr;
    hr = token->NeedLogin() ? 1 : 0;
    token->Release();
    return hr;
}

}  // namespace ZELK::PSESVC
