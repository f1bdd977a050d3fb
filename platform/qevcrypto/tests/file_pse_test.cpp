// The library's PSE file "pse.zip" in a temporary XDG_DATA_HOME: creation,
// login, the trusted list across objects and processes, damaged files, files
// that `openssl pkcs12` makes and reads, and signatures `openssl pkeyutl`
// verifies.
#include <openssl/sha.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "data_home.h"
#include "qev_attributes.h"
#include "qev_fixture.h"
#include "qev_pse.h"
#include "qev_records.h"
#include "qev_results.h"
#include "test_pki.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSha256WithRsa = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0b};

Bytes ReadAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), {}};
}

void WriteAll(const std::string& path, const Bytes& bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class FilePse : public QevLibrary {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pki.ok);
        QevLibrary::SetUp();
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, "SEC_PSE_1", &table), S_OK);
        pseTable = ZELK_ApiCast<SEC_PSE_TABLE>(table);
        ASSERT_EQ(list->get_api(nullptr, "SEC_COMMONTYPES_1", &common), S_OK);
        ASSERT_EQ(mkdir(home.Folder().c_str(), 0700), 0);
    }

    const SEC_TYPE_TABLE* Type(unsigned int index) { return SEC_TypeTable(common, index); }

    PSE* Open()
    {
        PSE* pse = nullptr;
        EXPECT_EQ(pseTable->create_PSE(&pse, nullptr, nullptr), S_OK);
        return pse;
    }
    HRESULT Login(PSE* pse, const std::string& password)
    {
        return pse->loginWithPassword(nullptr, reinterpret_cast<const unsigned char*>(password.data()),
                                      password.size());
    }
    Certificate* Cert(const std::string& name)
    {
        Bytes der = pki.Read(name + ".der");
        OctetString s {der.size(), der.data()};
        void* c = nullptr;
        EXPECT_EQ(Type(SEC_TYPE_Certificate)->decode(&s, &c), S_OK);
        return static_cast<Certificate*>(c);
    }
    size_t TrustedCount(PSE* pse)
    {
        SET_OF_Certificate* trusted = nullptr;
        EXPECT_EQ(pse->getTrustedCertList(&trusted), S_OK);
        size_t n = 0;
        for (SET_OF_Certificate* t = trusted; t != nullptr; t = t->next)
            ++n;
        Type(SEC_TYPE_SET_OF_Certificate)->free(trusted);
        return n;
    }
    std::vector<PersonalCertificateInfo*> Own(PSE* pse, SECAttribute* filter, SET_OF_PersonalCertificateInfo** infoList)
    {
        *infoList = nullptr;
        EXPECT_EQ(pse->getOwnCertificate(nullptr, filter, infoList), S_OK);
        std::vector<PersonalCertificateInfo*> infos;
        for (SET_OF_PersonalCertificateInfo* n = *infoList; n != nullptr; n = n->next)
            infos.push_back(n->element);
        return infos;
    }

    TempDataHome home;
    const TestPki& pki = TestPki::Get();
    const SEC_PSE_TABLE* pseTable = nullptr;
    API_COMMON* common = nullptr;
};

TEST_F(FilePse, InitialisedFileOpensLogsInAndKeepsItsTrustedList)
{
    PSE* pse = reinterpret_cast<PSE*>(&home);
    EXPECT_EQ(pseTable->create_PSE(&pse, nullptr, nullptr), E_PSE_NOPSE);
    EXPECT_EQ(pse, nullptr);
    EXPECT_EQ(pseTable->initialize_PSE(nullptr, ""), E_INVALIDARG);
    EXPECT_EQ(pseTable->initialize_PSE("other.zip", "first"), E_INVALIDARG);
    ASSERT_EQ(pseTable->initialize_PSE(nullptr, "first"), S_OK);
    const Bytes created = ReadAll(home.PseFile());
    EXPECT_EQ(pseTable->initialize_PSE(nullptr, "second"), E_PSE_EXISTS);
    EXPECT_EQ(ReadAll(home.PseFile()), created);
    struct stat st;
    ASSERT_EQ(stat(home.PseFile().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // OpenSSL reads our file under the password, with the parameters we chose.
    EXPECT_TRUE(pki.Run("openssl pkcs12 -info -noout -in pse.zip -passin pass:first", home.Folder()));
    EXPECT_FALSE(pki.Run("openssl pkcs12 -info -noout -in pse.zip -passin pass:second", home.Folder()));

    pse = Open();
    ASSERT_NE(pse, nullptr);
    EXPECT_STREQ(pse->getType(), "FILEPSE");
    const char* name = nullptr;
    ASSERT_EQ(pse->getPseFileName(&name), S_OK);
    EXPECT_EQ(std::string(name), home.PseFile());
    Certificate* root = Cert("root");
    EXPECT_EQ(pse->addTrustedCertListItem(root), E_PSE_NOTLOGGEDIN);
    EXPECT_EQ(Login(pse, "second"), E_PSE_BADPASSWORD);
    EXPECT_EQ(pse->addTrustedCertListItem(root), E_PSE_NOTLOGGEDIN);
    EXPECT_EQ(ReadAll(home.PseFile()), created);
    ASSERT_EQ(Login(pse, "first"), S_OK);
    ASSERT_EQ(pse->addTrustedCertListItem(root), S_OK);
    EXPECT_EQ(pse->addTrustedCertListItem(root), S_FALSE);
    EXPECT_EQ(pse->isInTrustedCerts(root), 1);
    EXPECT_TRUE(pki.Run("openssl pkcs12 -info -noout -in pse.zip -passin pass:first", home.Folder()));

    // Another object reads the list without the password.
    PSE* other = Open();
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(TrustedCount(other), 1u);
    EXPECT_EQ(other->isInTrustedCerts(root), 1);
    Certificate* inter = Cert("inter");
    EXPECT_EQ(other->isInTrustedCerts(inter), 0);

    ASSERT_EQ(pse->addTrustedCertListItem(inter), S_OK);
    EXPECT_EQ(TrustedCount(other), 2u);
    ASSERT_EQ(pse->deleteTrustedCertListItem(root->getSubject(), 0), S_OK);
    EXPECT_EQ(TrustedCount(other), 1u);
    EXPECT_EQ(other->isInTrustedCerts(root), 0);
    EXPECT_EQ(other->isInTrustedCerts(inter), 1);

    SET_OF_String* objects = reinterpret_cast<SET_OF_String*>(&home);
    EXPECT_EQ(pse->listApplObjects(&objects), S_OK);
    EXPECT_EQ(objects, nullptr);
    EXPECT_EQ(pse->loginBySystemParameters(nullptr), E_PSE_NOTSUPPORTED);
    EXPECT_EQ(pse->getSlots(nullptr, nullptr), E_PSE_NOTSUPPORTED);
    root->Release();
    inter->Release();
    other->Release();
    pse->Release();
}

TEST_F(FilePse, AnotherProcesssWriteIsSeen)
{
    ASSERT_EQ(pseTable->initialize_PSE(nullptr, "first"), S_OK);
    PSE* pse = Open();
    ASSERT_NE(pse, nullptr);
    EXPECT_EQ(TrustedCount(pse), 0u);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        PSE* own = Open();
        Certificate* root = Cert("root");
        bool ok = own != nullptr && Login(own, "first") == S_OK && own->addTrustedCertListItem(root) == S_OK;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(TrustedCount(pse), 1u);
    pse->Release();
}

TEST_F(FilePse, DamagedFileIsCorruptAndLeftAlone)
{
    ASSERT_EQ(pseTable->initialize_PSE(nullptr, "first"), S_OK);
    const Bytes good = ReadAll(home.PseFile());
    Bytes random(700);
    for (size_t i = 0; i < random.size(); ++i)
        random[i] = static_cast<uint8_t>(i * 131 + 7);
    for (const Bytes& damaged : {Bytes(good.begin(), good.begin() + static_cast<long>(good.size() / 2)), random}) {
        WriteAll(home.PseFile(), damaged);
        PSE* pse = reinterpret_cast<PSE*>(&home);
        EXPECT_EQ(pseTable->create_PSE(&pse, nullptr, nullptr), E_PSE_CORRUPT);
        EXPECT_EQ(pse, nullptr);
        // A context answers the same and tries again next time.
        SECAttribute none {};
        none.id = 848;
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, "SEC_ASC_1", &table), S_OK);
        ASC* asc = nullptr;
        ASSERT_EQ(ZELK_ApiCast<SEC_ASC_TABLE>(table)->create_ASC(&asc, &none), S_OK);
        EXPECT_EQ(asc->getOwnPSE(&pse), E_PSE_CORRUPT);
        EXPECT_EQ(asc->getPSE(&pse), E_PSE_CORRUPT);
        asc->Release();
        EXPECT_EQ(ReadAll(home.PseFile()), damaged);
    }
}

TEST_F(FilePse, FileAskingForTooManyIterationsIsRefusedBeforeAnyDerivation)
{
    ASSERT_TRUE(pki.Run("openssl pkcs12 -export -in " + pki.Path("ec.pem") + " -inkey " + pki.Path("ec.key")
                            + " -iter 2000001 -passout pass:secret -out pse.zip",
                        home.Folder()));
    PSE* pse = Open();
    ASSERT_NE(pse, nullptr);
    EXPECT_EQ(Login(pse, "secret"), E_PSE_CORRUPT);
    pse->Release();
}

TEST_F(FilePse, OpensslExportSignsAndDecryptsAfterLogin)
{
    for (const char* file : {"rsa.p12", "rsa-legacy.p12"}) {
        SCOPED_TRACE(file);
        WriteAll(home.PseFile(), pki.Read(file));
        PSE* pse = Open();
        ASSERT_NE(pse, nullptr);
        SET_OF_PersonalCertificateInfo* own = nullptr;
        // OpenSSL puts the certificates into a safe that only the password opens.
        EXPECT_TRUE(Own(pse, nullptr, &own).empty());
        Bytes digest(32);
        SHA256(reinterpret_cast<const unsigned char*>("data"), 4, digest.data());
        unsigned char signature[512];
        unsigned long length = sizeof signature;
        EXPECT_EQ(pse->encryptDigest(nullptr, nullptr, digest.data(), digest.size(), signature, &length),
                  E_PSE_NOTLOGGEDIN);
        ASSERT_EQ(Login(pse, "secret"), S_OK);

        std::vector<PersonalCertificateInfo*> infos = Own(pse, nullptr, &own);
        ASSERT_EQ(infos.size(), 1u);
        PersonalCertificateInfo* info = infos[0];
        Bytes der = pki.Read("rsa.der");
        uint8_t sha1[20];
        SHA1(der.data(), der.size(), sha1);
        char hex[41];
        for (int i = 0; i < 20; ++i)
            std::snprintf(hex + 2 * i, 3, "%02x", sha1[i]);
        EXPECT_STREQ(info->keyId, hex);
        EXPECT_STREQ(info->label, "QEV Kestrin (rsa)");
        EXPECT_EQ(info->tokenName, nullptr);
        ASSERT_NE(info->certificate, nullptr);
        ASSERT_NE(info->path, nullptr);
        EXPECT_EQ(info->path->next, nullptr);
        ASSERT_NE(info->pathEnd, nullptr);
        char* cn = nullptr;
        ASSERT_EQ(info->pathEnd->getSubjectCommonName(&cn), S_OK);
        EXPECT_STREQ(cn, "Test Root");
        list->free(cn);
        EXPECT_NE(info->sigAlgs, nullptr);
        Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(own);

        // A key identifier of no identity filters everything out; answered
        // attributes are skipped.
        SECAttribute keyId {};
        keyId.id = SEC_ATTR_KEY_ID;
        keyId.value = const_cast<char*>("00");
        EXPECT_TRUE(Own(pse, &keyId, &own).empty());
        keyId.answered = 1;
        EXPECT_EQ(Own(pse, &keyId, &own).size(), 1u);
        Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(own);

        ObjId oid {kSha256WithRsa.size(), const_cast<uint8_t*>(kSha256WithRsa.data())};
        AlgId alg {&oid, nullptr};
        SECAttribute algorithm {};
        algorithm.id = SEC_ATTR_SIGNATURE_ALGORITHM;
        algorithm.value = &alg;
        SECAttribute which {};
        which.id = SEC_ATTR_KEY_ID;
        which.value = hex;
        which.next = &algorithm;
        length = 10;
        EXPECT_EQ(pse->encryptDigest(nullptr, &which, digest.data(), digest.size(), signature, &length),
                  E_BUFFERTOOSMALL);
        EXPECT_EQ(length, 256u);
        length = sizeof signature;
        ASSERT_EQ(pse->encryptDigest(nullptr, &which, digest.data(), digest.size(), signature, &length), S_OK);
        WriteAll(home.root + "/digest.bin", digest);
        WriteAll(home.root + "/sig.bin", Bytes(signature, signature + length));
        EXPECT_TRUE(pki.Run("openssl pkeyutl -verify -pubin -inkey " + pki.Path("rsa.pub")
                                + " -pkeyopt digest:sha256 -in digest.bin -sigfile sig.bin",
                            home.root));

        // The identity's token objects sign as the key store's do.
        TokenObjectPrivateKey* key = nullptr;
        ASSERT_EQ(pse->getPrivateKey(nullptr, hex, &key), S_OK);
        length = sizeof signature;
        ASSERT_EQ(key->sign(&alg, 1, digest.data(), digest.size(), signature, &length, nullptr), S_OK);
        WriteAll(home.root + "/sig.bin", Bytes(signature, signature + length));
        EXPECT_TRUE(pki.Run("openssl pkeyutl -verify -pubin -inkey " + pki.Path("rsa.pub")
                                + " -pkeyopt digest:sha256 -in digest.bin -sigfile sig.bin",
                            home.root));
        key->Release();
        TokenObjectCertificate* certificate = nullptr;
        EXPECT_EQ(pse->getCertificate(nullptr, nullptr, "no such label", &certificate), E_PSE_NOTFOUND);
        ASSERT_EQ(pse->getCertificate(nullptr, nullptr, "QEV Kestrin (rsa)", &certificate), S_OK);
        Certificate* end = nullptr;
        ASSERT_EQ(certificate->getCertPath(nullptr, nullptr, &end), S_OK);
        ASSERT_NE(end, nullptr);
        ASSERT_EQ(end->getSubjectCommonName(&cn), S_OK);
        EXPECT_STREQ(cn, "Test Root");
        list->free(cn);
        end->Release();
        certificate->Release();

        WriteAll(home.root + "/plain.bin", Bytes {'k', 'e', 'y'});
        ASSERT_TRUE(
            pki.Run("openssl pkeyutl -encrypt -pubin -inkey " + pki.Path("rsa.pub") + " -in plain.bin -out cipher.bin",
                    home.root));
        Bytes cipher = ReadAll(home.root + "/cipher.bin");
        unsigned char plain[256];
        length = sizeof plain;
        ASSERT_EQ(pse->decryptKey(nullptr, nullptr, cipher.data(), cipher.size(), plain, &length), S_OK);
        EXPECT_EQ(Bytes(plain, plain + length), (Bytes {'k', 'e', 'y'}));

        // A change writes the file in our own form, which OpenSSL still reads whole.
        Certificate* root = Cert("root");
        ASSERT_EQ(pse->addTrustedCertListItem(root), S_OK);
        root->Release();
        EXPECT_TRUE(pki.Run("openssl pkcs12 -info -in pse.zip -passin pass:secret -passout pass:x 2>&1 "
                            "| grep -q 'PBES2, PBKDF2, AES-256-CBC, Iteration 100000, PRF hmacWithSHA256' && "
                            "openssl pkcs12 -info -noout -in pse.zip -passin pass:secret 2>&1 "
                            "| grep -q 'MAC: sha256, Iteration 100000'",
                            home.Folder()));
        PSE* reopened = Open();
        ASSERT_NE(reopened, nullptr);
        EXPECT_EQ(Own(reopened, nullptr, &own).size(), 1u);
        Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(own);
        // Without the password an identity's key object exists but does not sign.
        TokenObjectPrivateKey* locked = nullptr;
        ASSERT_EQ(reopened->getPrivateKey(nullptr, nullptr, &locked), S_OK);
        length = sizeof signature;
        EXPECT_EQ(locked->sign(&alg, 1, digest.data(), digest.size(), signature, &length, nullptr), E_PSE_NOTLOGGEDIN);
        locked->Release();
        reopened->Release();
        pse->Release();
        std::remove(home.PseFile().c_str());
    }
}

}  // namespace
