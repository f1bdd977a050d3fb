// Table "zelk.misc.base.certificate.1" and class "Certificates" of module
// "zelkbase", over CA and end-entity certificates made by the OpenSSL tool.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "certificate/certificate_objects.h"
#include "zelk_alloc.h"
#include "zelk_base_certificate_client.h"
#include "zelk_class.h"
#include "zelk_module.h"

ZELK_BASE_CERTIFICATE_CLIENT_BINDING();

namespace {

API_COMMON* common_types = nullptr;
CLoadAPI load_common_types(nullptr, "SEC_COMMONTYPES_1", &common_types);

// The crypto library unloads modules without finalising them. Keeping
// zelkbase mapped keeps its certificate cache reachable, as it is in the
// application, which never unloads the module.
void PinModule()
{
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    ASSERT_GT(n, 0);
    std::string path(exe, static_cast<size_t>(n));
    path = path.substr(0, path.rfind('/')) + "/../lib/libzelkbase.so";
    ASSERT_NE(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE), nullptr) << dlerror();
}

// The cache's classes live in the module, which exports no type information:
// calls through their class pointers are kept out of the sanitizer's dynamic
// type check.
__attribute__((no_sanitize("vptr"))) int GetCert(kestrin::base::CCertificates* cache, const Certificate* cert,
                                                 IAttributes** out)
{
    kestrin::base::CCertificate* item = nullptr;
    int hr = cache->GetCert(cert, out != nullptr ? &item : nullptr);
    if (out != nullptr)
        *out = item;
    return hr;
}

__attribute__((no_sanitize("vptr"))) void Release(kestrin::base::CCertificates* cache)
{
    cache->Release();
}

__attribute__((no_sanitize("vptr"))) bool Match(IAttributes* item, const Certificate* cert)
{
    return static_cast<kestrin::base::CCertificate*>(item)->Match(cert);
}

class CertificateTable : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/zelkcert-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        // One CA (EC) and end-entity certificates of every kind the predicates tell apart.
        ASSERT_EQ(
            run("printf 'basicConstraints=critical,CA:TRUE\\nkeyUsage=critical,keyCertSign,cRLSign\\n' > ca.ext && "
                "printf 'keyUsage=digitalSignature\\n' > sig.ext && "
                "printf 'basicConstraints=CA:FALSE\\n' > notca.ext && "
                "printf 'basicConstraints=CA:FALSE\\nkeyUsage=digitalSignature,keyEncipherment\\n"
                "extendedKeyUsage=clientAuth,emailProtection\\n' > client.ext && "
                "printf 'extendedKeyUsage=serverAuth\\n' > server.ext && "
                "openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj '/O=Test/CN=Test CA' "
                "-keyout ca.key -out ca.csr && "
                "openssl x509 -req -in ca.csr -signkey ca.key -days 30 -extfile ca.ext -out ca.pem && "
                "openssl req -new -newkey rsa:2048 -nodes -subj '/C=DE/O=Example, Inc/CN=Alice' "
                "-keyout ee.key -out ee.csr && "
                "for k in plain sig notca; do "
                "  if [ $k = plain ]; then e=''; else e=\"-extfile $k.ext\"; fi; "
                "  openssl x509 -req -in ee.csr -signkey ee.key -days 30 $e -out $k.pem || exit 1; done && "
                "for k in client server; do "
                "  openssl x509 -req -in ee.csr -CA ca.pem -CAkey ca.key -set_serial 0x0a0b -days 30 "
                "    -extfile $k.ext -out $k.pem || exit 1; done && "
                "for k in ca plain sig notca client server; do "
                "  openssl x509 -in $k.pem -outform DER -out $k.der || exit 1; done"),
            0);
    }
    static void TearDownTestSuite()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    void SetUp() override
    {
        ASSERT_EQ(ZELK_Initialize(), S_OK);
        PinModule();
        ASSERT_NE(kestrin::runtime::certificate::T(), nullptr);
    }
    void TearDown() override { EXPECT_EQ(ZELK_Finalize(), S_OK); }

    static int run(const std::string& command)
    {
        int rc = std::system(("cd '" + dir + "' && (" + command + ") >/dev/null 2>&1").c_str());
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }

    static std::string file(const std::string& name)
    {
        std::ifstream f(dir + "/" + name, std::ios::binary);
        return {std::istreambuf_iterator<char>(f), {}};
    }

    const SEC_TYPE_TABLE* type(unsigned index) { return SEC_TypeTable(common_types, index); }

    Certificate* load(const std::string& name)
    {
        std::string der = file(name + ".der");
        OctetString s {der.size(), reinterpret_cast<unsigned char*>(der.data())};
        void* cert = nullptr;
        EXPECT_EQ(type(SEC_TYPE_Certificate)->decode(&s, &cert), S_OK) << name;
        return static_cast<Certificate*>(cert);
    }

    std::string text(void (*get)(const Certificate*, char**), const Certificate* cert)
    {
        char* t = nullptr;
        get(cert, &t);
        std::string s = t != nullptr ? t : "<null>";
        sec_free(t);
        return s;
    }

    static inline std::string dir;
};

struct Kind {
    const char* name;
    bool encryption, signature, authentication, ca, root, v1root;
};

TEST_F(CertificateTable, PredicatesTellTheKindsApart)
{
    const Kind kinds[] = {
        // name     enc    sig    auth   ca     root   v1root
        {"plain", true, true, false, true, true, false},   {"sig", false, true, false, false, false, true},
        {"notca", true, true, false, false, false, true},  {"ca", false, false, false, true, true, false},
        {"client", true, true, true, false, false, false}, {"server", true, true, false, true, false, false},
    };
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        Certificate* cert = load(k.name);
        ASSERT_NE(cert, nullptr);
        EXPECT_EQ(Certificate_IsEncryption(cert), k.encryption);
        EXPECT_EQ(Certificate_IsSignature(cert), k.signature);
        EXPECT_EQ(Certificate_IsAuthentication(cert), k.authentication);
        EXPECT_EQ(Certificate_IsCA(cert), k.ca);
        EXPECT_EQ(Certificate_IsRootCA(cert), k.root);
        EXPECT_EQ(Certificate_IsV1RootCA(cert), k.v1root);
        cert->Release();
    }
    EXPECT_FALSE(Certificate_IsEncryption(nullptr));
    EXPECT_FALSE(Certificate_IsSignature(nullptr));
    EXPECT_FALSE(Certificate_IsAuthentication(nullptr));
    EXPECT_FALSE(Certificate_IsCA(nullptr));
    EXPECT_FALSE(Certificate_IsRootCA(nullptr));
    EXPECT_FALSE(Certificate_IsV1RootCA(nullptr));
}

TEST_F(CertificateTable, ExtendedKeyUsageNamesAndValidity)
{
    Certificate* client = load("client");
    ASSERT_NE(client, nullptr);
    auto* objIds = static_cast<const SEC_OBJID_TYPE_TABLE*>(type(SEC_TYPE_ObjId));
    ObjId* email = nullptr;
    ObjId* codeSigning = nullptr;
    ASSERT_EQ(objIds->from_text("1.3.6.1.5.5.7.3.4", &email), S_OK);
    ASSERT_EQ(objIds->from_text("1.3.6.1.5.5.7.3.3", &codeSigning), S_OK);
    EXPECT_TRUE(Certificate_HasExtendKeyUsage(client, email));
    EXPECT_FALSE(Certificate_HasExtendKeyUsage(client, codeSigning));
    EXPECT_FALSE(Certificate_HasExtendKeyUsage(client, nullptr));
    EXPECT_FALSE(Certificate_HasExtendKeyUsage(nullptr, email));

    EXPECT_EQ(text(Certificate_GetSubject, client), "CN=Alice, O=Example\\, Inc, C=DE");
    EXPECT_EQ(text(Certificate_GetIssuer, client), "CN=Test CA, O=Test");
    EXPECT_EQ(text(Certificate_GetSubject, nullptr), "<null>");
    Certificate_GetSubject(client, nullptr);

    const char* notBefore = Certificate_GetUTCValidNotBeforeStatic(client);
    const char* notAfter = Certificate_GetUTCValidNotAfterStatic(client);
    ASSERT_NE(notBefore, nullptr);
    ASSERT_NE(notAfter, nullptr);
    EXPECT_EQ(notBefore, Certificate_GetUTCValidNotBeforeStatic(client));  // not copied
    EXPECT_LT(std::strcmp(notBefore, notAfter), 0);
    EXPECT_EQ(Certificate_GetUTCValidNotAfterStatic(nullptr), nullptr);

    objIds->free(email);
    objIds->free(codeSigning);
    client->Release();
}

TEST_F(CertificateTable, DecodeBase64AndDuplicateFreeSet)
{
    ASSERT_EQ(run("openssl base64 -in client.der -out client.b64"), 0);
    std::string b64 = file("client.b64");  // lines of 64 characters
    Certificate* decoded = nullptr;
    Certificate_DecodeBase64(b64.c_str(), &decoded);
    ASSERT_NE(decoded, nullptr);
    Certificate* client = load("client");
    EXPECT_EQ(type(SEC_TYPE_Certificate)->compare(decoded, client), 0);

    Certificate* bad = nullptr;
    Certificate_DecodeBase64("not base64!", &bad);
    EXPECT_EQ(bad, nullptr);
    Certificate_DecodeBase64("QUJD", &bad);  // Base64 of "ABC": no certificate
    EXPECT_EQ(bad, nullptr);
    Certificate_DecodeBase64(nullptr, &bad);
    Certificate_DecodeBase64(b64.c_str(), nullptr);

    Certificate* ca = load("ca");
    SET_OF_Certificate* set = SET_OF_Certificate_Add(nullptr, client);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(set->element, client);  // a copy of a certificate is another reference to it
    EXPECT_EQ(SET_OF_Certificate_Add(set, decoded), set);
    EXPECT_EQ(set->next, nullptr);
    EXPECT_EQ(SET_OF_Certificate_Add(set, ca), set);
    ASSERT_NE(set->next, nullptr);
    EXPECT_EQ(type(SEC_TYPE_Certificate)->compare(set->next->element, ca), 0);
    EXPECT_EQ(SET_OF_Certificate_Add(set, nullptr), set);
    EXPECT_EQ(set->next->next, nullptr);
    type(SEC_TYPE_SET_OF_Certificate)->free(set);

    for (Certificate* c : {decoded, client, ca})
        c->Release();
}

TEST_F(CertificateTable, CertificatesCacheHandsOutOneViewPerCertificate)
{
    IContainerRO* container = nullptr;
    ASSERT_EQ(
        ZELK_CreateObject("zelkbase", ZELK_CLASS_CERTIFICATES, IID_IContainerRO, reinterpret_cast<void**>(&container)),
        S_OK);
    kestrin::base::CCertificates* certificates = nullptr;
    ASSERT_EQ(container->QueryInterface(IID_CCertificates, reinterpret_cast<void**>(&certificates)), S_OK);
    unsigned long before = 0;
    ASSERT_EQ(container->GetCount(&before), S_OK);

    Certificate* first = load("client");
    Certificate* second = load("client");  // another object, the same certificate
    ASSERT_NE(first, second);
    IAttributes* a = nullptr;
    IAttributes* b = nullptr;
    ASSERT_EQ(GetCert(certificates, first, &a), S_OK);
    ASSERT_EQ(GetCert(certificates, second, &b), S_OK);
    EXPECT_EQ(a, b);
    unsigned long count = 0;
    EXPECT_EQ(container->GetCount(&count), S_OK);
    EXPECT_EQ(count, before + 1);
    EXPECT_TRUE(Match(a, second));

    SECAttribute serial {};
    serial.id = ZELK_ATTR_CERT_SERIAL;
    SECAttribute unknown {};
    unknown.id = 99;
    unknown.next = &serial;
    SECAttribute subject {};
    subject.id = ZELK_ATTR_CERT_SUBJECT;
    subject.next = &unknown;
    EXPECT_EQ(a->GetAttr(&subject), S_FALSE);
    EXPECT_EQ(subject.answered, 1);
    EXPECT_STREQ(static_cast<char*>(subject.value), "CN=Alice, O=Example\\, Inc, C=DE");
    EXPECT_EQ(unknown.answered, 0);
    EXPECT_EQ(unknown.value, nullptr);
    EXPECT_STREQ(static_cast<char*>(serial.value), "0a0b");
    EXPECT_EQ(serial.owned, 1);
    sec_free(subject.value);
    sec_free(serial.value);
    EXPECT_EQ(a->SetAttr(&subject), E_ACCESSDENIED);

    IAttributes* attributes = nullptr;
    EXPECT_EQ(container->GetItem(before, IID_IAttributes, reinterpret_cast<void**>(&attributes)), S_OK);
    EXPECT_EQ(a, attributes);
    attributes->Release();
    attributes = reinterpret_cast<IAttributes*>(this);
    EXPECT_EQ(container->GetItem(count, IID_IAttributes, reinterpret_cast<void**>(&attributes)), E_INVALIDARG);
    EXPECT_EQ(attributes, nullptr);
    EXPECT_EQ(container->GetItem(0, IID_IAttributes, nullptr), E_POINTER);
    EXPECT_EQ(container->GetCount(nullptr), E_POINTER);
    EXPECT_EQ(GetCert(certificates, first, nullptr), E_POINTER);

    a->Release();
    b->Release();
    first->Release();
    second->Release();
    container->Release();
    container = nullptr;
    ASSERT_EQ(
        ZELK_CreateObject("zelkbase", ZELK_CLASS_CERTIFICATES, IID_IContainerRO, reinterpret_cast<void**>(&container)),
        S_OK);
    EXPECT_EQ(static_cast<void*>(container), static_cast<void*>(certificates));  // one object per process
    container->Release();
    Release(certificates);
}

}  // namespace
