// A profile token over a token double, the scripted enrolment client and the
// scripted dialogs, with the identity the client hands out made by openssl.
#pragma once

#include <string>
#include <vector>

#include "fake_kvlogin.h"
#include "token_fixture.h"
#include "tokens/token_kv.h"

namespace kestrin::tokens::test {

// DER files of the token PKI: "user" as PKCS#8 key and certificate, "ca" as
// certificate, and a SET OF certificates of the named ones.
std::vector<unsigned char> Pkcs8(const std::string& name);
std::vector<unsigned char> CertDer(const std::string& name);
std::vector<unsigned char> CertSet(const std::vector<std::string>& names);

class TokenKVLoginTest : public TokenTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the preferences (a dict's inner text) and waits until the policy
    // store reads them.
    void Policy(const std::string& entries);
    // The profile token "toksw:mem://kestrin/<profile>" over a token double.
    ZELK::PSESVC::CToken_KV* Make(const std::string& profile = "p");
    ZELK::PSESVC::ICredUI* NewDialog();
    // The text of a key of the desktop application's bundle, narrowed as the
    // dialog log shows it.
    static std::string Text(const char* key);
    // Whether the dialog log has that entry; how often.
    static size_t Logged(const std::string& entry);
    static size_t LoggedStarting(const std::string& prefix);
    // The scripted identity of "user" issued by "ca".
    static void UserIdentity();

    ZELK::PSESVC::CToken_KV* m_token = nullptr;
    qevtest::FakeToken* m_double = nullptr;
    std::vector<ZELK::PSESVC::ICredUI*> m_dialogs;
};

}  // namespace kestrin::tokens::test
