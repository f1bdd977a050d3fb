// Link-time stand-ins for the token manager's token operations and the
// connection broker's control action.
#include "fake_token_calls.h"

#include <mutex>

#include "gss_connections.h"
#include "qev_results.h"
#include "tokens/token_manager.h"

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

void TokenCalls::Reset()
{
    std::lock_guard<std::mutex> lock(s_mutex);
    s_calls.clear();
    s_result = S_OK;
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
    return E_TOKEN_NOTFOUND;
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

HRESULT CGssConnections::DoGssAction(const char* action, SECAttribute*, SECAttribute*)
{
    TokenCalls::Add("action " + Text(action));
    return 0x42;
}

HRESULT CGssConnections::getOwnCertificate(SECAttribute*, SET_OF_PersonalCertificateInfo**)
{
    return S_FALSE;
}

HRESULT CGssConnections::encryptDigest(SECAttribute*, const unsigned char*, unsigned long, unsigned char*,
                                       unsigned long*)
{
    return E_FAIL;
}

HRESULT CGssConnections::decryptKey(SECAttribute*, const unsigned char*, unsigned long, unsigned char*, unsigned long*)
{
    return E_FAIL;
}

}  // namespace ZELK::PSESVC
