// Link-time stand-ins for the token manager's token operations and the
// connection broker's control action.
#include "fake_token_calls.h"

#include <cstring>
#include <mutex>

#include "gss_connections.h"
#include "qev_results.h"
#include "tokens/token_manager.h"
#include "zelk_holders.h"
#include "zelk_object.h"
#include "zelk_strings.h"
#include "zelkpse_lists.h"

namespace kestrin::service::test {
namespace {
std::mutex s_mutex;
std::vector<std::string> s_calls;
}  // namespace

std::string Text(const char* text)
{
    return text ? text : "(null)";
}

HRESULT TokenCalls::s_result = S_OK;
HRESULT TokenCalls::s_signResult = S_OK;
HRESULT TokenCalls::s_brokerResult = S_FALSE;
std::vector<std::string> TokenCalls::s_policyUris;
bool TokenCalls::s_policyValid = false;
SET_OF_Certificate* TokenCalls::s_trusted = nullptr;

void TokenCalls::Reset()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_calls.clear();
    s_result = S_OK;
    s_signResult = S_OK;
    s_brokerResult = S_FALSE;
    s_policyUris.clear();
    s_policyValid = false;
    s_trusted = nullptr;
}

namespace {

using ZELK::PSESVC::CToken;
using ZELK::PSESVC::ICredUI;
using ZELK::PSESVC::IGUIVerb;
using ZELK::PSESVC::IGUIVerb_Reason;

class Verb : public IGUIVerb, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Verb)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIVerb, IGUIVerb)
    ZELK_END_INTMAP()

    const char* GetVerbName() override { return m_name.c_str(); }
    const char* GetVerbDisplayName() override { return m_name.c_str(); }
    HRESULT DoVerb(ICredUI* dialog) override
    {
        TokenCalls::Add("doverb " + m_name + (dialog ? " dialog" : " none"));
        return m_result;
    }
    HRESULT SetState(uint32_t) override { return S_OK; }
    uint32_t GetState() override { return 0; }

    std::string m_name;
    HRESULT m_result = S_OK;
};

class Token : public CToken {
public:
    ZELK_BEGIN_INTMAP(Token)
    ZELK_INTMAP_ENTRY_IID(IID_CToken, CToken)
    ZELK_END_INTMAP()

    ~Token() override
    {
        for (PersonalCertificateInfo* info : m_entry.infos)
            SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo)->free(info);
        if (m_entry.token)
            m_entry.token->Release();
    }

    HRESULT GetPCI(SET_OF_PersonalCertificateInfo** cursor) override
    {
        for (PersonalCertificateInfo* info : m_entry.infos)
            ZELK::PSESVC::AppendInfo(cursor, info);
        return S_OK;
    }
    HRESULT GetVerbByReason(IGUIVerb_Reason reason, IGUIVerb** out) override
    {
        TokenCalls::Add("verb " + m_entry.uri + " " + std::to_string(reason));
        *out = nullptr;
        if (!m_entry.hasVerb)
            return S_OK;
        CComObject<Verb>* verb = nullptr;
        CComObject<Verb>::CreateInstance(&verb);
        verb->m_name = reason == 3 ? "verb.reauth" : "verb.login";
        verb->m_result = m_entry.verbResult;
        verb->AddRef();
        *out = verb;
        return S_OK;
    }
    HRESULT DoVerbByReason(IGUIVerb_Reason reason) override
    {
        TokenCalls::Add("doverbbyreason " + m_entry.uri + " " + std::to_string(reason));
        return m_entry.verbResult;
    }
    HRESULT GetVerbs(unsigned long* count, IGUIVerb*** verbs) override
    {
        *count = 0;
        *verbs = nullptr;
        return S_OK;
    }
    bool NeedLogin() override { return true; }
    bool HaveCerts() override { return !m_entry.infos.empty(); }
    HRESULT UiUpdateProfile(ICredUI*) override
    {
        TokenCalls::Add("profile " + m_entry.uri);
        return S_OK;
    }

    FakeTokenEntry m_entry;
};

std::vector<CComObject<Token>*> s_tokens;

CComObject<Token>* FindToken(const char* uri)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    for (CComObject<Token>* token : s_tokens)
        if (uri != nullptr && token->m_entry.uri == uri) {
            token->AddRef();
            return token;
        }
    return nullptr;
}

}  // namespace

void FakeTokens::Add(const FakeTokenEntry& entry)
{
    CComObject<Token>* token = nullptr;
    CComObject<Token>::CreateInstance(&token);
    token->AddRef();
    token->m_entry = entry;
    std::lock_guard<std::mutex> lock(s_mutex);
    s_tokens.push_back(token);
}

void FakeTokens::Clear()
{
    std::vector<CComObject<Token>*> tokens;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        tokens.swap(s_tokens);
    }
    for (CComObject<Token>* token : tokens)
        token->Release();
}

void TokenCalls::Add(const std::string& call)
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_calls.push_back(call);
}

std::vector<std::string> TokenCalls::Calls()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    return s_calls;
}

}  // namespace kestrin::service::test

namespace ZELK::PSESVC {

using kestrin::service::test::Text;
using kestrin::service::test::TokenCalls;

HRESULT CTokenMgr::GetTokenByName(const char* uri, SecToken** out)
{
    TokenCalls::Add("token " + Text(uri));
    *out = nullptr;
    auto* token = kestrin::service::test::FindToken(uri);
    if (token == nullptr || token->m_entry.token == nullptr) {
        if (token)
            token->Release();
        return E_TOKEN_NOTFOUND;
    }
    *out = token->m_entry.token;
    (*out)->AddRef();
    token->Release();
    return S_OK;
}

HRESULT CTokenMgr::GetTokenByName(const char* uri, CToken** out)
{
    TokenCalls::Add("ctoken " + Text(uri));
    *out = kestrin::service::test::FindToken(uri);
    return *out ? S_OK : E_TOKEN_NOTFOUND;
}

HRESULT CTokenMgr::GetPCI(SET_OF_PersonalCertificateInfo** cursor, SECAttribute*)
{
    TokenCalls::Add("pci");
    std::vector<CComObject<kestrin::service::test::Token>*> tokens;
    {
        std::lock_guard<std::mutex> lock(kestrin::service::test::s_mutex);
        tokens = kestrin::service::test::s_tokens;
    }
    for (auto* token : tokens) {
        token->GetPCI(cursor);
        cursor = ListTail(cursor);
    }
    return S_OK;
}

HRESULT CTokenMgr::GetTrustedCertList(SET_OF_Certificate** list)
{
    TokenCalls::Add("trusted");
    SET_OF_Certificate** cursor = ListTail(list);
    for (SET_OF_Certificate* node = TokenCalls::s_trusted; node != nullptr; node = node->next)
        AppendCertificate(cursor, node->element);
    return S_OK;
}

HRESULT CTokenMgr::GetTokenURIsByPolicy(const char*, ZELK_IPolicy*, SET_OF_String** uris)
{
    TokenCalls::Add("policy");
    *uris = nullptr;
    SET_OF_String** cursor = uris;
    for (const std::string& uri : TokenCalls::s_policyUris) {
        char* copy = nullptr;
        AuxGetTypeAPI(copy)->copy(uri.c_str(), reinterpret_cast<void**>(&copy));
        AppendNode(SEC_TYPE_SET_OF_String, cursor, copy);
    }
    return S_OK;
}

bool CTokenMgr::IsValidPolicy(ZELK_IPolicy* policy, char** description)
{
    std::string path = policy ? Text(policy->GetPath()) : "";
    TokenCalls::Add("valid " + path);
    if (description)
        String_Copy(("token of " + path).c_str(), description);
    return TokenCalls::s_policyValid;
}

HRESULT CTokenMgr::Sign(const char* uri, const char* keyId, const AlgId*, bool, const unsigned char*, unsigned long,
                        unsigned char*, unsigned long*, SECAttribute*)
{
    TokenCalls::Add("sign " + Text(uri) + "|" + Text(keyId));
    return TokenCalls::s_signResult;
}

HRESULT CTokenMgr::Decrypt(const char* uri, const char* keyId, const AlgId*, const unsigned char*, unsigned long,
                           unsigned char*, unsigned long*, SECAttribute*)
{
    TokenCalls::Add("decrypt " + Text(uri) + "|" + Text(keyId));
    return TokenCalls::s_signResult;
}

HRESULT CTokenMgr::Login(const char* token, const char* target)
{
    TokenCalls::Add("login " + Text(token) + "|" + Text(target));
    return TokenCalls::s_result;
}

HRESULT CTokenMgr::Logout(const char* token)
{
    TokenCalls::Add("logout " + Text(token));
    return TokenCalls::s_result;
}

HRESULT CTokenMgr::GetIsEnrolled(const char* token)
{
    TokenCalls::Add("enrolled " + Text(token));
    return TokenCalls::s_result;
}

HRESULT CTokenMgr::CleanupPersistentTokens()
{
    TokenCalls::Add("cleanup persistent");
    return S_OK;
}

HRESULT CGssConnections::DoGssAction(const char* action, SECAttribute*, SECAttribute*)
{
    TokenCalls::Add("action " + Text(action));
    return 0x42;
}

HRESULT CGssConnections::getOwnCertificate(SECAttribute*, SET_OF_PersonalCertificateInfo**)
{
    TokenCalls::Add("broker own");
    return TokenCalls::s_brokerResult;
}

HRESULT CGssConnections::encryptDigest(SECAttribute*, const unsigned char*, unsigned long, unsigned char*,
                                       unsigned long*)
{
    TokenCalls::Add("broker sign");
    return TokenCalls::s_brokerResult;
}

HRESULT CGssConnections::decryptKey(SECAttribute*, const unsigned char*, unsigned long, unsigned char*, unsigned long*)
{
    TokenCalls::Add("broker decrypt");
    return TokenCalls::s_brokerResult;
}

}  // namespace ZELK::PSESVC
