// EC key pairs (slot 2 with 103), digest encryption (slot 5) and RSA
// decryption through slot 18, checked by `openssl pkeyutl`.
#include <openssl/evp.h>

#include <deque>
#include <string>
#include <vector>

#include "ossl_fixture.h"
#include "qev_crypt.h"

namespace {

class PrivateKeys : public QevOsslTest {
protected:
    void SetUp() override
    {
        QevOsslTest::SetUp();
        crypt = table<SEC_CRYPT_TABLE>("SEC_CRYPT_1");
        ASSERT_NE(crypt, nullptr);
        keyInfo = type(SEC_TYPE_KeyInfo);
        objId = static_cast<const SEC_OBJID_TYPE_TABLE*>(type(SEC_TYPE_ObjId));
    }

    void TearDown() override
    {
        Drop();
        for (ObjId* o : oids)
            type(SEC_TYPE_ObjId)->free(o);
        for (OctetString* p : params)
            freeOctets(p);
        QevOsslTest::TearDown();
    }

    ObjId* Oid(const char* text)
    {
        ObjId* oid = nullptr;
        EXPECT_EQ(objId->from_text(text, &oid), S_OK);
        oids.push_back(oid);
        return oid;
    }

    // An AlgId whose parameters are the DER of a named curve.
    AlgId* EcAlgorithm(const char* curveText)
    {
        ObjId* curve = Oid(curveText);
        std::vector<unsigned char> der = {0x06, static_cast<unsigned char>(curve->length)};
        der.insert(der.end(), curve->data, curve->data + curve->length);
        params.push_back(octets(der));
        algs.push_back(AlgId {Oid("1.2.840.10045.2.1"), params.back()});
        return &algs.back();
    }

    HRESULT GenerateEc(const AlgId* algorithm)
    {
        Drop();
        SECAttribute a {};
        a.id = SEC_ATTR_KEY_ALGORITHM;
        a.value = const_cast<AlgId*>(algorithm);
        priv.id = pub.id = SEC_ATTR_KEY;
        return crypt->gen_keypair(&a, nullptr, &priv, nullptr, &pub);
    }

    HRESULT GenerateRsa(uint64_t bits)
    {
        Drop();
        SECAttribute a {};
        a.id = SEC_ATTR_KEY_BITS;
        a.value = reinterpret_cast<void*>(static_cast<uintptr_t>(bits));
        priv.id = pub.id = SEC_ATTR_KEY;
        return crypt->gen_keypair(&a, nullptr, &priv, nullptr, &pub);
    }

    void Drop()
    {
        for (SECAttribute* a : {&priv, &pub})
            if (a->owned && a->value != nullptr)
                a->type->free(a->value);
        priv = SECAttribute {};
        pub = SECAttribute {};
    }

    void WritePublicKey()
    {
        OctetString* der = nullptr;
        ASSERT_EQ(keyInfo->encode(pub.value, &der), S_OK);
        write("pub.der", der->data, der->length);
        list->free(der->data);
        list->free(der);
    }

    // Digest encryption with the generated private key and `algorithm` (500, may be NULL).
    HRESULT Sign(const AlgId* algorithm, const std::vector<unsigned char>& digest, std::vector<unsigned char>& out,
                 uint64_t size = 1024)
    {
        SECAttribute a {}, k {};
        a.id = SEC_ATTR_SIGNATURE_ALGORITHM;
        a.value = const_cast<AlgId*>(algorithm);
        k.id = SEC_ATTR_KEY;
        k.value = priv.value;
        k.next = algorithm != nullptr ? &a : nullptr;
        out.assign(size, 0);
        uint64_t length = size;
        HRESULT hr = crypt->encrypt_digest(&k, digest.data(), digest.size(), out.data(), &length);
        out.resize(hr == S_OK ? length : 0);
        lastLength = length;
        return hr;
    }

    std::vector<unsigned char> Digest(const EVP_MD* md, const std::string& text)
    {
        std::vector<unsigned char> d(EVP_MAX_MD_SIZE);
        unsigned int n = 0;
        EVP_Digest(text.data(), text.size(), d.data(), &n, md, nullptr);
        d.resize(n);
        return d;
    }

    const SEC_CRYPT_TABLE* crypt = nullptr;
    const SEC_TYPE_TABLE* keyInfo = nullptr;
    const SEC_OBJID_TYPE_TABLE* objId = nullptr;
    SECAttribute priv {}, pub {};
    std::vector<ObjId*> oids;
    std::vector<OctetString*> params;
    std::deque<AlgId> algs;
    uint64_t lastLength = 0;
};

TEST_F(PrivateKeys, NamedCurvesGiveKeyPairsOthersAreRefused)
{
    for (const char* curve : {"1.2.840.10045.3.1.7", "1.3.132.0.34", "1.3.132.0.35"}) {
        SCOPED_TRACE(curve);
        ASSERT_EQ(GenerateEc(EcAlgorithm(curve)), S_OK);
        ASSERT_NE(priv.value, nullptr);
        ASSERT_NE(pub.value, nullptr);
        EXPECT_EQ(objId->key_algorithm(static_cast<KeyInfo*>(pub.value)->algorithm->objid), 17);
    }
    // secp256k1, a curve outside the three.
    EXPECT_EQ(GenerateEc(EcAlgorithm("1.3.132.0.10")), E_INVALIDARG);
    // rsaEncryption under 103.
    AlgId rsa {Oid("1.2.840.113549.1.1.1"), nullptr};
    EXPECT_EQ(GenerateEc(&rsa), E_INVALIDARG);
    EXPECT_EQ(GenerateEc(nullptr), E_INVALIDARG);
    EXPECT_EQ(priv.value, nullptr);
}

TEST_F(PrivateKeys, RsaDigestSignaturesVerifyWithOpenssl)
{
    ASSERT_EQ(GenerateRsa(2048), S_OK);
    WritePublicKey();
    AlgId sha256Rsa {Oid("1.2.840.113549.1.1.11"), nullptr};
    AlgId sha1 {Oid("1.3.14.3.2.26"), nullptr};
    const std::string text = "handshake transcript";
    write("data", reinterpret_cast<const unsigned char*>(text.data()), text.size());

    std::vector<unsigned char> sig;
    ASSERT_EQ(Sign(&sha256Rsa, Digest(EVP_sha256(), text), sig), S_OK);
    EXPECT_EQ(sig.size(), 256u);
    write("sig", sig.data(), sig.size());
    EXPECT_EQ(run("openssl dgst -sha256 -keyform DER -verify pub.der -signature sig data"), 0);

    // A digest's own identifier names it as well.
    ASSERT_EQ(Sign(&sha1, Digest(EVP_sha1(), text), sig), S_OK);
    write("sig1", sig.data(), sig.size());
    EXPECT_EQ(run("openssl dgst -sha1 -keyform DER -verify pub.der -signature sig1 data"), 0);

    // MD5 and SHA-1 side by side: PKCS#1 padding over the bare 36 bytes.
    std::vector<unsigned char> both = Digest(EVP_md5(), text);
    std::vector<unsigned char> s1 = Digest(EVP_sha1(), text);
    both.insert(both.end(), s1.begin(), s1.end());
    ASSERT_EQ(Sign(nullptr, both, sig), S_OK);
    write("both", both.data(), both.size());
    write("sig36", sig.data(), sig.size());
    EXPECT_EQ(run("openssl pkeyutl -verify -pubin -keyform DER -inkey pub.der -in both -sigfile sig36"), 0);

    // A digest of the wrong length for the algorithm, or no algorithm.
    EXPECT_EQ(Sign(&sha256Rsa, s1, sig), E_INVALIDARG);
    EXPECT_EQ(Sign(nullptr, s1, sig), E_INVALIDARG);
    // A short buffer learns the size; no length at all is refused.
    EXPECT_EQ(Sign(&sha256Rsa, Digest(EVP_sha256(), text), sig, 255), SEC_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(lastLength, 256u);
    SECAttribute k {};
    k.id = SEC_ATTR_KEY;
    k.value = priv.value;
    EXPECT_EQ(crypt->encrypt_digest(&k, both.data(), both.size(), sig.data(), nullptr), E_INVALIDARG);
    // The public half cannot sign.
    k.value = pub.value;
    uint64_t length = 512;
    unsigned char buffer[512];
    EXPECT_EQ(crypt->encrypt_digest(&k, both.data(), both.size(), buffer, &length), E_INVALIDARG);
}

TEST_F(PrivateKeys, EcdsaDigestSignaturesVerifyWithOpenssl)
{
    ASSERT_EQ(GenerateEc(EcAlgorithm("1.2.840.10045.3.1.7")), S_OK);
    WritePublicKey();
    AlgId ecdsa256 {Oid("1.2.840.10045.4.3.2"), nullptr};
    const std::string text = "server key exchange";
    write("data", reinterpret_cast<const unsigned char*>(text.data()), text.size());
    std::vector<unsigned char> sig;
    ASSERT_EQ(Sign(&ecdsa256, Digest(EVP_sha256(), text), sig), S_OK);
    EXPECT_EQ(sig[0], 0x30);
    write("sig", sig.data(), sig.size());
    EXPECT_EQ(run("openssl dgst -sha256 -keyform DER -verify pub.der -signature sig data"), 0);
    EXPECT_EQ(Sign(&ecdsa256, Digest(EVP_sha256(), text), sig, 8), SEC_E_BUFFER_TOO_SMALL);
    EXPECT_GE(lastLength, 70u);
}

TEST_F(PrivateKeys, Slot18DecryptsWhatOpensslEncryptedForThePublicKey)
{
    ASSERT_EQ(GenerateRsa(2048), S_OK);
    WritePublicKey();
    const std::string secret = "48 bytes of premaster secret, give or take.....";
    write("plain", reinterpret_cast<const unsigned char*>(secret.data()), secret.size());
    ASSERT_EQ(run("openssl pkeyutl -encrypt -pubin -keyform DER -inkey pub.der -in plain -out enc"), 0);
    std::vector<unsigned char> enc = read("enc");
    ASSERT_EQ(enc.size(), 256u);

    SECAttribute key {};
    key.id = SEC_ATTR_KEY;
    key.value = priv.value;
    SECAttribute decrypt {};
    decrypt.id = SEC_ATTR_DECRYPT;
    decrypt.value = &key;
    unsigned char out[256];
    uint64_t length = 10;
    EXPECT_EQ(crypt->cipher(&decrypt, enc.data(), enc.size(), out, &length), SEC_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, secret.size());
    length = sizeof out;
    ASSERT_EQ(crypt->cipher(&decrypt, enc.data(), enc.size(), out, &length), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), secret);

    // Damaged ciphertext, and a public key in the chain, decrypt nothing.
    enc[100] ^= 1;
    length = sizeof out;
    EXPECT_LT(crypt->cipher(&decrypt, enc.data(), enc.size(), out, &length), 0);
    key.value = pub.value;
    EXPECT_EQ(crypt->cipher(&decrypt, enc.data(), enc.size(), out, &length), E_INVALIDARG);
}

}  // namespace
