// Key converters ("SEC_KEYCONVERT_1"), the former-format check
// ("SEC_OLDPSE_1") and the memory PSE of a context opened on a converter's
// PSE image (attributes 847, 32 and 888). OpenSSL's command line makes the
// inputs and reads the PKCS#12 files.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "qev_attributes.h"
#include "qev_fixture.h"
#include "qev_io.h"
#include "qev_keyconvert.h"
#include "qev_pse.h"
#include "qev_records.h"
#include "qev_results.h"
#include "test_pki.h"
#include "test_process.h"

namespace {

using Bytes = std::vector<uint8_t>;

class KeyConversion : public QevLibrary {
protected:
    void SetUp() override
    {
        QevLibrary::SetUp();
        ASSERT_TRUE(pki.ok);
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, SEC_KEYCONVERT_API, &table), S_OK);
        converters = ZELK_ApiCast<SEC_KEYCONVERT_TABLE>(table);
        ASSERT_EQ(list->get_api(nullptr, SEC_OLDPSE_API, &table), S_OK);
        oldPse = ZELK_ApiCast<SEC_OLDPSE_TABLE>(table);
        ASSERT_EQ(list->get_api(nullptr, SEC_IO_API, &table), S_OK);
        io = ZELK_ApiCast<SEC_IO_TABLE>(table);
        ASSERT_EQ(list->get_api(nullptr, "SEC_ASC_1", &table), S_OK);
        ascs = ZELK_ApiCast<SEC_ASC_TABLE>(table);
        ASSERT_EQ(list->get_api(nullptr, "SEC_COMMONTYPES_1", &common), S_OK);
    }

    KeyConverter* New()
    {
        KeyConverter* c = nullptr;
        EXPECT_EQ(converters->sec_keyConvert_create_KeyConverter(&c), S_OK);
        return c;
    }

    // An output through a size query and a buffer of that size.
    template <class Call>
    static HRESULT Fetch(Call call, Bytes& out)
    {
        unsigned long length = 0;
        HRESULT hr = call(nullptr, &length);
        if (FAILED(hr))
            return hr;
        out.assign(length, 0);
        hr = call(out.data(), &length);
        out.resize(length);
        return hr;
    }
    static HRESULT Chain(KeyConverter* c, unsigned long index, Bytes& out)
    {
        return Fetch([&](unsigned char* b, unsigned long* n) { return c->getChainCertificate(index, b, n); }, out);
    }
    static std::string Missing(KeyConverter* c)
    {
        char text[SEC_KEYCONVERT_MISSING_TEXT] = {};
        unsigned long length = sizeof text;
        EXPECT_EQ(c->reportMissingCertificate(text, &length), S_OK);
        return length == 0 ? "" : std::string(text);
    }
    static HRESULT Import(KeyConverter* c, const Bytes& data, const char* password)
    {
        return c->importKeyMaterial(data.data(), data.size(), password, password ? std::strlen(password) : 0);
    }

    std::string Write(const std::string& name, const Bytes& bytes)
    {
        std::string path = pki.Path(name);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path;
    }

    const TestPki& pki = TestPki::Get();
    const SEC_KEYCONVERT_TABLE* converters = nullptr;
    const SEC_OLDPSE_TABLE* oldPse = nullptr;
    const SEC_IO_TABLE* io = nullptr;
    const SEC_ASC_TABLE* ascs = nullptr;
    API_COMMON* common = nullptr;
};

TEST_F(KeyConversion, Pkcs12GivesTheChainTheAnchorAndNothingMissing)
{
    KeyConverter* c = New();
    const Bytes p12 = pki.Read("rsa.p12");
    // Nothing is taken from bytes that are no key material or a wrong password.
    EXPECT_EQ(Import(c, Bytes {1, 2, 3}, "secret"), E_COMMON_INVALIDDATA);
    EXPECT_EQ(Import(c, p12, "wrong"), E_PSE_BADPASSWORD);
    EXPECT_EQ(c->importKeyMaterial(nullptr, 0, nullptr, 0), E_COMMON_INVALIDDATA);
    Bytes der;
    EXPECT_EQ(Chain(c, 0, der), E_COMMON_INVALIDDATA);
    EXPECT_EQ(Missing(c), "");

    ASSERT_EQ(Import(c, p12, "secret"), S_OK);
    const char* expected[] = {"rsa.der", "inter.der", "root.der"};
    for (unsigned long i = 0; i < 3; ++i) {
        ASSERT_EQ(Chain(c, i, der), S_OK) << i;
        EXPECT_EQ(der, pki.Read(expected[i])) << i;
    }
    EXPECT_EQ(Chain(c, 3, der), E_COMMON_INVALIDDATA);
    // The same material again changes nothing: certificates are held once.
    ASSERT_EQ(Import(c, pki.Read("rsa-legacy.p12"), "secret"), S_OK);
    EXPECT_EQ(Fetch([&](unsigned char* b, unsigned long* n) { return c->getTrustedCertificate(0, b, n); }, der), S_OK);
    EXPECT_EQ(der, pki.Read("root.der"));
    unsigned long length = 99;
    EXPECT_EQ(c->getTrustedCertificate(1, nullptr, &length), S_OK);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(Missing(c), "");

    // A buffer one byte short gives the size.
    length = 0;
    ASSERT_EQ(c->getChainCertificate(0, nullptr, &length), S_OK);
    const unsigned long size = length;
    Bytes buffer(size);
    length = size - 1;
    EXPECT_EQ(c->getChainCertificate(0, buffer.data(), &length), E_COMMON_BUFFERTOOSMALL);
    EXPECT_EQ(length, size);
    c->Release();

    // No image is of a former format.
    OctetString* decrypted = reinterpret_cast<OctetString*>(1);
    EXPECT_EQ(oldPse->sec_oldpse_LPSdecrypt_PSE(p12.data(), p12.size(), "secret", &decrypted), 0);
    EXPECT_EQ(decrypted, nullptr);
}

TEST_F(KeyConversion, PiecesOfAChainReportWhatIsMissingUntilTheRoot)
{
    ASSERT_TRUE(pki.Run("openssl pkey -in ec.key -outform DER -out ec.key.der && "
                        "openssl crl2pkcs7 -nocrl -certfile root.pem -outform DER -out root.p7b && "
                        "openssl crl2pkcs7 -nocrl -certfile inter.pem -out inter.p7c"));
    KeyConverter* c = New();
    ASSERT_EQ(Import(c, pki.Read("ec.key.der"), nullptr), S_OK);
    const Bytes ec = pki.Read("ec.der");
    EXPECT_EQ(c->addCertificate(ec.data(), 10), E_COMMON_INVALIDDATA);
    ASSERT_EQ(c->addCertificate(ec.data(), ec.size()), S_OK);
    EXPECT_EQ(Missing(c), "CN=Test Intermediate");
    char shortText[4];
    unsigned long length = sizeof shortText;
    EXPECT_EQ(c->reportMissingCertificate(shortText, &length), E_COMMON_BUFFERTOOSMALL);
    EXPECT_EQ(length, std::strlen("CN=Test Intermediate") + 1);

    // Each form of certificates: PEM of a PKCS#7, DER PKCS#7, PEM text.
    const Bytes interP7 = pki.Read("inter.p7c");
    ASSERT_EQ(c->importCertificates(interP7.data(), interP7.size()), S_OK);
    EXPECT_EQ(Missing(c), "CN=Test Root");
    const Bytes junk = {'-', '-', '-', '-', '-', 'B', 'E', 'G', 'I', 'N', ' ', 'X'};
    EXPECT_EQ(c->importCertificates(junk.data(), junk.size()), E_COMMON_INVALIDDATA);
    const Bytes rootP7 = pki.Read("root.p7b");
    ASSERT_EQ(c->importCertificates(rootP7.data(), rootP7.size()), S_OK);
    const Bytes rootPem = pki.Read("root.pem");
    ASSERT_EQ(c->importCertificates(rootPem.data(), rootPem.size()), S_OK);
    EXPECT_EQ(Missing(c), "");
    Bytes der;
    ASSERT_EQ(Chain(c, 2, der), S_OK);
    EXPECT_EQ(der, pki.Read("root.der"));
    c->Release();
}

TEST_F(KeyConversion, Pkcs12ExportOpensInOpenSslWithItsAlgorithmAndKey)
{
    KeyConverter* c = New();
    unsigned long length = 0;
    EXPECT_EQ(c->exportPKCS12(10, "pbeWithSHA1And3-KeyTripleDES-CBC", "pw", 2, nullptr, &length), E_COMMON_INVALIDDATA);
    ASSERT_EQ(Import(c, pki.Read("rsa.p12"), "secret"), S_OK);
    EXPECT_EQ(c->exportPKCS12(10, "sha256", "pw", 2, nullptr, &length), E_INVALIDARG);
    Bytes p12;
    ASSERT_EQ(
        Fetch([&](unsigned char* b,
                  unsigned long* n) { return c->exportPKCS12(10, "pbeWithSHA1And3-KeyTripleDES-CBC", "pw", 2, b, n); },
              p12),
        S_OK);
    c->Release();
    const std::string path = Write("export.p12", p12);

    std::string info;
    ASSERT_EQ(kestrin::testsupport::RunProgram(
                  {"sh", "-c", "openssl pkcs12 -info -noout -in '" + path + "' -passin pass:pw 2>&1"}, {}, &info),
              0)
        << info;
    EXPECT_NE(info.find("MAC: sha1, Iteration 2048"), std::string::npos) << info;
    EXPECT_NE(info.find("pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048"), std::string::npos) << info;
    EXPECT_EQ(info.find("RC4"), std::string::npos) << info;
    std::string keyPub, certPub, certs;
    ASSERT_EQ(
        kestrin::testsupport::RunProgram(
            {"sh", "-c", "openssl pkcs12 -in '" + path + "' -passin pass:pw -nocerts -nodes | openssl pkey -pubout"},
            {}, &keyPub),
        0);
    ASSERT_EQ(kestrin::testsupport::RunProgram(
                  {"sh", "-c",
                   "openssl pkcs12 -in '" + path + "' -passin pass:pw -nokeys -clcerts | openssl x509 -pubkey -noout"},
                  {}, &certPub),
              0);
    EXPECT_FALSE(keyPub.empty());
    EXPECT_EQ(keyPub, certPub);
    ASSERT_EQ(kestrin::testsupport::RunProgram(
                  {"sh", "-c", "openssl pkcs12 -in '" + path + "' -passin pass:pw -nokeys | grep -c 'BEGIN CERT'"}, {},
                  &certs),
              0);
    EXPECT_EQ(certs, "3\n");
}

TEST_F(KeyConversion, PseImageOpensAsAMemoryPseWhoseFlagIsNotStored)
{
    KeyConverter* c = New();
    unsigned long length = 0;
    EXPECT_EQ(c->exportPSE(0, "", 0, nullptr, &length), E_COMMON_INVALIDDATA);
    ASSERT_EQ(Import(c, pki.Read("ec.p12"), "secret"), S_OK);
    Bytes image;
    ASSERT_EQ(Fetch([&](unsigned char* b, unsigned long* n) { return c->exportPSE(0, "image pw", 8, b, n); }, image),
              S_OK);
    c->Release();

    // The image is key material of its own.
    KeyConverter* again = New();
    EXPECT_EQ(Import(again, image, "other"), E_PSE_BADPASSWORD);
    ASSERT_EQ(Import(again, image, "image pw"), S_OK);
    Bytes der;
    ASSERT_EQ(Chain(again, 1, der), S_OK);
    EXPECT_EQ(der, pki.Read("inter.der"));
    again->Release();

    OctetString data {image.size(), image.data()};
    char* name = nullptr;
    ASSERT_EQ(io->mem_reg(nullptr, &data, &name), S_OK);
    auto open = [&](ASC** asc) {
        SECAttribute password {};
        password.id = SEC_ATTR_PASSWORD;
        password.value = const_cast<char*>("image pw");
        SECAttribute file {};
        file.id = SEC_ATTR_PSE_IMAGE;
        file.value = name;
        file.next = &password;
        return ascs->create_ASC(asc, &file);
    };
    auto flag = [](PSE* pse) {
        SECAttribute read {};
        read.id = SEC_ATTR_PSE_FLAG;
        EXPECT_EQ(pse->control(nullptr, &read), S_OK);
        EXPECT_EQ(read.answered, 1);
        return reinterpret_cast<uintptr_t>(read.value);
    };
    for (int round = 0; round < 2; ++round) {
        ASC* asc = nullptr;
        ASSERT_EQ(open(&asc), S_OK);
        PSE* pse = nullptr;
        ASSERT_EQ(asc->getPSE(&pse), S_OK);
        SET_OF_PersonalCertificateInfo* own = nullptr;
        ASSERT_EQ(pse->getOwnCertificate(nullptr, nullptr, &own), S_OK);
        ASSERT_NE(own, nullptr);
        ASSERT_NE(own->element->certificate, nullptr);
        EXPECT_EQ(own->next, nullptr);
        SEC_TypeTable(common, SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(own);

        // On whenever the image is opened; off once set, in this PSE only.
        EXPECT_EQ(flag(pse), 1u) << round;
        SECAttribute off {};
        off.id = SEC_ATTR_PSE_FLAG;
        EXPECT_EQ(pse->control(&off, nullptr), S_OK);
        EXPECT_EQ(flag(pse), 0u);
        SECAttribute other {};
        other.id = 1;
        EXPECT_EQ(pse->control(&other, nullptr), E_PSE_NOTSUPPORTED);
        pse->Release();
        asc->Release();
    }
    EXPECT_EQ(io->mem_unreg(name), S_OK);
    std::free(name);
}

}  // namespace
