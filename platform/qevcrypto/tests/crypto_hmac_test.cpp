// HMAC of "SEC_CRYPTO_1", checked by openssl's own HMAC over the same bytes.
#include <cstdio>
#include <string>

#include "ossl_fixture.h"
#include "qev_crypt.h"
#include "qev_mac.h"

namespace {

std::string hex(const unsigned char* data, size_t length)
{
    std::string s;
    char b[3];
    for (size_t i = 0; i < length; ++i) {
        std::snprintf(b, sizeof b, "%02x", data[i]);
        s += b;
    }
    return s;
}

class Hmac : public QevOsslTest {
protected:
    void SetUp() override
    {
        QevOsslTest::SetUp();
        crypto = table<SEC_CRYPTO_TABLE>(SEC_CRYPTO_API);
        ASSERT_NE(crypto, nullptr);
    }

    const SEC_CRYPTO_TABLE* crypto = nullptr;
};

TEST_F(Hmac, MatchesOpensslForKeysOfEveryShape)
{
    // Empty key, a short one, one of a block and one longer than a block (hashed first).
    for (size_t keyLength : {0, 3, 64, 100}) {
        std::vector<unsigned char> key(keyLength);
        for (size_t i = 0; i < keyLength; ++i)
            key[i] = static_cast<unsigned char>(i * 37 + 1);
        const std::string message = "message " + std::to_string(keyLength);
        write("data", reinterpret_cast<const unsigned char*>(message.data()), message.size());
        ASSERT_EQ(run("openssl mac -digest SHA1 -macopt hexkey:" + (keyLength ? hex(key.data(), keyLength) : "00")
                      + " -in data -out mac.hex HMAC"),
                  0);
        unsigned char out[20];
        uint64_t length = sizeof out;
        ASSERT_EQ(crypto->hmac(SEC_MAC_HASH_SHA1, key.data(), keyLength,
                               reinterpret_cast<const unsigned char*>(message.data()), message.size(), out, &length),
                  S_OK);
        ASSERT_EQ(length, 20u);
        if (keyLength == 0) {
            // openssl takes no empty hex key: the RFC 2104 padding makes one zero byte the same key.
            unsigned char zero = 0;
            unsigned char other[20];
            uint64_t otherLength = sizeof other;
            ASSERT_EQ(crypto->hmac(SEC_MAC_HASH_SHA1, &zero, 1, reinterpret_cast<const unsigned char*>(message.data()),
                                   message.size(), other, &otherLength),
                      S_OK);
            EXPECT_EQ(hex(out, 20), hex(other, 20));
        }
        std::vector<unsigned char> expected = read("mac.hex");
        std::string text(expected.begin(), expected.end());
        for (auto& c : text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(text.substr(0, 40), hex(out, 20)) << keyLength;
    }
}

TEST_F(Hmac, RefusesOtherHashesShortBuffersAndNullLengths)
{
    const unsigned char key[] = "k";
    const unsigned char data[] = "d";
    unsigned char out[20] = {};
    uint64_t length = sizeof out;
    EXPECT_EQ(crypto->hmac(SEC_HASH_SHA256, key, 1, data, 1, out, &length), E_INVALIDARG);
    EXPECT_EQ(crypto->hmac(SEC_MAC_HASH_SHA1, key, 1, data, 1, out, nullptr), E_INVALIDARG);
    EXPECT_EQ(crypto->hmac(SEC_MAC_HASH_SHA1, nullptr, 1, data, 1, out, &length), E_INVALIDARG);

    length = 19;
    EXPECT_EQ(crypto->hmac(SEC_MAC_HASH_SHA1, key, 1, data, 1, out, &length), SEC_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 20u);
    EXPECT_EQ(out[0], 0);
}

}  // namespace
