// Certificate field views, certificates under construction, the DName type's
// text form and the URL splitter, against certificates and names made by the
// OpenSSL tool.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "ossl_fixture.h"
#include "qev_url.h"

namespace {

class CertificateFieldsTest : public QevOsslTest {
protected:
    Certificate* decode(const std::string& file)
    {
        std::vector<unsigned char> der = read(file);
        OctetString s {der.size(), der.data()};
        void* cert = nullptr;
        EXPECT_EQ(type(SEC_TYPE_Certificate)->decode(&s, &cert), S_OK);
        return static_cast<Certificate*>(cert);
    }

    // A DER certificate made by `openssl req -x509` with the extra arguments.
    Certificate* make(const std::string& name, const std::string& args)
    {
        EXPECT_EQ(run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -keyout " + name
                      + ".key -outform DER -out " + name + ".der " + args),
                  0);
        return decode(name + ".der");
    }

    const SEC_DNAME_TYPE_TABLE* names() { return static_cast<const SEC_DNAME_TYPE_TABLE*>(type(SEC_TYPE_DName)); }

    std::string text(const DName* name)
    {
        char* t = nullptr;
        EXPECT_EQ(names()->to_text(name, &t), S_OK);
        std::string s = t != nullptr ? t : "";
        list->free(t);
        return s;
    }

    DName* parse(const char* t)
    {
        DName* name = nullptr;
        EXPECT_EQ(names()->from_text(t, &name), S_OK) << t;
        return name;
    }
};

TEST_F(CertificateFieldsTest, ViewsOfAnEndEntityCertificate)
{
    Certificate* cert = make("ee", "-subj '/C=DE/O=Example, Inc/CN=Alice' -set_serial 0x0102 "
                                   "-addext 'keyUsage=critical,digitalSignature,keyEncipherment' "
                                   "-addext 'extendedKeyUsage=clientAuth,emailProtection' "
                                   "-addext 'basicConstraints=CA:FALSE'");
    ASSERT_NE(cert, nullptr);
    uint8_t critical = 0;
    const KeyUsage* usage = cert->getExtKeyUsage(&critical);
    ASSERT_NE(usage, nullptr);
    EXPECT_EQ(critical, 1);
    const uint8_t expected[9] = {1, 0, 1, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(&usage->digitalSignature, expected, 9), 0);
    EXPECT_EQ(cert->getExtKeyUsage(nullptr), usage);  // the same view every time

    auto* objIds = static_cast<const SEC_OBJID_TYPE_TABLE*>(type(SEC_TYPE_ObjId));
    ObjId* clientAuth = nullptr;
    ObjId* emailProtection = nullptr;
    ASSERT_EQ(objIds->from_text("1.3.6.1.5.5.7.3.2", &clientAuth), S_OK);
    ASSERT_EQ(objIds->from_text("1.3.6.1.5.5.7.3.4", &emailProtection), S_OK);
    const SEQUENCE_OF_ObjId* eku = cert->getExtExtendedKeyUsage();
    ASSERT_NE(eku, nullptr);
    ASSERT_NE(eku->next, nullptr);
    EXPECT_EQ(objIds->compare(eku->element, clientAuth), 0);
    EXPECT_EQ(objIds->compare(eku->next->element, emailProtection), 0);
    EXPECT_EQ(eku->next->next, nullptr);
    objIds->free(clientAuth);
    objIds->free(emailProtection);

    ASSERT_NE(cert->getExtBasicConstraints(), nullptr);
    EXPECT_EQ(cert->getExtBasicConstraints()->cA, 0);
    EXPECT_EQ(text(cert->getSubject()), "CN=Alice, O=Example\\, Inc, C=DE");
    EXPECT_EQ(names()->compare(cert->getSubject(), cert->getIssuer()), 0);

    const OctetString* serial = cert->getSerialNumber();
    ASSERT_NE(serial, nullptr);
    ASSERT_EQ(serial->length, 2u);
    EXPECT_EQ(serial->data[0], 1);
    EXPECT_EQ(serial->data[1], 2);
    ASSERT_NE(cert->getNotBefore(), nullptr);
    ASSERT_NE(cert->getNotAfter(), nullptr);
    EXPECT_EQ(std::strlen(cert->getNotBefore()), 13u);  // UTCTime, as OpenSSL writes years before 2050
    EXPECT_LT(std::strcmp(cert->getNotBefore(), cert->getNotAfter()), 0);

    // A certificate read from its encoding takes no setter.
    EXPECT_EQ(cert->setNotAfter("491231235959Z"), E_ACCESSDENIED);
    cert->Release();
}

// A time's text names its type by its length: a GeneralizedTime (OpenSSL
// writes one after 2049) keeps its 15 characters; a GeneralizedTime holding
// the 13 digits of a UTCTime, which OpenSSL cannot read as a time, has no
// text rather than one that reads as a UTCTime of another instant.
TEST_F(CertificateFieldsTest, TimeTextsNameTheirType)
{
    Certificate* late = make("late", "-subj /CN=late -days 10000");
    ASSERT_NE(late, nullptr);
    ASSERT_NE(late->getNotAfter(), nullptr);
    EXPECT_EQ(std::strlen(late->getNotAfter()), 15u);
    EXPECT_EQ(std::strncmp(late->getNotAfter(), "20", 2), 0);
    EXPECT_EQ(std::strlen(late->getNotBefore()), 13u);
    late->Release();

    std::vector<unsigned char> der = read("late.der");
    const unsigned char utcTime[] = {0x17, 0x0d};
    auto at = std::search(der.begin(), der.end(), std::begin(utcTime), std::end(utcTime));
    ASSERT_NE(at, der.end());
    // Fixed digits, which no reading takes for a GeneralizedTime (month 31);
    // the certificate's own would be one at some times of day.
    *at = 0x18;
    const char digits[] = "491231235959Z";
    std::copy(digits, digits + 13, at + 2);
    OctetString bytes {der.size(), der.data()};
    void* decoded = nullptr;
    ASSERT_EQ(type(SEC_TYPE_Certificate)->decode(&bytes, &decoded), S_OK);
    auto* malformed = static_cast<Certificate*>(decoded);
    EXPECT_EQ(malformed->getNotBefore(), nullptr);
    ASSERT_NE(malformed->getNotAfter(), nullptr);
    EXPECT_EQ(std::strlen(malformed->getNotAfter()), 15u);
    malformed->Release();
}

TEST_F(CertificateFieldsTest, MissingExtensionsAreNull)
{
    ASSERT_EQ(run("(openssl req -new -newkey rsa:2048 -nodes -subj '/CN=v1' -keyout v1.key -out v1.csr && "
                  "openssl x509 -req -in v1.csr -signkey v1.key -days 5 -outform DER -out v1.der)"),
              0);
    Certificate* cert = decode("v1.der");
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(cert->getExtKeyUsage(nullptr), nullptr);
    EXPECT_EQ(cert->getExtExtendedKeyUsage(), nullptr);
    EXPECT_EQ(cert->getExtBasicConstraints(), nullptr);
    EXPECT_EQ(text(cert->getIssuer()), "CN=v1");
    cert->Release();
}

TEST_F(CertificateFieldsTest, NamesFromTextEncodeAsOpenSslDoes)
{
    Certificate* cert = make("n", "-subj '/C=DE/O=Ex, Inc/OU=Dev/CN=Bob'");
    ASSERT_NE(cert, nullptr);
    DName* name = parse("CN=Bob, OU=Dev, O=Ex\\, Inc, C=DE");
    ASSERT_NE(name, nullptr);
    const DName* subject = cert->getSubject();
    ASSERT_EQ(name->length, subject->length);
    EXPECT_EQ(std::memcmp(name->der, subject->der, name->length), 0);
    names()->free(name);
    cert->Release();
}

TEST_F(CertificateFieldsTest, TextFormRoundTripsAndCompareFoldsCase)
{
    const char* texts[] = {
        "CN=Bob + UID=b1, OU=Dev, C=DE",
        "CN=\\#hash\\, comma\\+plus\\;semi\\\"q\\\\b\\<\\>, O=x",
        "CN=\\ lead and trail\\ ",
        "CN=line\\0Abreak",
        "CN=Jürgen Größ",
        "2.5.4.3=dotted, 1.2.3.4=unknown",
    };
    for (const char* t : texts) {
        SCOPED_TRACE(t);
        DName* name = parse(t);
        ASSERT_NE(name, nullptr);
        std::string back = text(name);
        DName* again = parse(back.c_str());
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(names()->compare(name, again), 0);
        EXPECT_EQ(text(again), back);
        names()->free(again);
        names()->free(name);
    }
    const std::pair<const char*, const char*> canonical[] = {
        {"CN=Bob + UID=b1, OU=Dev, C=DE", "CN=Bob + UID=b1, OU=Dev, C=DE"},
        {"  cn = x  ,o=y", "CN=x, O=y"},
        {"CN=a\\,b\\2Cc", "CN=a\\,b\\,c"},
    };
    for (const auto& [in, out] : canonical) {
        DName* name = parse(in);
        EXPECT_EQ(text(name), out);
        names()->free(name);
    }

    DName* a = parse("CN=Alice  Smith, O=Example");
    DName* b = parse("cn=alice smith, o=EXAMPLE");
    DName* c = parse("CN=Alice Smith, O=Other");
    EXPECT_EQ(names()->compare(a, b), 0);
    EXPECT_NE(names()->compare(a, c), 0);
    DName* copy = nullptr;
    ASSERT_EQ(names()->copy(a, reinterpret_cast<void**>(&copy)), S_OK);
    EXPECT_EQ(names()->compare(a, copy), 0);
    for (DName* n : {a, b, c, copy})
        names()->free(n);

    const char* bad[] = {"CN", "=x", "CN=", "NOSUCHTYPE=1", "CN=a;b", "C=DEU", "CN=x,", "CN=#41", "CN=a\\q"};
    for (const char* t : bad) {
        DName* name = reinterpret_cast<DName*>(this);
        EXPECT_EQ(names()->from_text(t, &name), E_INVALIDARG) << t;
        EXPECT_EQ(name, nullptr);
    }
}

TEST_F(CertificateFieldsTest, CertificateUnderConstruction)
{
    Certificate* peer = make("k", "-subj '/CN=key holder'");
    ASSERT_NE(peer, nullptr);
    void* made = nullptr;
    ASSERT_EQ(type(SEC_TYPE_Certificate)->new_node(&made), S_OK);
    auto* cert = static_cast<Certificate*>(made);

    const DName* emptySubject = cert->getSubject();
    ASSERT_NE(emptySubject, nullptr);
    EXPECT_EQ(text(emptySubject), "");
    EXPECT_EQ(cert->getExtKeyUsage(nullptr), nullptr);

    DName* subject = parse("CN=Built, O=Kestrin");
    DName* issuer = parse("CN=Issuer");
    EXPECT_EQ(cert->setSubject(subject), S_OK);
    EXPECT_EQ(cert->setIssuer(issuer), S_OK);
    unsigned char serialBytes[] = {0x00, 0x80};
    OctetString serial {2, serialBytes};
    EXPECT_EQ(cert->setSerialNumber(&serial), S_OK);
    EXPECT_EQ(cert->setNotBefore("250101000000Z"), S_OK);
    EXPECT_EQ(cert->setNotAfter("20510101000000Z"), S_OK);
    EXPECT_EQ(cert->setNotAfter("not a time"), E_INVALIDARG);
    KeyUsage usage {};
    usage.keyCertSign = 1;
    usage.cRLSign = 1;
    EXPECT_EQ(cert->setExtKeyUsage(&usage, 1), S_OK);
    KeyInfo* key = nullptr;
    ASSERT_EQ(peer->getPublicKeyInfo(&key), S_OK);
    EXPECT_EQ(cert->setSubjectPublicKey(key), S_OK);

    // The view taken before the changes is still readable.
    EXPECT_EQ(emptySubject->length, 2u);
    EXPECT_EQ(text(cert->getSubject()), "CN=Built, O=Kestrin");
    EXPECT_EQ(text(cert->getIssuer()), "CN=Issuer");
    ASSERT_NE(cert->getSerialNumber(), nullptr);
    EXPECT_EQ(cert->getSerialNumber()->length, 2u);
    EXPECT_EQ(cert->getSerialNumber()->data[1], 0x80);
    EXPECT_STREQ(cert->getNotBefore(), "250101000000Z");
    EXPECT_STREQ(cert->getNotAfter(), "20510101000000Z");
    uint8_t critical = 0;
    const KeyUsage* read = cert->getExtKeyUsage(&critical);
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(critical, 1);
    EXPECT_EQ(read->keyCertSign, 1);
    EXPECT_EQ(read->cRLSign, 1);
    EXPECT_EQ(read->digitalSignature, 0);
    KeyInfo* back = nullptr;
    ASSERT_EQ(cert->getPublicKeyInfo(&back), S_OK);
    EXPECT_EQ(type(SEC_TYPE_KeyInfo)->compare(key, back), 0);

    // Without an encoding it equals only itself.
    EXPECT_EQ(cert->cmp(cert), 0);
    EXPECT_NE(cert->cmp(peer), 0);
    EXPECT_NE(peer->cmp(cert), 0);

    type(SEC_TYPE_KeyInfo)->free(key);
    type(SEC_TYPE_KeyInfo)->free(back);
    names()->free(subject);
    names()->free(issuer);
    cert->Release();
    peer->Release();
}

// A key the library does not hold signs the to-be-signed part; the
// certificate then carries that signature, and OpenSSL accepts it.
TEST_F(CertificateFieldsTest, CertificateSignedOutsideTheLibrary)
{
    Certificate* issuer = make("ca", "-subj '/CN=Outside CA'");
    ASSERT_NE(issuer, nullptr);
    void* made = nullptr;
    ASSERT_EQ(type(SEC_TYPE_Certificate)->new_node(&made), S_OK);
    auto* cert = static_cast<Certificate*>(made);
    DName* subject = parse("CN=Signed elsewhere");
    DName* issuerName = parse("CN=Outside CA");
    unsigned char serialBytes[] = {0x2a};
    OctetString serial {1, serialBytes};
    KeyInfo* key = nullptr;
    ASSERT_EQ(issuer->getPublicKeyInfo(&key), S_OK);
    ASSERT_EQ(cert->setSubject(subject), S_OK);
    ASSERT_EQ(cert->setIssuer(issuerName), S_OK);
    ASSERT_EQ(cert->setSerialNumber(&serial), S_OK);
    ASSERT_EQ(cert->setNotBefore("250101000000Z"), S_OK);
    ASSERT_EQ(cert->setNotAfter("20510101000000Z"), S_OK);
    ASSERT_EQ(cert->setSubjectPublicKey(key), S_OK);

    auto* objIds = static_cast<const SEC_OBJID_TYPE_TABLE*>(type(SEC_TYPE_ObjId));
    AlgId ecdsaSha256 {nullptr, nullptr};
    ASSERT_EQ(objIds->from_text("1.2.840.10045.4.3.2", &ecdsaSha256.objid), S_OK);
    OctetString* tbs = nullptr;
    EXPECT_EQ(cert->getToBeSignedDer(nullptr, &tbs), E_INVALIDARG);
    ASSERT_EQ(cert->getToBeSignedDer(&ecdsaSha256, &tbs), S_OK);
    write("tbs.der", tbs->data, tbs->length);
    ASSERT_EQ(run("openssl dgst -sha256 -sign ca.key -out tbs.sig tbs.der"), 0);
    std::vector<unsigned char> signature = read("tbs.sig");
    EXPECT_EQ(cert->setSignature(nullptr, 1), E_INVALIDARG);
    ASSERT_EQ(cert->setSignature(signature.data(), signature.size()), S_OK);

    OctetString* der = nullptr;
    ASSERT_EQ(type(SEC_TYPE_Certificate)->encode(cert, &der), S_OK);
    write("signed.der", der->data, der->length);
    ASSERT_EQ(run("openssl x509 -inform DER -in ca.der -out ca.pem && openssl x509 -inform DER -in signed.der "
                  "-out signed.pem && openssl verify -CAfile ca.pem signed.pem > /dev/null"),
              0);

    // A certificate read from its encoding is not changed.
    OctetString* none = nullptr;
    EXPECT_EQ(issuer->getToBeSignedDer(&ecdsaSha256, &none), E_ACCESSDENIED);
    EXPECT_EQ(issuer->setSignature(signature.data(), signature.size()), E_ACCESSDENIED);

    type(SEC_TYPE_OctetString)->free(tbs);
    type(SEC_TYPE_OctetString)->free(der);
    objIds->free(ecdsaSha256.objid);
    type(SEC_TYPE_KeyInfo)->free(key);
    names()->free(subject);
    names()->free(issuerName);
    cert->Release();
    issuer->Release();
}

// The algorithm number of a certificate's key as openssl makes each key kind.
TEST_F(CertificateFieldsTest, KeyAlgorithmNumbers)
{
    auto* objIds = static_cast<const SEC_OBJID_TYPE_TABLE*>(type(SEC_TYPE_ObjId));
    const struct {
        const char* name;
        const char* key;
        int number;
    } cases[] = {
        {"rsa", "rsa:2048", 0},
        {"dsa", "dsa:dsa.param", 3},
        {"ec", "ec -pkeyopt ec_paramgen_curve:P-256", 17},
        {"ed", "ed25519", -1},
    };
    ASSERT_EQ(run("openssl genpkey -genparam -algorithm DSA -pkeyopt dsa_paramgen_bits:1024 -out dsa.param"), 0);
    for (const auto& c : cases) {
        std::string name = std::string("alg-") + c.name;
        ASSERT_EQ(run(std::string("openssl req -x509 -newkey ") + c.key + " -nodes -days 1 -subj /CN=k -keyout " + name
                      + ".key -outform DER -out " + name + ".der"),
                  0)
            << c.name;
        Certificate* cert = decode(name + ".der");
        ASSERT_NE(cert, nullptr) << c.name;
        KeyInfo* key = nullptr;
        ASSERT_EQ(cert->getPublicKeyInfo(&key), S_OK) << c.name;
        EXPECT_EQ(objIds->key_algorithm(key->algorithm->objid), c.number) << c.name;
        type(SEC_TYPE_KeyInfo)->free(key);
        cert->Release();
    }
    ObjId* sha1 = nullptr;
    ASSERT_EQ(objIds->from_text("SHA-1", &sha1), S_OK);
    EXPECT_EQ(objIds->key_algorithm(sha1), -1);
    EXPECT_EQ(objIds->key_algorithm(nullptr), -1);
    ObjId empty {0, nullptr};
    EXPECT_EQ(objIds->key_algorithm(&empty), -1);
    objIds->free(sha1);
}

struct SplitCase {
    const char* url;
    const char* parts[6];  // scheme, user, password, host, port, path
};

TEST_F(CertificateFieldsTest, UrlSplit)
{
    auto* url = table<SEC_URL_TABLE>(SEC_URL_API);
    const SplitCase cases[] = {
        {"https://u:p@kvs.example.com:8443/KestrinServer/x?y#z",
         {"https", "u", "p", "kvs.example.com", "8443", "/KestrinServer/x?y#z"}},
        {"http://intranet/", {"http", "", "", "intranet", "", "/"}},
        {"http://[::1]:80/a", {"http", "", "", "[::1]", "80", "/a"}},
        {"kvs.example.com:443", {"", "", "", "kvs.example.com", "443", ""}},
        {"file:///etc/hosts", {"file", "", "", "", "", "/etc/hosts"}},
        {"", {"", "", "", "", "", ""}},
        {"/only/a/path://x", {"", "", "", "", "", "/only/a/path://x"}},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.url);
        char* parts[6] = {};
        ASSERT_EQ(url->split_url(c.url, &parts[0], &parts[1], &parts[2], &parts[3], &parts[4], &parts[5]), S_OK);
        for (int i = 0; i < 6; ++i) {
            EXPECT_STREQ(parts[i], c.parts[i]) << i;
            list->free(parts[i]);
        }
    }
    char* host = reinterpret_cast<char*>(this);
    EXPECT_EQ(url->split_url("http://h:1/", nullptr, nullptr, nullptr, &host, nullptr, nullptr), S_OK);
    EXPECT_STREQ(host, "h");
    list->free(host);
    EXPECT_EQ(url->split_url(nullptr, nullptr, nullptr, nullptr, &host, nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(host, nullptr);
}

}  // namespace
