// The DER forms of the values that travel between processes, checked by
// OpenSSL (its decoders and `openssl asn1parse`), the reference counts of the
// counted types, name matching and the certificate accessors.
#include <openssl/asn1.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ossl_fixture.h"
#include "qev_attributes.h"
#include "qev_records.h"

namespace kestrin::qevcrypto::test {
namespace {

using Bytes = std::vector<unsigned char>;

class DerTypesTest : public QevOsslTest {
protected:
    void TearDown() override
    {
        for (Certificate* c : certificates)
            c->Release();
        QevOsslTest::TearDown();
    }

    // A self-signed EC certificate made by `openssl req` with the extra
    // arguments; the fixture releases it.
    Certificate* make(const std::string& name, const std::string& subject, const std::string& args = "")
    {
        EXPECT_EQ(run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -keyout " + name
                      + ".key -outform DER -out " + name + ".der -subj '" + subject + "' " + args),
                  0);
        Bytes der = read(name + ".der");
        void* cert = decode(SEC_TYPE_Certificate, der);
        certificates.push_back(static_cast<Certificate*>(cert));
        return static_cast<Certificate*>(cert);
    }

    Bytes encode(unsigned int index, const void* value)
    {
        OctetString* der = nullptr;
        EXPECT_EQ(type(index)->encode(value, &der), S_OK) << index;
        Bytes bytes;
        if (der != nullptr)
            bytes.assign(der->data, der->data + der->length);
        type(SEC_TYPE_OctetString)->free(der);
        return bytes;
    }

    HRESULT refuseEncoding(unsigned int index, const void* value)
    {
        OctetString* der = reinterpret_cast<OctetString*>(this);
        HRESULT hr = type(index)->encode(value, &der);
        EXPECT_EQ(der, nullptr);
        return hr;
    }

    void* decode(unsigned int index, const Bytes& bytes, HRESULT expected = S_OK)
    {
        OctetString s {bytes.size(), const_cast<unsigned char*>(bytes.data())};
        void* out = this;
        EXPECT_EQ(type(index)->decode(&s, &out), expected) << index;
        if (FAILED(expected)) {
            EXPECT_EQ(out, nullptr);
        }
        return out;
    }

    // Encoding, decoding and encoding again gives the same value and bytes.
    Bytes roundTrip(unsigned int index, const void* value)
    {
        Bytes der = encode(index, value);
        void* back = decode(index, der);
        EXPECT_EQ(type(index)->compare(value, back), 0) << index;
        EXPECT_EQ(encode(index, back), der) << index;
        type(index)->free(back);
        return der;
    }

    // What `openssl asn1parse` makes of an encoding; empty when it refuses it.
    std::string asn1parse(const Bytes& der)
    {
        write("value.der", der.data(), der.size());
        std::string command = "openssl asn1parse -inform DER -in '" + path("value.der") + "' 2>/dev/null";
        FILE* pipe = popen(command.c_str(), "r");
        std::string text;
        char buffer[512];
        while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr)
            text += buffer;
        return pipe != nullptr && pclose(pipe) == 0 ? text : std::string();
    }

    char* text(const char* s)
    {
        void* copy = nullptr;
        EXPECT_EQ(type(SEC_TYPE_String)->copy(s, &copy), S_OK);
        return static_cast<char*>(copy);
    }

    DName* name(const char* t)
    {
        DName* n = nullptr;
        EXPECT_EQ(names()->from_text(t, &n), S_OK) << t;
        return n;
    }

    const SEC_DNAME_TYPE_TABLE* names() { return static_cast<const SEC_DNAME_TYPE_TABLE*>(type(SEC_TYPE_DName)); }

    template <class T>
    T* copyOf(unsigned int index, const T* value)
    {
        void* copy = nullptr;
        EXPECT_EQ(type(index)->copy(value, &copy), S_OK);
        return static_cast<T*>(copy);
    }

    // Appends a node at the end of a list through entry 7 and returns it.
    template <class Node>
    Node* append(unsigned int index, Node** head)
    {
        Node** tail = head;
        while (*tail != nullptr)
            tail = &(*tail)->next;
        EXPECT_EQ(type(index)->new_node(reinterpret_cast<void**>(tail)), S_OK);
        return *tail;
    }

    AlgId* algorithm(int nid, bool nullParameters)
    {
        X509_ALGOR* alg = X509_ALGOR_new();
        X509_ALGOR_set0(alg, OBJ_nid2obj(nid), nullParameters ? V_ASN1_NULL : V_ASN1_UNDEF, nullptr);
        unsigned char* der = nullptr;
        int length = i2d_X509_ALGOR(alg, &der);
        X509_ALGOR_free(alg);
        Bytes bytes(der, der + length);
        OPENSSL_free(der);
        return static_cast<AlgId*>(decode(SEC_TYPE_AlgId, bytes));
    }

    // A record with every member set: two certificates in its path.
    PersonalCertificateInfo* fullInfo()
    {
        Certificate* ee = make("ee", "/O=Example/CN=Alice");
        Certificate* ca1 = make("ca1", "/O=Example/CN=Issuing CA");
        Certificate* ca2 = make("ca2", "/O=Example/CN=Root CA");
        void* value = nullptr;
        EXPECT_EQ(type(SEC_TYPE_PersonalCertificateInfo)->new_node(&value), S_OK);
        auto* info = static_cast<PersonalCertificateInfo*>(value);
        info->tokenName = text("tokkeychain:cert=00ff");
        info->keyId = text("key-1");
        info->exactMatch = text("exact");
        info->substring = text("part");
        info->serialNumber = text("1234");
        info->label = text("Grüße");
        ee->cpy(&info->certificate);
        auto* ias = static_cast<IssuerAndSerial*>(list->calloc(1, sizeof(IssuerAndSerial)));
        ias->issuer = copyOf(SEC_TYPE_DName, ee->getIssuer());
        ias->serial = copyOf(SEC_TYPE_OctetString, ee->getSerialNumber());
        info->issuerAndSerial = ias;
        ca1->cpy(&append(SEC_TYPE_SEQUENCE_OF_Certificate, &info->path)->element);
        ca2->cpy(&append(SEC_TYPE_SEQUENCE_OF_Certificate, &info->path)->element);
        ca2->cpy(&info->pathEnd);
        append(SEC_TYPE_SEQUENCE_OF_AlgId, &info->sigAlgs)->element = algorithm(NID_ecdsa_with_SHA256, false);
        append(SEC_TYPE_SEQUENCE_OF_AlgId, &info->sigAlgs)->element = algorithm(NID_sha256WithRSAEncryption, true);
        return info;
    }

    std::vector<Certificate*> certificates;
};

TEST_F(DerTypesTest, CertificateAccessors)
{
    Certificate* ca = make("ca", "/CN=CA", "-addext 'basicConstraints=critical,CA:TRUE'");
    Certificate* signer =
        make("signer", "/CN=Signer", "-addext 'basicConstraints=CA:FALSE' -addext 'keyUsage=keyCertSign'");
    Certificate* leaf = make("leaf", "/CN=Leaf",
                             "-addext 'subjectKeyIdentifier=none' -addext 'basicConstraints=CA:FALSE' "
                             "-addext 'keyUsage=digitalSignature'");
    EXPECT_EQ(ca->isAuthority(), 1);
    EXPECT_EQ(signer->isAuthority(), 1);
    EXPECT_EQ(leaf->isAuthority(), 0);
    EXPECT_EQ(leaf->getSubjectKeyIdentifier(), nullptr);
    EXPECT_EQ(ca->getDecidingNumber(), 2);

    Bytes der = read("ca.der");
    const unsigned char* p = der.data();
    X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    ASSERT_NE(x509, nullptr);
    const ASN1_OCTET_STRING* ski = X509_get0_subject_key_id(x509);
    const OctetString* ours = ca->getSubjectKeyIdentifier();
    ASSERT_NE(ski, nullptr);
    ASSERT_NE(ours, nullptr);
    EXPECT_EQ(Bytes(ours->data, ours->data + ours->length),
              Bytes(ASN1_STRING_get0_data(ski), ASN1_STRING_get0_data(ski) + ASN1_STRING_length(ski)));
    EXPECT_EQ(ca->getSubjectKeyIdentifier(), ours);  // a view, the same each time
    X509_free(x509);
}

TEST_F(DerTypesTest, SimpleValuesAsOpenSslReadsThem)
{
    Certificate* cert = make("alice", "/C=DE/O=Example/CN=Alice", "-set_serial 0x00ff01");
    Bytes certDer = read("alice.der");
    const unsigned char* cp = certDer.data();
    X509* x509 = d2i_X509(nullptr, &cp, static_cast<long>(certDer.size()));
    ASSERT_NE(x509, nullptr);

    // AlgorithmIdentifier with and without parameters.
    for (bool nullParameters : {true, false}) {
        AlgId* alg = algorithm(nullParameters ? NID_sha256WithRSAEncryption : NID_ecdsa_with_SHA256, nullParameters);
        ASSERT_NE(alg, nullptr);
        EXPECT_EQ(alg->param != nullptr, nullParameters);
        Bytes der = roundTrip(SEC_TYPE_AlgId, alg);
        const unsigned char* p = der.data();
        X509_ALGOR* parsed = d2i_X509_ALGOR(nullptr, &p, static_cast<long>(der.size()));
        ASSERT_NE(parsed, nullptr);
        EXPECT_EQ(OBJ_obj2nid(parsed->algorithm), nullParameters ? NID_sha256WithRSAEncryption : NID_ecdsa_with_SHA256);
        X509_ALGOR_free(parsed);
        type(SEC_TYPE_AlgId)->free(alg);
    }

    // SubjectPublicKeyInfo: the bytes OpenSSL writes for the certificate's key.
    KeyInfo* key = nullptr;
    ASSERT_EQ(cert->getPublicKeyInfo(&key), S_OK);
    Bytes spki = roundTrip(SEC_TYPE_KeyInfo, key);
    unsigned char* expected = nullptr;
    int expectedLength = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(x509), &expected);
    EXPECT_EQ(spki, Bytes(expected, expected + expectedLength));
    OPENSSL_free(expected);
    const unsigned char* sp = spki.data();
    EVP_PKEY* pkey = d2i_PUBKEY(nullptr, &sp, static_cast<long>(spki.size()));
    EXPECT_NE(pkey, nullptr);
    EVP_PKEY_free(pkey);
    type(SEC_TYPE_KeyInfo)->free(key);

    // Name.
    Bytes nameDer = roundTrip(SEC_TYPE_DName, cert->getSubject());
    const unsigned char* np = nameDer.data();
    X509_NAME* parsedName = d2i_X509_NAME(nullptr, &np, static_cast<long>(nameDer.size()));
    ASSERT_NE(parsedName, nullptr);
    EXPECT_EQ(X509_NAME_cmp(parsedName, X509_get_subject_name(x509)), 0);
    X509_NAME_free(parsedName);

    // IssuerAndSerialNumber, as PKCS#7 reads it.
    IssuerAndSerial ias {const_cast<DName*>(cert->getIssuer()), const_cast<OctetString*>(cert->getSerialNumber())};
    Bytes iasDer = roundTrip(SEC_TYPE_IssuerAndSerial, &ias);
    const unsigned char* ip = iasDer.data();
    PKCS7_ISSUER_AND_SERIAL* parsedIas = d2i_PKCS7_ISSUER_AND_SERIAL(nullptr, &ip, static_cast<long>(iasDer.size()));
    ASSERT_NE(parsedIas, nullptr);
    EXPECT_EQ(X509_NAME_cmp(parsedIas->issuer, X509_get_issuer_name(x509)), 0);
    EXPECT_EQ(ASN1_INTEGER_cmp(parsedIas->serial, X509_get0_serialNumber(x509)), 0);
    PKCS7_ISSUER_AND_SERIAL_free(parsedIas);
    X509_free(x509);

    // INTEGER 0 to 2^32-1 in its shortest form.
    const struct {
        uint32_t value;
        Bytes der;
    } integers[] = {
        {0, {0x02, 0x01, 0x00}},
        {127, {0x02, 0x01, 0x7F}},
        {128, {0x02, 0x02, 0x00, 0x80}},
        {0xFFFFFFFF, {0x02, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const auto& c : integers) {
        EXPECT_EQ(roundTrip(SEC_TYPE_int, &c.value), c.der) << c.value;
        const unsigned char* p = c.der.data();
        ASN1_INTEGER* parsed = d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(c.der.size()));
        uint64_t v = 0;
        ASSERT_NE(parsed, nullptr);
        EXPECT_EQ(ASN1_INTEGER_get_uint64(&v, parsed), 1);
        EXPECT_EQ(v, c.value);
        ASN1_INTEGER_free(parsed);
    }

    // UTF8String without NUL, OCTET STRING also when empty.
    const char* grusse = "Grüße";
    Bytes utf8 = roundTrip(SEC_TYPE_String, grusse);
    EXPECT_EQ(utf8.size(), 2 + std::strlen(grusse));
    EXPECT_EQ(utf8[0], 0x0C);
    EXPECT_NE(asn1parse(utf8).find("UTF8STRING"), std::string::npos);
    unsigned char bytes[] = {0x00, 0x01, 0xFF};
    OctetString filled {sizeof bytes, bytes};
    OctetString empty {0, nullptr};
    EXPECT_EQ(roundTrip(SEC_TYPE_OctetString, &filled), (Bytes {0x04, 0x03, 0x00, 0x01, 0xFF}));
    EXPECT_EQ(roundTrip(SEC_TYPE_OctetString, &empty), (Bytes {0x04, 0x00}));
}

TEST_F(DerTypesTest, PersonalCertificateInfoFullAndEmpty)
{
    PersonalCertificateInfo* info = fullInfo();
    Bytes der = roundTrip(SEC_TYPE_PersonalCertificateInfo, info);
    std::string parsed = asn1parse(der);
    for (const char* part : {"cont [ 0 ]", "cont [ 5 ]", "cont [ 6 ]", "cont [ 7 ]", "cont [ 8 ]", "cont [ 9 ]",
                             "cont [ 10 ]", ":tokkeychain:cert=00ff", ":key-1", "ecdsa-with-SHA256"})
        EXPECT_NE(parsed.find(part), std::string::npos) << part;

    auto* back = static_cast<PersonalCertificateInfo*>(decode(SEC_TYPE_PersonalCertificateInfo, der));
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->label, "Grüße");
    ASSERT_NE(back->path, nullptr);
    ASSERT_NE(back->path->next, nullptr);
    EXPECT_EQ(names()->compare(back->path->element->getSubject(), info->path->element->getSubject()), 0);
    EXPECT_EQ(names()->compare(back->path->next->element->getSubject(), back->pathEnd->getSubject()), 0);
    EXPECT_EQ(back->path->next->next, nullptr);
    type(SEC_TYPE_PersonalCertificateInfo)->free(back);

    // A copy is a new record equal to the old one.
    auto* copy = copyOf(SEC_TYPE_PersonalCertificateInfo, info);
    EXPECT_NE(copy, info);
    EXPECT_EQ(type(SEC_TYPE_PersonalCertificateInfo)->compare(copy, info), 0);
    type(SEC_TYPE_PersonalCertificateInfo)->free(copy);
    type(SEC_TYPE_PersonalCertificateInfo)->free(info);

    void* empty = nullptr;
    ASSERT_EQ(type(SEC_TYPE_PersonalCertificateInfo)->new_node(&empty), S_OK);
    EXPECT_EQ(roundTrip(SEC_TYPE_PersonalCertificateInfo, empty), (Bytes {0x30, 0x00}));
    type(SEC_TYPE_PersonalCertificateInfo)->free(empty);
}

// A certificate list travels as a DER SET OF: sorted encodings, whatever the
// list's order, and an out-of-order set is no DER.
TEST_F(DerTypesTest, CertificateSetIsDerSorted)
{
    Certificate* b = make("b", "/CN=B");
    Certificate* a = make("a", "/CN=A");
    Bytes first;
    for (Certificate* head : {a, b}) {
        SET_OF_Certificate* certs = nullptr;
        (head == a ? b : a)->cpy(&append(SEC_TYPE_SET_OF_Certificate, &certs)->element);
        head->cpy(&append(SEC_TYPE_SET_OF_Certificate, &certs)->element);
        Bytes der = encode(SEC_TYPE_SET_OF_Certificate, certs);
        ASSERT_FALSE(der.empty());
        EXPECT_EQ(der[0], 0x31);
        EXPECT_NE(asn1parse(der).find("SET"), std::string::npos);
        if (first.empty())
            first = der;
        EXPECT_EQ(der, first);
        void* back = decode(SEC_TYPE_SET_OF_Certificate, der);
        EXPECT_EQ(encode(SEC_TYPE_SET_OF_Certificate, back), der);
        type(SEC_TYPE_SET_OF_Certificate)->free(back);
        type(SEC_TYPE_SET_OF_Certificate)->free(certs);
    }

    // Both certificates' encodings in the wrong order.
    Bytes ad = read("a.der"), bd = read("b.der");
    const bool aFirst = std::lexicographical_compare(ad.begin(), ad.end(), bd.begin(), bd.end());
    Bytes body = aFirst ? bd : ad;
    const Bytes& second = aFirst ? ad : bd;
    body.insert(body.end(), second.begin(), second.end());
    Bytes unsorted = {0x31, 0x82, static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size())};
    unsorted.insert(unsorted.end(), body.begin(), body.end());
    decode(SEC_TYPE_SET_OF_Certificate, unsorted, E_INVALIDARG);
}

TEST_F(DerTypesTest, ListsKeepTheirOrder)
{
    SET_OF_String* strings = nullptr;
    for (const char* s : {"charlie", "alpha", "bravo"})
        append(SEC_TYPE_SET_OF_String, &strings)->element = text(s);
    Bytes der = roundTrip(SEC_TYPE_SET_OF_String, strings);
    std::string parsed = asn1parse(der);
    EXPECT_LT(parsed.find(":charlie"), parsed.find(":alpha"));
    EXPECT_LT(parsed.find(":alpha"), parsed.find(":bravo"));
    EXPECT_EQ(der[0], 0x30);  // SEQUENCE OF: a SET OF would be sorted
    type(SEC_TYPE_SET_OF_String)->free(strings);

    SET_OF_DName* dnames = nullptr;
    for (const char* n : {"CN=Zed", "CN=Amy, O=Example"})
        append(SEC_TYPE_SET_OF_DName, &dnames)->element = name(n);
    roundTrip(SEC_TYPE_SET_OF_DName, dnames);
    type(SEC_TYPE_SET_OF_DName)->free(dnames);

    SET_OF_SecSlotInfo* slots = nullptr;
    auto* slot = static_cast<SecSlotInfo*>(list->calloc(1, sizeof(SecSlotInfo)));
    slot->slotName = text("secpcsc:Reader 0");
    slot->flags = 0x80000001u;
    append(SEC_TYPE_SET_OF_SecSlotInfo, &slots)->element = slot;
    slot = static_cast<SecSlotInfo*>(list->calloc(1, sizeof(SecSlotInfo)));
    slot->tokenName = text("token");
    append(SEC_TYPE_SET_OF_SecSlotInfo, &slots)->element = slot;
    roundTrip(SEC_TYPE_SET_OF_SecSlotInfo, slots);
    type(SEC_TYPE_SET_OF_SecSlotInfo)->free(slots);

    SET_OF_PIN_Info* pins = nullptr;
    auto* pin = static_cast<PIN_Info*>(list->calloc(1, sizeof(PIN_Info)));
    pin->item[0] = text("file");
    pin->item[4] = text("secret");
    append(SEC_TYPE_SET_OF_PIN_Info, &pins)->element = pin;
    Bytes pinDer = roundTrip(SEC_TYPE_SET_OF_PIN_Info, pins);
    EXPECT_NE(asn1parse(pinDer).find("cont [ 4 ]"), std::string::npos);
    type(SEC_TYPE_SET_OF_PIN_Info)->free(pins);

    // The holder's flag of a certificate-info node does not travel.
    SET_OF_PersonalCertificateInfo* infos = nullptr;
    append(SEC_TYPE_SET_OF_PersonalCertificateInfo, &infos)->element = fullInfo();
    void* second = nullptr;
    ASSERT_EQ(type(SEC_TYPE_PersonalCertificateInfo)->new_node(&second), S_OK);
    static_cast<PersonalCertificateInfo*>(second)->keyId = text("second");
    append(SEC_TYPE_SET_OF_PersonalCertificateInfo, &infos)->element = static_cast<PersonalCertificateInfo*>(second);
    infos->flag = 1;
    auto* back = static_cast<SET_OF_PersonalCertificateInfo*>(
        decode(SEC_TYPE_SET_OF_PersonalCertificateInfo, encode(SEC_TYPE_SET_OF_PersonalCertificateInfo, infos)));
    EXPECT_EQ(type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->compare(back, infos), 0);
    EXPECT_EQ(back->flag, 0);
    EXPECT_STREQ(back->next->element->keyId, "second");
    type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(back);
    type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(infos);

    // An empty list is NULL: no bytes, and no bytes decode to it.
    EXPECT_TRUE(encode(SEC_TYPE_SET_OF_String, nullptr).empty());
    EXPECT_EQ(decode(SEC_TYPE_SET_OF_String, {}), nullptr);
}

TEST_F(DerTypesTest, AttributeChainTravelsWithItsValues)
{
    Certificate* cert = make("alice", "/CN=Alice");
    uint32_t connection = 7;
    PersonalCertificateInfo* info = fullInfo();
    AlgId* alg = algorithm(NID_sha256WithRSAEncryption, true);
    OctetString keyId {2, reinterpret_cast<unsigned char*>(const_cast<char*>("\x01\x02"))};
    const char* other = "typed by its record";
    SECAttribute chain[8] = {};
    chain[0] = {SEC_ATTR_TOKEN_URI, const_cast<char*>("toksw:mem://kestrin/p"), 0, 1, 0, nullptr, nullptr};
    chain[1] = {SEC_ATTR_CONNECTION, &connection, 0, 0, 0, nullptr, nullptr};
    chain[2] = {SEC_ATTR_SUBJECT_NAME, const_cast<DName*>(cert->getSubject()), 0, 0, 0, nullptr, nullptr};
    chain[3] = {SEC_ATTR_SIGNATURE_ALGORITHM, alg, 0, 0, 0, nullptr, nullptr};
    chain[4] = {SEC_ATTR_SUBJECT_KEY_ID, &keyId, 0, 0, 0, nullptr, nullptr};
    chain[5] = {SEC_ATTR_CREDENTIAL, info, 0, 0, 0, nullptr, nullptr};
    chain[6] = {SEC_ATTR_REAUTHENTICATE, nullptr, 0, 0, 0, nullptr, nullptr};
    chain[7] = {4711, const_cast<char*>(other), 0, 0, 0, type(SEC_TYPE_String), nullptr};
    for (int i = 0; i < 7; ++i)
        chain[i].next = &chain[i + 1];

    Bytes der = encode(SEC_TYPE_SECAttribute, chain);
    EXPECT_FALSE(asn1parse(der).empty());
    auto* back = static_cast<SECAttribute*>(decode(SEC_TYPE_SECAttribute, der));
    const unsigned int types[] = {SEC_TYPE_String,
                                  SEC_TYPE_int,
                                  SEC_TYPE_DName,
                                  SEC_TYPE_AlgId,
                                  SEC_TYPE_OctetString,
                                  SEC_TYPE_PersonalCertificateInfo,
                                  0,
                                  SEC_TYPE_String};
    SECAttribute* a = back;
    for (int i = 0; i < 8; ++i, a = a->next) {
        ASSERT_NE(a, nullptr) << i;
        EXPECT_EQ(a->id, chain[i].id) << i;
        EXPECT_EQ(a->answered, chain[i].answered) << i;
        if (types[i] == 0) {
            EXPECT_EQ(a->value, nullptr);
            EXPECT_EQ(a->owned, 0);
            continue;
        }
        EXPECT_EQ(a->type, type(types[i])) << i;
        EXPECT_EQ(a->owned, 1) << i;
        EXPECT_EQ(type(types[i])->compare(a->value, chain[i].value), 0) << i;
    }
    EXPECT_EQ(a, nullptr);
    type(SEC_TYPE_SECAttribute)->free(back);
    type(SEC_TYPE_PersonalCertificateInfo)->free(info);
    type(SEC_TYPE_AlgId)->free(alg);
}

TEST_F(DerTypesTest, AttributeValuesWithoutAnEncodingAreRefused)
{
    int pse = 0;
    uint32_t number = 1;
    KeyPair pair {};
    SECAttribute inner {SEC_ATTR_TOKEN_URI, nullptr, 0, 0, 0, nullptr, nullptr};
    const struct {
        const char* what;
        SECAttribute record;
    } cases[] = {
        {"a PSE handed over in-process", {SEC_ATTR_SERVICE_PSE, &pse, 0, 0, 0, nullptr, nullptr}},
        {"an in-process id, typed", {SEC_ATTR_SERVICE_PSE, &number, 0, 0, 0, type(SEC_TYPE_int), nullptr}},
        {"a value of unknown type", {4711, &number, 0, 0, 0, nullptr, nullptr}},
        {"a type without DER form", {SEC_ATTR_KEY_ID, &pair, 0, 0, 0, type(SEC_TYPE_KeyPair), nullptr}},
        {"a chain in a chain", {SEC_ATTR_KEY_ID, &inner, 0, 0, 0, type(SEC_TYPE_SECAttribute), nullptr}},
    };
    for (const auto& c : cases) {
        SECAttribute head {
            SEC_ATTR_TOKEN_URI, const_cast<char*>("uri"), 0, 0, 0, nullptr, const_cast<SECAttribute*>(&c.record)};
        EXPECT_EQ(refuseEncoding(SEC_TYPE_SECAttribute, &head), E_INVALIDARG) << c.what;
    }
    // The in-process id without a value carries no pointer and travels.
    SECAttribute empty {SEC_ATTR_SERVICE_PSE, nullptr, 0, 0, 0, nullptr, nullptr};
    EXPECT_FALSE(encode(SEC_TYPE_SECAttribute, &empty).empty());

    // Decoding takes only the types that have a DER form.
    auto record = [](uint8_t id, uint8_t typeIndex, Bytes value) {
        Bytes r = {0x02, 0x01, id, 0x01, 0x01, 0x00, 0x02, 0x01, typeIndex};
        if (!value.empty()) {
            r.push_back(0x04);
            r.push_back(static_cast<uint8_t>(value.size()));
            r.insert(r.end(), value.begin(), value.end());
        }
        r.insert(r.begin(), {0x30, static_cast<uint8_t>(r.size())});
        r.insert(r.begin(), {0x30, static_cast<uint8_t>(r.size())});
        return r;
    };
    const Bytes utf8 = {0x0C, 0x01, 'x'};
    type(SEC_TYPE_SECAttribute)->free(decode(SEC_TYPE_SECAttribute, record(58, SEC_TYPE_String, utf8)));
    decode(SEC_TYPE_SECAttribute, record(58, SEC_TYPE_KeyPair, utf8), E_INVALIDARG);
    decode(SEC_TYPE_SECAttribute, record(58, SEC_TYPE_SECAttribute, {0x30, 0x00}), E_INVALIDARG);
    decode(SEC_TYPE_SECAttribute, record(58, 0, utf8), E_INVALIDARG);
    decode(SEC_TYPE_SECAttribute, record(58, SEC_TYPE_String, {}), E_INVALIDARG);
}

TEST_F(DerTypesTest, CountedValuesFreeAtTheirLastReference)
{
    const unsigned int counted[] = {SEC_TYPE_SET_OF_String, SEC_TYPE_SET_OF_DName, SEC_TYPE_SET_OF_Certificate,
                                    SEC_TYPE_PersonalCertificateInfo};
    Certificate* cert = make("c", "/CN=C");
    for (unsigned int index : counted) {
        void* value = nullptr;
        ASSERT_EQ(type(index)->new_node(&value), S_OK);
        if (index == SEC_TYPE_SET_OF_String)
            static_cast<SET_OF_String*>(value)->element = text("x");
        if (index == SEC_TYPE_SET_OF_DName)
            static_cast<SET_OF_DName*>(value)->element = name("CN=X");
        if (index == SEC_TYPE_SET_OF_Certificate)
            cert->cpy(&static_cast<SET_OF_Certificate*>(value)->element);
        if (index == SEC_TYPE_PersonalCertificateInfo)
            cert->cpy(&static_cast<PersonalCertificateInfo*>(value)->certificate);
        ASSERT_EQ(type(index)->add_ref(value), S_OK) << index;
        EXPECT_EQ(type(index)->free(value), S_OK);
        EXPECT_EQ(type(index)->compare(value, value), 0);  // still alive
        EXPECT_EQ(type(index)->free(value), S_OK);
    }
    // The certificate went back to its one reference.
    EXPECT_EQ(cert->AddRef(), 2);
    cert->Release();

    // Entry 7 puts the new node in front of the cursor; a tail that another
    // holder references outlives the list's head.
    SET_OF_String* strings = nullptr;
    append(SEC_TYPE_SET_OF_String, &strings)->element = text("tail");
    SET_OF_String* tail = strings;
    ASSERT_EQ(type(SEC_TYPE_SET_OF_String)->new_node(reinterpret_cast<void**>(&strings)), S_OK);
    strings->element = text("head");
    EXPECT_EQ(strings->next, tail);
    type(SEC_TYPE_SET_OF_String)->add_ref(tail);
    type(SEC_TYPE_SET_OF_String)->free(strings);
    EXPECT_STREQ(tail->element, "tail");
    type(SEC_TYPE_SET_OF_String)->free(tail);
}

TEST_F(DerTypesTest, NameMatchIgnoresOrderAndCase)
{
    DName* subject = name("CN=Alice Smith, OU=Dev, O=Example Inc, C=DE");
    const struct {
        const char* pattern;
        int match;
    } cases[] = {
        {"O=Example Inc, CN=Alice Smith", 1},  // reordered, a subset
        {"CN=ALICE  smith", 1},                // case and inner blanks folded
        {"C=DE, OU=Dev, O=Example Inc, CN=Alice Smith", 1},
        {"CN=Bob", 0},
        {"CN=Alice Smith, O=Other", 0},
        {"CN=Alice Smith + OU=Dev", 0},  // a two-valued relative name the subject lacks
    };
    for (const auto& c : cases) {
        DName* pattern = name(c.pattern);
        EXPECT_EQ(names()->match(pattern, subject) > 0 ? 1 : 0, c.match) << c.pattern;
        names()->free(pattern);
    }
    DName broken {3, reinterpret_cast<unsigned char*>(const_cast<char*>("\x30\x05\x31"))};
    EXPECT_EQ(names()->match(&broken, subject), 0);
    names()->free(subject);
}

// Names are decoded once and kept; answers must stay those of OpenSSL's
// X509_NAME_cmp on freshly decoded names, also once more names went by than
// are kept.
TEST_F(DerTypesTest, NameCompareAgreesWithOpenSslAcrossManyNames)
{
    auto decoded = [](const DName* n) {
        const unsigned char* p = n->der;
        return d2i_X509_NAME(nullptr, &p, static_cast<long>(n->length));
    };
    DName* first = name("CN=Kim 0, O=Example");
    for (int i = 0; i < 5000; ++i) {
        const std::string text = "CN=Kim " + std::to_string(i) + ", O=Example";
        const std::string shouted = "CN=KIM  " + std::to_string(i) + ", O=EXAMPLE";
        DName* a = name(text.c_str());
        DName* b = name(shouted.c_str());
        ASSERT_TRUE(a != nullptr && b != nullptr);
        EXPECT_EQ(names()->compare(a, b), 0) << text;  // other bytes, one canonical form
        X509_NAME* x = decoded(first);
        X509_NAME* y = decoded(a);
        const int c = X509_NAME_cmp(x, y);
        EXPECT_EQ(names()->compare(first, a), c < 0 ? -1 : c > 0 ? 1 : 0) << text;
        EXPECT_EQ(names()->compare(a, first), c < 0 ? 1 : c > 0 ? -1 : 0) << text;
        X509_NAME_free(x);
        X509_NAME_free(y);
        names()->free(a);
        names()->free(b);
    }
    names()->free(first);
}

TEST_F(DerTypesTest, MalformedEncodingsAreRefused)
{
    Certificate* cert = make("alice", "/CN=Alice");
    Bytes certDer = read("alice.der");
    auto nested = [](int depth) {
        Bytes b = {0x05, 0x00};
        for (int i = 0; i < depth; ++i)
            b.insert(b.begin(), {0x30, static_cast<uint8_t>(b.size())});
        return b;
    };
    // An algorithm identifier whose parameters nest `depth` levels.
    auto algWith = [&](int depth) {
        Bytes body = {0x06, 0x03, 0x2B, 0x65, 0x70};
        Bytes param = nested(depth);
        body.insert(body.end(), param.begin(), param.end());
        body.insert(body.begin(), {0x30, static_cast<uint8_t>(body.size())});
        return body;
    };
    Bytes manyStrings = {0x30, 0x82, 0x20, 0x02};
    for (int i = 0; i < 4097; ++i)
        manyStrings.insert(manyStrings.end(), {0x0C, 0x00});
    Bytes truncatedCert(certDer.begin(), certDer.end() - 1);
    Bytes trailingCert = certDer;
    trailingCert.push_back(0x00);
    Bytes certList = {0x31, 0x82, static_cast<uint8_t>(certDer.size() >> 8), static_cast<uint8_t>(certDer.size())};
    certList.insert(certList.end(), certDer.begin(), certDer.end());

    const struct {
        const char* what;
        unsigned int index;
        Bytes der;
    } cases[] = {
        {"a truncated certificate", SEC_TYPE_Certificate, truncatedCert},
        {"a certificate with a trailing byte", SEC_TYPE_Certificate, trailingCert},
        {"a list one byte short", SEC_TYPE_SET_OF_Certificate, Bytes(certList.begin(), certList.end() - 1)},
        {"a length beyond the input", SEC_TYPE_String, {0x0C, 0x05, 'a'}},
        {"a length longer than needed", SEC_TYPE_String, {0x0C, 0x81, 0x01, 'a'}},
        {"a text with a NUL", SEC_TYPE_String, {0x0C, 0x03, 'a', 0x00, 'b'}},
        {"a text that is not UTF-8", SEC_TYPE_String, {0x0C, 0x02, 0xC0, 0x80}},
        {"a list text with a NUL", SEC_TYPE_SET_OF_String, {0x30, 0x03, 0x0C, 0x01, 0x00}},
        {"a list of 4097 texts", SEC_TYPE_SET_OF_String, manyStrings},
        {"a negative integer", SEC_TYPE_int, {0x02, 0x01, 0x80}},
        {"an integer above 2^32-1", SEC_TYPE_int, {0x02, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00}},
        {"an integer with a padding byte", SEC_TYPE_int, {0x02, 0x02, 0x00, 0x01}},
        {"parameters nested 9 deep", SEC_TYPE_AlgId, algWith(8)},
        {"a serial with a padding byte", SEC_TYPE_IssuerAndSerial, {0x30, 0x06, 0x30, 0x00, 0x02, 0x02, 0x00, 0x01}},
        {"members out of order",
         SEC_TYPE_PersonalCertificateInfo,
         {0x30, 0x0A, 0xA1, 0x03, 0x0C, 0x01, 'k', 0xA0, 0x03, 0x0C, 0x01, 't'}},
        {"an unknown member", SEC_TYPE_PersonalCertificateInfo, {0x30, 0x05, 0xAB, 0x03, 0x0C, 0x01, 'x'}},
        {"a name that is not one", SEC_TYPE_DName, {0x30, 0x03, 0x02, 0x01, 0x00}},
        {"a bit string without its count",
         SEC_TYPE_KeyInfo,
         {0x30, 0x09, 0x30, 0x05, 0x06, 0x03, 0x2B, 0x65, 0x70, 0x03, 0x00}},
        {"a key record whose parameters run past their algorithm",
         SEC_TYPE_PrivateKeyInfo,
         {0x30, 0x12, 0x02, 0x01, 0x00, 0x30, 0x09, 0x06, 0x03, 0x2B,
          0x65, 0x70, 0x41, 0x0C, 0x05, 0x6C, 0x04, 0x02, 0x01, 0x02}},
        {"a key record whose algorithm is no identifier",
         SEC_TYPE_PrivateKeyInfo,
         {0x30, 0x0D, 0x02, 0x01, 0x00, 0x30, 0x04, 0x06, 0x02, 0x80, 0x80, 0x04, 0x02, 0x01, 0x02}},
    };
    for (const auto& c : cases)
        decode(c.index, c.der, E_INVALIDARG);
    // Nesting up to the limit is read.
    type(SEC_TYPE_AlgId)->free(decode(SEC_TYPE_AlgId, algWith(7)));
    EXPECT_NE(cert, nullptr);
}

}  // namespace
}  // namespace kestrin::qevcrypto::test
