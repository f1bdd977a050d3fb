// Symmetric keys, ciphers, digests and random bytes through "SEC_CRYPT_1" and
// "SEC_RANDOM_1".
#include <cstdlib>
#include <cstring>

#include "ossl_fixture.h"
#include "qev_crypt.h"
#include "qev_random.h"

namespace {

class Crypt : public QevOsslTest {
protected:
    void SetUp() override
    {
        QevOsslTest::SetUp();
        crypt = table<SEC_CRYPT_TABLE>("SEC_CRYPT_1");
        random = table<SEC_RANDOM_TABLE>("SEC_RANDOM_1");
        ASSERT_NE(crypt, nullptr);
        ASSERT_NE(random, nullptr);
    }

    static SECAttribute number(uint32_t id, uint64_t value, SECAttribute* next)
    {
        SECAttribute a {};
        a.id = id;
        a.value = reinterpret_cast<void*>(static_cast<uintptr_t>(value));
        a.next = next;
        return a;
    }

    KeyInfo* key(uint64_t bits, unsigned int algorithm)
    {
        SECAttribute alg = number(SEC_ATTR_ALGORITHM, algorithm, nullptr);
        SECAttribute len = number(SEC_ATTR_KEY_BITS, bits, &alg);
        KeyInfo* k = nullptr;
        EXPECT_EQ(crypt->gen_key(&len, &k), S_OK);
        return k;
    }

    // Enciphers or deciphers with the chain 119, 114, 113, 105 [, 106] [, 108].
    std::vector<unsigned char> run(KeyInfo* k, unsigned int algorithm, unsigned int mode, bool decrypt, OctetString* iv,
                                   const std::vector<unsigned char>& in, HRESULT* result = nullptr)
    {
        SECAttribute ivAttr {};
        ivAttr.id = SEC_ATTR_IV;
        ivAttr.value = iv;
        SECAttribute dec = number(SEC_ATTR_DECRYPT, 0, iv ? &ivAttr : nullptr);
        SECAttribute modeAttr = number(SEC_ATTR_MODE, mode, decrypt ? &dec : (iv ? &ivAttr : nullptr));
        SECAttribute pad = number(SEC_ATTR_PADDING, SEC_PADDING_PKCS, &modeAttr);
        SECAttribute alg = number(SEC_ATTR_ALGORITHM, algorithm, &pad);
        SECAttribute keyAttr {};
        keyAttr.id = SEC_ATTR_KEY;
        keyAttr.value = k;
        keyAttr.next = &alg;
        uint64_t size = 0;
        HRESULT sized = crypt->output_size(&keyAttr, in.size(), &size);
        if (result && FAILED(sized)) {
            *result = sized;
            return {};
        }
        EXPECT_EQ(sized, S_OK);
        std::vector<unsigned char> out(size + 1);
        uint64_t length = out.size();
        HRESULT hr = crypt->cipher(&keyAttr, in.data(), in.size(), out.data(), &length);
        if (result)
            *result = hr;
        else
            EXPECT_EQ(hr, S_OK);
        out.resize(SUCCEEDED(hr) ? length : 0);
        return out;
    }

    void freeKey(KeyInfo* k) { type(SEC_TYPE_KeyInfo)->free(k); }

    SEC_CRYPT_TABLE* crypt = nullptr;
    SEC_RANDOM_TABLE* random = nullptr;
};

TEST_F(Crypt, KeyLengthLimits)
{
    for (uint64_t bits : {0ull, 16385ull}) {
        SECAttribute len = number(SEC_ATTR_KEY_BITS, bits, nullptr);
        KeyInfo* k = reinterpret_cast<KeyInfo*>(this);
        EXPECT_EQ(crypt->gen_key(&len, &k), SEC_E_KEY_LENGTH) << bits;
        EXPECT_EQ(k, nullptr);
    }
    KeyInfo* big = key(16384, 6);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->bits, 16384u);
    freeKey(big);
}

TEST_F(Crypt, CiphersRoundTripAndDifferFromThePlainText)
{
    const std::vector<unsigned char> plain = {'s', 'e', 'c', 'r', 'e', 't', ' ', 'p', 'a',
                                              's', 's', 'w', 'o', 'r', 'd', '!', '?'};
    struct Case {
        unsigned int algorithm, mode;
        uint64_t bits;
        size_t iv;
    } cases[] = {{6, 0, 128, 0}, {10, 1, 128, 16}, {12, 0, 256, 0}, {11, 2, 192, 16},
                 {2, 1, 168, 8}, {4, 0, 128, 0},   {7, 1, 192, 8},  {1, 1, 56, 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "cipher " << c.algorithm << " mode " << c.mode);
        KeyInfo* k = key(c.bits, c.algorithm);
        ASSERT_NE(k, nullptr);
        OctetString* iv = nullptr;
        if (c.iv) {
            ASSERT_EQ(random->random(0, c.iv, SEC_RANDOM_BYTES, &iv), S_OK);
        }
        std::vector<unsigned char> enc = run(k, c.algorithm, c.mode, false, iv, plain);
        EXPECT_NE(enc, plain);
        EXPECT_GE(enc.size(), plain.size());
        EXPECT_EQ(run(k, c.algorithm, c.mode, true, iv, enc), plain);
        freeOctets(iv);
        freeKey(k);
    }
}

TEST_F(Crypt, WrongKeyLengthOrMissingIvFails)
{
    KeyInfo* k = key(64, 10);
    HRESULT hr = S_OK;
    run(k, 10, 0, false, nullptr, {1, 2, 3}, &hr);
    EXPECT_EQ(hr, SEC_E_KEY_LENGTH);
    freeKey(k);
    k = key(128, 10);
    hr = S_OK;
    SECAttribute alg = number(SEC_ATTR_ALGORITHM, 10, nullptr);
    SECAttribute mode = number(SEC_ATTR_MODE, 1, &alg);
    SECAttribute keyAttr {};
    keyAttr.id = SEC_ATTR_KEY;
    keyAttr.value = k;
    keyAttr.next = &mode;
    unsigned char in[4] = {}, out[32];
    uint64_t length = sizeof out;
    EXPECT_EQ(crypt->cipher(&keyAttr, in, sizeof in, out, &length), E_INVALIDARG);
    freeKey(k);
}

TEST_F(Crypt, HashOfKnownValues)
{
    struct Case {
        unsigned int code;
        const char* hex;
    } cases[] = {
        {SEC_HASH_SHA1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {SEC_HASH_SHA256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    };
    for (const Case& c : cases) {
        SECAttribute alg = number(SEC_ATTR_HASH, c.code, nullptr);
        unsigned char out[64];
        uint64_t length = sizeof out;
        ASSERT_EQ(crypt->hash_all(&alg, reinterpret_cast<const unsigned char*>("abc"), 3, out, &length), S_OK);
        std::string hex;
        for (uint64_t i = 0; i < length; ++i) {
            char b[3];
            std::snprintf(b, sizeof b, "%02x", out[i]);
            hex += b;
        }
        EXPECT_EQ(hex, c.hex);
    }
    SECAttribute sha1 = number(SEC_ATTR_HASH, SEC_HASH_SHA1, nullptr);
    unsigned char small[19];
    uint64_t length = sizeof small;
    EXPECT_EQ(crypt->hash_all(&sha1, small, 0, small, &length), E_INVALIDARG);
}

TEST_F(Crypt, RandomBytes)
{
    OctetString* a = nullptr;
    OctetString* b = nullptr;
    ASSERT_EQ(random->random(0, 32, SEC_RANDOM_BYTES, &a), S_OK);
    ASSERT_EQ(random->random(0, 32, SEC_RANDOM_BYTES, &b), S_OK);
    EXPECT_EQ(a->length, 32u);
    EXPECT_NE(std::memcmp(a->data, b->data, 32), 0);
    freeOctets(a);
    freeOctets(b);
    EXPECT_EQ(random->random(0, 1ull << 40, SEC_RANDOM_BYTES, &a), E_INVALIDARG);
    EXPECT_EQ(a, nullptr);
}

TEST_F(Crypt, RandomUidTextIsLettersAndDigits)
{
    char* a = nullptr;
    char* b = nullptr;
    ASSERT_EQ(random->random(5, 32, SEC_RANDOM_UID_TEXT, &a), S_OK);
    ASSERT_EQ(random->random(5, 32, SEC_RANDOM_UID_TEXT, &b), S_OK);
    ASSERT_EQ(std::strlen(a), 32u);
    EXPECT_EQ(std::strspn(a, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"), 32u);
    EXPECT_STRNE(a, b);
    std::free(a);
    std::free(b);
    char* big = nullptr;
    EXPECT_EQ(random->random(5, 1ull << 40, SEC_RANDOM_UID_TEXT, &big), E_INVALIDARG);
    EXPECT_EQ(big, nullptr);
}

}  // namespace
