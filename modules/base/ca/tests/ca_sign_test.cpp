// A certificate under construction signed through a token's private-key
// object (a small fake over an OpenSSL key), checked by `openssl verify`.
#include "ca/ca_sign.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/core_bindings.h"
#include "zelk_module.h"

namespace kestrin::base::test {
namespace {

// The private-key object of a token whose key is an OpenSSL key; it signs
// the digest it is given, the way the token layer's keys do.
class FakePrivateKey final : public TokenObjectPrivateKey {
public:
    explicit FakePrivateKey(EVP_PKEY* key) : key_(key) {}
    ~FakePrivateKey() { EVP_PKEY_free(key_); }

    HRESULT QueryInterface(const GUID&, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    long AddRef() override { return 1; }
    long Release() override { return 1; }
    const char* getType() override { return "TokenObjectPrivateKey"; }
    HRESULT cpy(TokenObject**) override { return E_NOTIMPL; }
    int cmp(const TokenObject* other) override { return other == this ? 0 : 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    TOKEN_OBJECT_TYPE getObjectType() override { return TOKEN_OBJECT_PRIVATE_KEY; }
    HRESULT getP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return E_NOTIMPL; }
    HRESULT setP11Attributes(CK_ATTRIBUTE*, unsigned long) override { return E_NOTIMPL; }
    HRESULT remove() override { return E_NOTIMPL; }
    HRESULT getKeyId(const char**) override { return E_NOTIMPL; }
    HRESULT getOps(unsigned int*) override { return E_NOTIMPL; }
    HRESULT getObjectPIN(TokenPIN**) override { return E_NOTIMPL; }
    HRESULT sign(const AlgId*, unsigned char flag, const unsigned char* digest, unsigned long digestLength,
                 unsigned char* signature, unsigned long* signatureLength, SECAttribute*) override
    {
        ++calls;
        lastDigestLength = digestLength;
        if (failWith != S_OK)
            return failWith;
        if (flag != 1)
            return E_INVALIDARG;
        const EVP_MD* md = digestLength == 20   ? EVP_sha1()
                           : digestLength == 32 ? EVP_sha256()
                           : digestLength == 48 ? EVP_sha384()
                                                : EVP_sha512();
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key_, nullptr);
        size_t length = *signatureLength;
        bool ok = ctx && EVP_PKEY_sign_init(ctx) == 1 && EVP_PKEY_CTX_set_signature_md(ctx, md) == 1
                  && EVP_PKEY_sign(ctx, signature, &length, digest, digestLength) == 1;
        EVP_PKEY_CTX_free(ctx);
        *signatureLength = static_cast<unsigned long>(length);
        return ok ? S_OK : E_FAIL;
    }
    HRESULT decrypt(const AlgId*, const unsigned char*, unsigned long, unsigned char*, unsigned long*,
                    SECAttribute*) override
    {
        return E_NOTIMPL;
    }
    HRESULT getCertObjs(TokenObjectPublicKey**, TokenObjectCertificate**, unsigned long*) override { return E_NOTIMPL; }
    HRESULT getPublicKeyInfo(KeyInfo**) override { return E_NOTIMPL; }
    HRESULT getSigAlgs(SEQUENCE_OF_AlgId**) override { return E_NOTIMPL; }

    int calls = 0;
    unsigned long lastDigestLength = 0;
    HRESULT failWith = S_OK;

private:
    EVP_PKEY* key_;
};

class SignWithToken : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/ca-sign-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(ZELK_Initialize(), S_OK);
        ASSERT_NE(fptr__crypt, nullptr);
    }
    void TearDown() override
    {
        EXPECT_EQ(ZELK_Finalize(), S_OK);
        std::filesystem::remove_all(dir_);
    }

    int Run(const std::string& command) const
    {
        return std::system(("cd '" + dir_ + "' && " + command + " >/dev/null 2>&1").c_str());
    }
    std::vector<unsigned char> Read(const std::string& name) const
    {
        std::ifstream f(dir_ + "/" + name, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }

    const SEC_TYPE_TABLE* Type(unsigned int index) const { return CommonType(index); }

    Certificate* Decode(const std::string& file) const
    {
        std::vector<unsigned char> der = Read(file);
        OctetString s {der.size(), der.data()};
        void* cert = nullptr;
        EXPECT_EQ(Type(SEC_TYPE_Certificate)->decode(&s, &cert), S_OK);
        return static_cast<Certificate*>(cert);
    }

    EVP_PKEY* LoadKey(const std::string& file) const
    {
        FILE* f = std::fopen((dir_ + "/" + file).c_str(), "r");
        EVP_PKEY* key = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
        if (f)
            std::fclose(f);
        return key;
    }

    // A certificate under construction for the subject key of `holder`,
    // issued by "CN=Token CA".
    Certificate* Unsigned(Certificate* holder) const
    {
        void* made = nullptr;
        EXPECT_EQ(Type(SEC_TYPE_Certificate)->new_node(&made), S_OK);
        auto* cert = static_cast<Certificate*>(made);
        auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(Type(SEC_TYPE_DName));
        DName* subject = nullptr;
        DName* issuer = nullptr;
        EXPECT_EQ(names->from_text("CN=Token User, O=Kestrin", &subject), S_OK);
        EXPECT_EQ(names->from_text("CN=Token CA", &issuer), S_OK);
        unsigned char serialBytes[] = {0x01, 0x02};
        OctetString serial {2, serialBytes};
        KeyInfo* key = nullptr;
        EXPECT_EQ(holder->getPublicKeyInfo(&key), S_OK);
        EXPECT_EQ(cert->setSubject(subject), S_OK);
        EXPECT_EQ(cert->setIssuer(issuer), S_OK);
        EXPECT_EQ(cert->setSerialNumber(&serial), S_OK);
        EXPECT_EQ(cert->setNotBefore("250101000000Z"), S_OK);
        EXPECT_EQ(cert->setNotAfter("20510101000000Z"), S_OK);
        EXPECT_EQ(cert->setSubjectPublicKey(key), S_OK);
        names->free(subject);
        names->free(issuer);
        Type(SEC_TYPE_KeyInfo)->free(key);
        return cert;
    }

    // 0 when `openssl verify` accepts the certificate as issued by ca.pem.
    int Verify(Certificate* cert) const
    {
        OctetString* der = nullptr;
        EXPECT_EQ(Type(SEC_TYPE_Certificate)->encode(cert, &der), S_OK);
        if (!der)
            return -1;
        std::ofstream(dir_ + "/signed.der", std::ios::binary)
            .write(reinterpret_cast<const char*>(der->data), static_cast<std::streamsize>(der->length));
        Type(SEC_TYPE_OctetString)->free(der);
        return Run("openssl x509 -inform DER -in signed.der -out signed.pem && openssl verify -CAfile ca.pem "
                   "signed.pem");
    }

    AlgId Algorithm(const char* oid) const
    {
        AlgId a {nullptr, nullptr};
        EXPECT_EQ(static_cast<const SEC_OBJID_TYPE_TABLE*>(Type(SEC_TYPE_ObjId))->from_text(oid, &a.objid), S_OK);
        return a;
    }
    void Free(AlgId& a) const { Type(SEC_TYPE_ObjId)->free(a.objid); }

    std::string dir_;
};

TEST_F(SignWithToken, OpenSslAcceptsWhatTheTokensKeySigned)
{
    struct Case {
        const char* keyArgs;
        const char* algorithm;
        unsigned long digestLength;
    } cases[] = {
        {"rsa:2048", "1.2.840.113549.1.1.11", 32},                           // sha256WithRSAEncryption
        {"rsa:2048", "1.2.840.113549.1.1.13", 64},                           // sha512WithRSAEncryption
        {"ec -pkeyopt ec_paramgen_curve:P-256", "1.2.840.10045.4.3.2", 32},  // ecdsa-with-SHA256
        {"ec -pkeyopt ec_paramgen_curve:P-384", "1.2.840.10045.4.3.3", 48},  // ecdsa-with-SHA384
    };
    ASSERT_EQ(Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 1 -subj /CN=Holder "
                  "-keyout holder.key -outform DER -out holder.der"),
              0);
    Certificate* holder = Decode("holder.der");
    ASSERT_NE(holder, nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.algorithm);
        ASSERT_EQ(Run(std::string("openssl req -x509 -newkey ") + c.keyArgs
                      + " -nodes -days 1 -subj '/CN=Token CA' -keyout ca.key -out ca.pem"),
                  0);
        FakePrivateKey key(LoadKey("ca.key"));
        AlgId algorithm = Algorithm(c.algorithm);
        Certificate* cert = Unsigned(holder);
        // Unsigned, it has no encoding.
        OctetString* der = nullptr;
        EXPECT_NE(Type(SEC_TYPE_Certificate)->encode(cert, &der), S_OK);
        ASSERT_EQ(Certificate_SignWithToken(cert, &key, &algorithm), S_OK);
        EXPECT_EQ(key.calls, 1);
        EXPECT_EQ(key.lastDigestLength, c.digestLength);
        EXPECT_EQ(Verify(cert), 0);
        cert->Release();
        Free(algorithm);
    }
    holder->Release();
}

TEST_F(SignWithToken, RefusalsAndTheKeysFailure)
{
    ASSERT_EQ(Run("openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj '/CN=Token CA' -keyout ca.key "
                  "-outform DER -out ca.der"),
              0);
    Certificate* holder = Decode("ca.der");
    ASSERT_NE(holder, nullptr);
    FakePrivateKey key(LoadKey("ca.key"));
    Certificate* cert = Unsigned(holder);
    AlgId sha256 = Algorithm("1.2.840.113549.1.1.11");
    AlgId pss = Algorithm("1.2.840.113549.1.1.10");  // its hash is in its parameters
    AlgId none {nullptr, nullptr};
    EXPECT_EQ(Certificate_SignWithToken(nullptr, &key, &sha256), E_INVALIDARG);
    EXPECT_EQ(Certificate_SignWithToken(cert, nullptr, &sha256), E_INVALIDARG);
    EXPECT_EQ(Certificate_SignWithToken(cert, &key, nullptr), E_INVALIDARG);
    EXPECT_EQ(Certificate_SignWithToken(cert, &key, &none), E_INVALIDARG);
    EXPECT_EQ(Certificate_SignWithToken(cert, &key, &pss), E_INVALIDARG);
    EXPECT_EQ(key.calls, 0);

    // The key's own answer comes back, and the certificate stays unsigned.
    key.failWith = ZELK_RC(0xA1D0010E);
    EXPECT_EQ(Certificate_SignWithToken(cert, &key, &sha256), ZELK_RC(0xA1D0010E));
    EXPECT_EQ(key.calls, 1);
    // A certificate read from its encoding cannot be signed again.
    key.failWith = S_OK;
    EXPECT_EQ(Certificate_SignWithToken(holder, &key, &sha256), E_ACCESSDENIED);
    Free(sha256);
    Free(pss);
    cert->Release();
    holder->Release();
}

}  // namespace
}  // namespace kestrin::base::test
