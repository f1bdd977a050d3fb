// The crypto library's signatures ("SEC_MZT_1" slots 2 and 4) over a PSE
// double that the test tree's provider hands out as the default context's
// PSE; openssl reads the data contents and verifies the signatures.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "qev_attributes.h"
#include "qev_doubles.h"
#include "qev_mzt.h"
#include "test_process.h"
#include "zelk_module.h"

namespace kestrin::webadapter::test {
namespace {

using kestrin::qevtest::FakePSE;
using kestrin::qevtest::Type;
using kestrin::testsupport::RunProgram;
using kestrin::testsupport::TempFolder;

std::string Read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Write(const std::string& path, const unsigned char* data, uint64_t length)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(length));
}

// One signer for the whole program: the provider adopts the first PSE it is
// handed and keeps it, so the double and its identity are made once.
struct Signer {
    Signer()
    {
        EXPECT_EQ(RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Signer",
                              "-days", "2", "-keyout", folder.path() + "/key.pem", "-out", folder.path() + "/cert.pem"},
                             {}),
                  0);
        EXPECT_EQ(RunProgram({"openssl", "x509", "-in", folder.path() + "/cert.pem", "-outform", "DER", "-out",
                              folder.path() + "/cert.der"},
                             {}),
                  0);
        std::string der = Read(folder.path() + "/cert.der");
        void* certificate = nullptr;
        OctetString encoded {der.size(), reinterpret_cast<unsigned char*>(der.data())};
        EXPECT_EQ(Type(SEC_TYPE_Certificate)->decode(&encoded, &certificate), S_OK);
        PersonalCertificateInfo record {};
        record.tokenName = const_cast<char*>("tok:signer");
        record.keyId = const_cast<char*>("k1");
        record.certificate = static_cast<Certificate*>(certificate);
        void* copy = nullptr;
        EXPECT_EQ(Type(SEC_TYPE_PersonalCertificateInfo)->copy(&record, &copy), S_OK);
        Type(SEC_TYPE_Certificate)->free(certificate);
        pse->AddOwnCertificate(static_cast<PersonalCertificateInfo*>(copy));
        Type(SEC_TYPE_PersonalCertificateInfo)->free(copy);
        if (FILE* keyFile = std::fopen((folder.path() + "/key.pem").c_str(), "r")) {
            key.reset(PEM_read_PrivateKey(keyFile, nullptr, nullptr, nullptr));
            std::fclose(keyFile);
        }
        API_COMMON* table = nullptr;
        EXPECT_EQ(qevtest::Library()->get_api("zelkpse", "SEC_PSE_1", &table), S_OK);
        SECAttribute handOver {};
        handOver.id = SEC_ATTR_SERVICE_PSE;
        handOver.value = static_cast<PSE*>(pse);
        PSE* out = nullptr;
        EXPECT_EQ(ZELK_ApiCast<SEC_PSE_TABLE>(table)->create_PSE(&out, nullptr, &handOver), S_OK);
    }

    TempFolder folder {"mzt"};
    FakePSE* pse = new FakePSE();
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key {nullptr, &EVP_PKEY_free};
};

Signer& TheSigner()
{
    static Signer* s_signer = new Signer();
    return *s_signer;
}

class MztTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        API_COMMON* table = nullptr;
        ASSERT_EQ(qevtest::Library()->get_api(nullptr, SEC_MZT_API, &table), S_OK);
        mzt = ZELK_ApiCast<SEC_MZT_TABLE>(table);
        pse = TheSigner().pse;
        ASSERT_TRUE(TheSigner().key);
        pse->ownFilter = [this](const PersonalCertificateInfo*, SECAttribute* filter) {
            filters.push_back(Describe(filter));
            return true;
        };
        pse->onEncryptDigest = [this](SECAttribute* attributes, const unsigned char* digest, unsigned long length,
                                      unsigned char* out, unsigned long* outLength) {
            signedWith = Describe(attributes);
            if (signResult != S_OK)
                return signResult;
            std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
                EVP_PKEY_CTX_new(TheSigner().key.get(), nullptr), &EVP_PKEY_CTX_free);
            size_t room = *outLength;
            if (EVP_PKEY_sign_init(ctx.get()) != 1 || EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1
                || EVP_PKEY_sign(ctx.get(), out, &room, digest, length) != 1)
                return E_FAIL;
            *outLength = room;
            return S_OK;
        };
    }
    void TearDown() override
    {
        pse->ownFilter = nullptr;
        pse->onEncryptDigest = nullptr;
    }

    // "id=value" per attribute, texts shown, others by their id alone.
    static std::string Describe(SECAttribute* chain)
    {
        std::string text;
        for (SECAttribute* a = chain; a != nullptr; a = a->next) {
            text += std::to_string(a->id);
            if ((a->id == SEC_ATTR_CALLER || a->id == SEC_ATTR_TOKEN_URI || a->id == SEC_ATTR_KEY_ID) && a->value)
                text += "=" + std::string(static_cast<const char*>(a->value));
            text += " ";
        }
        return text;
    }

    std::vector<unsigned char> Encode(const std::string& data)
    {
        unsigned char* out = nullptr;
        uint64_t length = 0;
        EXPECT_EQ(
            mzt->encode("PKCS7", 5, reinterpret_cast<const unsigned char*>(data.data()), data.size(), &out, &length),
            S_OK);
        std::vector<unsigned char> bytes(out, out + length);
        std::free(out);
        return bytes;
    }

    HRESULT Sign(const std::vector<unsigned char>& content, const std::string& profile, std::string* path)
    {
        std::string identity = "someone";
        SigRcpMztInformationStruct signer {};
        signer.identity = identity.c_str();
        signer.identityLength = identity.size();
        signer.profile = profile.c_str();
        signer.profileLength = profile.size();
        SigRcpMztInformationListStruct list {&signer, nullptr};
        unsigned char* out = nullptr;
        uint64_t length = 0;
        HRESULT hr = mzt->sign("PKCS7", 5, "DFAULT", 6, 1, 0, content.data(), content.size(), &list, &out, &length);
        if (SUCCEEDED(hr)) {
            *path = folder.path() + "/sig.der";
            Write(*path, out, length);
        }
        std::free(out);
        return hr;
    }

    const SEC_MZT_TABLE* mzt = nullptr;
    FakePSE* pse = nullptr;
    TempFolder folder {"mztrun"};
    std::vector<std::string> filters;
    std::string signedWith;
    HRESULT signResult = S_OK;
};

TEST_F(MztTest, DataContentHoldsTheBytesAsOpensslReadsThem)
{
    for (const std::string& data : {std::string("hello"), std::string(), std::string("\0\1\2", 3)}) {
        std::vector<unsigned char> der = Encode(data);
        Write(folder.path() + "/data.der", der.data(), der.size());
        std::string printed;
        ASSERT_EQ(
            RunProgram({"openssl", "asn1parse", "-inform", "DER", "-in", folder.path() + "/data.der"}, {}, &printed),
            0);
        EXPECT_NE(printed.find(":pkcs7-data"), std::string::npos) << printed;
    }
    unsigned char* out = nullptr;
    uint64_t length = 0;
    EXPECT_EQ(mzt->encode("CMS", 3, reinterpret_cast<const unsigned char*>("x"), 1, &out, &length), E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
}

TEST_F(MztTest, SignatureVerifiesAndCarriesTheContent)
{
    const std::string data = "text to be signed";
    std::string path;
    ASSERT_EQ(Sign(Encode(data), "[reauth]tok:signer", &path), S_OK);
    std::string content;
    ASSERT_EQ(RunProgram({"openssl", "cms", "-verify", "-inform", "DER", "-in", path, "-CAfile",
                          TheSigner().folder.path() + "/cert.pem", "-purpose", "any"},
                         {}, &content),
              0);
    EXPECT_EQ(content, data);
    std::string printed;
    ASSERT_EQ(RunProgram({"openssl", "cms", "-cmsout", "-print", "-inform", "DER", "-in", path}, {}, &printed), 0);
    for (const char* part : {"contentType", "messageDigest", "signingTime", "sha256"})
        EXPECT_NE(printed.find(part), std::string::npos) << part;
    ASSERT_EQ(filters.size(), 1u);
    EXPECT_EQ(filters[0], "230=MZT 875 240=tok:signer ");
    EXPECT_EQ(signedWith, "240=tok:signer 58=k1 500 ");
}

TEST_F(MztTest, ProfileTextSelectsTheFilter)
{
    struct Case {
        const char* profile;
        const char* filter;
    } cases[] = {
        {"[reauth]", "230=MZT 875 "},
        {"tok:signer", "230=MZT 240=tok:signer "},
        {"", "230=MZT "},
    };
    for (const Case& c : cases) {
        filters.clear();
        std::string path;
        EXPECT_EQ(Sign(Encode("x"), c.profile, &path), S_OK) << c.profile;
        ASSERT_EQ(filters.size(), 1u);
        EXPECT_EQ(filters[0], c.filter) << c.profile;
    }
}

TEST_F(MztTest, PseCodesPassThroughAndBadInputIsRefused)
{
    std::string path;
    signResult = static_cast<HRESULT>(0xA1E00019);
    EXPECT_EQ(Sign(Encode("x"), "[reauth]", &path), static_cast<HRESULT>(0xA1E00019));
    signResult = S_OK;
    pse->ownFilter = [](const PersonalCertificateInfo*, SECAttribute*) { return false; };
    EXPECT_EQ(Sign(Encode("x"), "[reauth]", &path), static_cast<HRESULT>(0xA1E00206));
    // Not a data content: raw bytes, and a truncated content.
    std::vector<unsigned char> content = Encode("abcdef");
    EXPECT_EQ(Sign({'a', 'b'}, "", &path), E_INVALIDARG);
    EXPECT_EQ(Sign(std::vector<unsigned char>(content.begin(), content.end() - 1), "", &path), E_INVALIDARG);
    unsigned char* out = nullptr;
    uint64_t length = 0;
    SigRcpMztInformationStruct signer {};
    SigRcpMztInformationListStruct list {&signer, nullptr};
    EXPECT_EQ(mzt->sign("PKCS7", 5, "OTHER1", 6, 1, 0, content.data(), content.size(), &list, &out, &length),
              E_INVALIDARG);
    EXPECT_EQ(mzt->sign("PKCS7", 5, "DFAULT", 6, 0, 0, content.data(), content.size(), &list, &out, &length),
              E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
}

}  // namespace
}  // namespace kestrin::webadapter::test
