// "SEC_ENCODE_1" entry 5: the SHA-1 fingerprint of a certificate's DER as
// openssl x509 -fingerprint prints it, without the colons.
#include <cstdio>
#include <string>

#include "qev_fixture.h"
#include "qevcrypto_encode.h"
#include "test_pki.h"

namespace {

std::string OpensslFingerprint(const TestPki& pki, const std::string& cert)
{
    std::string command = "openssl x509 -in '" + pki.Path(cert) + "' -noout -fingerprint -sha1";
    FILE* pipe = popen(command.c_str(), "r");
    char line[256] = {};
    std::string text = pipe != nullptr && fgets(line, sizeof line, pipe) != nullptr ? line : "";
    if (pipe != nullptr)
        pclose(pipe);
    std::string digits;
    for (char c : text.substr(text.find('=') + 1))
        if (c != ':' && c != '\n')
            digits += c;
    return digits;
}

class FingerprintTest : public QevLibrary {
protected:
    void SetUp() override
    {
        QevLibrary::SetUp();
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, SEC_ENCODE_API, &table), S_OK);
        encode = ZELK_ApiCast<SEC_ENCODE_TABLE>(table);
        ASSERT_NE(encode->fingerprint, nullptr);
    }
    const SEC_ENCODE_TABLE* encode = nullptr;
};

TEST_F(FingerprintTest, MatchesOpensslForCertificates)
{
    const TestPki& pki = TestPki::Get();
    ASSERT_TRUE(pki.ok);
    for (const char* name : {"root", "rsa"}) {
        std::vector<uint8_t> der = pki.Read(std::string(name) + ".der");
        char* text = nullptr;
        ASSERT_EQ(encode->fingerprint(der.data(), der.size(), 40, 32, 5, &text), S_OK);
        EXPECT_EQ(std::string(text), OpensslFingerprint(pki, std::string(name) + ".pem")) << name;
        list->free(text);
    }
}

TEST_F(FingerprintTest, RefusesOtherForms)
{
    const unsigned char bytes[] = {1, 2, 3};
    const struct {
        const unsigned char* data;
        size_t length;
        int digits, group, algorithm;
        bool out;
    } cases[] = {
        {bytes, 3, 32, 32, 5, true},   {bytes, 3, 40, 16, 5, true},  {bytes, 3, 40, 32, 4, true},
        {nullptr, 3, 40, 32, 5, true}, {bytes, 3, 40, 32, 5, false},
    };
    for (const auto& c : cases) {
        char* text = reinterpret_cast<char*>(1);
        EXPECT_EQ(encode->fingerprint(c.data, c.length, c.digits, c.group, c.algorithm, c.out ? &text : nullptr),
                  E_INVALIDARG);
        if (c.out) {
            EXPECT_EQ(text, nullptr);
        }
    }
    // No bytes: the digest of the empty input.
    char* text = nullptr;
    ASSERT_EQ(encode->fingerprint(nullptr, 0, 40, 32, 5, &text), S_OK);
    EXPECT_STREQ(text, "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    list->free(text);
}

}  // namespace
