// Certificates and keys made by openssl for the token tests, tokens of the
// crypto library's doubles over them, and the runtime around each test.
#pragma once

#include <openssl/evp.h>

#include <string>
#include <vector>

#include "fakes/fake_dialog.h"
#include "qev_doubles.h"
#include "service_fixture.h"
#include "tokens/token.h"

namespace kestrin::tokens::test {

// "ca" (an authority), "user" and "user2" (issued by "ca", RSA keys), "other"
// (an authority that issued none of them), "self" (a self-signed end entity).
class TokenPki {
public:
    static const TokenPki& Get();
    std::string Path(const std::string& file) const { return m_dir + "/" + file; }
    // A new reference to the certificate "<name>.pem".
    Certificate* Cert(const std::string& name) const;
    // The private key "<name>.key" (the caller frees it).
    EVP_PKEY* Key(const std::string& name) const;

private:
    TokenPki();
    std::string m_dir;
};

// Runs a shell command quietly; its exit status.
int Shell(const std::string& command);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
// A certificate as the library keeps it, from a PEM file (NULL when unreadable).
Certificate* CertOf(const std::string& pemPath);
// A private key as the library keeps it (the PKCS#8 record's algorithm and key
// octets), from a DER PKCS#8 file (NULL when unreadable).
KeyInfo* KeyOf(const std::string& p8Path);

// A certificate object of the token (and a private key of the same identifier
// when `withKey`); keyId "" gives an object without key identifier, cert ""
// one whose certificate does not decode.
struct FixtureObject {
    std::string cert;
    std::string keyId;
    bool withKey = false;
};

// A new token double "name" with a card PIN "1234" named `pinName`.
qevtest::FakeToken* NewToken(const std::string& name, const std::vector<FixtureObject>& objects,
                             const std::string& pinName = "PIN");
// A token's objects of that type (and key identifier and label, NULL for
// any); 0 when it cannot list them.
unsigned long Count(SecToken* token, TOKEN_OBJECT_TYPE type, const char* keyId = nullptr, const char* label = nullptr);
// The card PIN of a token double (no reference added).
qevtest::FakePIN* CardPin(SecToken* token);

class TokenTest : public service::test::ServiceTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the user's preference file with Python's plistlib.
    void WritePlist(const std::string& dict);
    // Waits until the policy store reads that value (it notices changed files
    // a moment later).
    void WaitForPolicy(const char* path, const char* name, uint32_t value);

    std::string m_config;
};

}  // namespace kestrin::tokens::test
