// PKCS#12 files through "SEC_PKCS12_1", checked against the OpenSSL tool.
#include "ossl_fixture.h"
#include "qev_encode_bmp.h"
#include "qev_pkcs12.h"

namespace {

class Pkcs12 : public QevOsslTest {
protected:
    void SetUp() override
    {
        QevOsslTest::SetUp();
        p12 = table<SEC_PKCS12_TABLE>("SEC_PKCS12_1");
        ASSERT_NE(p12, nullptr);
        types = p12->types();
        ASSERT_NE(types, nullptr);
        toBmp = SEC_Encode_Latin1ToBmp(table<API_COMMON>("SEC_ENCODE_1"));
        ASSERT_NE(toBmp, nullptr);
    }

    void freeBags(SET_OF_P12_Bag* bags) { SEC_TypeTable(types, SEC_TYPE_SET_OF_P12_Bag)->free(bags); }

    struct Parsed {
        HRESULT hr;
        int verified;
        SET_OF_P12_Bag* bags;
    };

    Parsed parse(const std::string& file, const char* password)
    {
        OctetString* pfx = octets(read(file));
        Parsed p {E_FAIL, -1, reinterpret_cast<SET_OF_P12_Bag*>(pfx)};
        p.hr = p12->parse(pfx, password, &p.bags, &p.verified);
        freeOctets(pfx);
        return p;
    }

    std::vector<unsigned char> bmp(const char* text)
    {
        OctetString* s = nullptr;
        EXPECT_EQ(toBmp(text, &s), S_OK);
        std::vector<unsigned char> v(s->data, s->data + s->length);
        freeOctets(s);
        return v;
    }

    static std::vector<unsigned char> bytes(const OctetString* s)
    {
        return s ? std::vector<unsigned char>(s->data, s->data + s->length) : std::vector<unsigned char> {};
    }

    // Key pair of a certificate bag's public key and a key bag's private key.
    HRESULT check(const P12_Bag* certBag, const P12_Bag* keyBag)
    {
        KeyPair pair {};
        auto* cert = static_cast<Certificate*>(certBag->content);
        EXPECT_EQ(cert->getPublicKeyInfo(&pair.publicKey), S_OK);
        auto* record = static_cast<PrivateKeyInfo*>(keyBag->content);
        KeyInfo priv {record->algorithm, record->privateKey->length * 8, record->privateKey->data};
        pair.privateKey = &priv;
        HRESULT hr = p12->key_pair_check(&pair);
        type(SEC_TYPE_KeyInfo)->free(pair.publicKey);
        return hr;
    }

    SEC_PKCS12_TABLE* p12 = nullptr;
    const API_COMMON* types = nullptr;
    SEC_LATIN1_TO_BMP_FN toBmp = nullptr;
};

TEST_F(Pkcs12, Latin1FriendlyNameBecomesBmpString)
{
    EXPECT_EQ(bmp("A\xE9"), (std::vector<unsigned char> {0, 'A', 0, 0xE9}));
    EXPECT_TRUE(bmp("").empty());
    OctetString* s = nullptr;
    EXPECT_EQ(toBmp(nullptr, &s), E_INVALIDARG);
    EXPECT_EQ(s, nullptr);
}

TEST_F(Pkcs12, FilesOfTheOpensslToolParseInBagOrder)
{
    makeIdentity("id", "/CN=Alice Example");
    for (const char* algorithms : {"-legacy", ""}) {
        SCOPED_TRACE(algorithms[0] ? algorithms : "default algorithms");
        ASSERT_EQ(run(std::string("openssl pkcs12 -export ") + algorithms
                      + " -in id.crt -inkey id.key -name 'Alice Key' -passout pass:s3cret -out id.p12"),
                  0);
        Parsed p = parse("id.p12", "s3cret");
        ASSERT_EQ(p.hr, S_OK);
        EXPECT_EQ(p.verified, 1);
        // The tool writes the certificate safe first, then the key.
        ASSERT_NE(p.bags, nullptr);
        ASSERT_NE(p.bags->next, nullptr);
        EXPECT_EQ(p.bags->next->next, nullptr);
        const P12_Bag* cert = p.bags->element;
        const P12_Bag* key = p.bags->next->element;
        EXPECT_EQ(cert->kind, P12_BAG_CERTIFICATE);
        EXPECT_EQ(key->kind, P12_BAG_KEY);
        EXPECT_EQ(key->encrypted, 1);
        EXPECT_EQ(bytes(cert->friendlyName), bmp("Alice Key"));
        EXPECT_EQ(bytes(key->friendlyName), bmp("Alice Key"));
        EXPECT_EQ(bytes(cert->localKeyId), bytes(key->localKeyId));
        char* cn = nullptr;
        EXPECT_EQ(static_cast<Certificate*>(cert->content)->getSubjectCommonName(&cn), S_OK);
        EXPECT_STREQ(cn, "Alice Example");
        list->free(cn);
        EXPECT_EQ(check(cert, key), S_OK);
        freeBags(p.bags);
    }
}

TEST_F(Pkcs12, WrongPasswordIsNotVerifiedAndHandsOutNothing)
{
    makeIdentity("id", "/CN=Bob");
    ASSERT_EQ(run("openssl pkcs12 -export -legacy -in id.crt -inkey id.key -passout pass:right -out id.p12"), 0);
    Parsed p = parse("id.p12", "wrong");
    EXPECT_EQ(p.hr, E_FAIL);
    EXPECT_EQ(p.verified, 0);
    EXPECT_EQ(p.bags, nullptr);
    OctetString garbage {3, const_cast<unsigned char*>(reinterpret_cast<const unsigned char*>("abc"))};
    SET_OF_P12_Bag* bags = nullptr;
    int verified = 1;
    EXPECT_LT(p12->parse(&garbage, "right", &bags, &verified), 0);
    EXPECT_EQ(verified, 0);
    EXPECT_EQ(bags, nullptr);
}

TEST_F(Pkcs12, BuiltFilesOpenWithTheToolAndKeepTheirBagOrder)
{
    makeIdentity("id", "/CN=Carol");
    makeIdentity("ca", "/CN=Carol CA");
    ASSERT_EQ(run("openssl pkcs12 -export -in id.crt -inkey id.key -passout pass:x -out id.p12"), 0);
    ASSERT_EQ(run("openssl pkcs12 -export -nokeys -in ca.crt -passout pass:x -out ca.p12"), 0);
    Parsed id = parse("id.p12", "x");
    Parsed ca = parse("ca.p12", "x");
    ASSERT_EQ(id.hr, S_OK);
    ASSERT_EQ(ca.hr, S_OK);

    // Safe: key bag, own certificate, chain certificate (the last without a
    // local key identifier), built from the parsed bags.
    const SEC_TYPE_TABLE* safeType = SEC_TypeTable(types, SEC_TYPE_P12_Safe);
    const SEC_TYPE_TABLE* listType = SEC_TypeTable(types, SEC_TYPE_SET_OF_P12_Bag);
    void* safeValue = nullptr;
    ASSERT_EQ(safeType->new_node(&safeValue), S_OK);
    auto* safe = static_cast<P12_Safe*>(safeValue);
    safe->version = 3;
    safe->iterations = 2048;
    auto* objIds = static_cast<const SEC_OBJID_TYPE_TABLE*>(type(SEC_TYPE_ObjId));
    ASSERT_NE(objIds, nullptr) << "the object-identifier type is registered";
    ASSERT_EQ(objIds->from_text("SHA-1", &safe->macDigest), S_OK);
    ASSERT_EQ(objIds->from_text("pbeWithSHA1And128BitRC4", &safe->certificateEncryption), S_OK);
    ASSERT_EQ(objIds->from_text("pbeWithSHA1And3-KeyTripleDES-CBC", &safe->keyEncryption), S_OK);
    P12_Bag* order[] = {id.bags->next->element, id.bags->element, ca.bags->element};
    id.bags->next->element = nullptr;
    id.bags->element = nullptr;
    ca.bags->element = nullptr;
    freeOctets(order[2]->localKeyId);
    order[2]->localKeyId = nullptr;
    void** cursor = reinterpret_cast<void**>(&safe->bags);
    for (P12_Bag* bag : order) {
        ASSERT_EQ(listType->new_node(cursor), S_OK);
        static_cast<SET_OF_P12_Bag*>(*cursor)->element = bag;
        cursor = reinterpret_cast<void**>(&static_cast<SET_OF_P12_Bag*>(*cursor)->next);
    }
    freeBags(id.bags);
    freeBags(ca.bags);

    OctetString* out = nullptr;
    ASSERT_EQ(p12->encode(safe, "pa55", &out), S_OK);
    safeType->free(safe);
    write("built.p12", out->data, out->length);
    freeOctets(out);

    EXPECT_EQ(run("openssl pkcs12 -info -legacy -noout -passin pass:pa55 -in built.p12"), 0);
    EXPECT_NE(run("openssl pkcs12 -info -legacy -noout -passin pass:other -in built.p12"), 0);
    ASSERT_EQ(run("(openssl pkcs12 -info -legacy -nodes -passin pass:pa55 -in built.p12 -out dump.txt 2>info.txt)"), 0);
    std::vector<unsigned char> dump = read("dump.txt");
    std::vector<unsigned char> info = read("info.txt");
    std::string text(dump.begin(), dump.end());
    text.append(info.begin(), info.end());
    EXPECT_NE(text.find("Shrouded Keybag: pbeWithSHA1And3-KeyTripleDES-CBC, Iteration 2048"), std::string::npos);
    EXPECT_NE(text.find("PKCS7 Encrypted data: pbeWithSHA1And128BitRC4, Iteration 2048"), std::string::npos);
    EXPECT_NE(text.find("MAC: sha1, Iteration 2048"), std::string::npos);
    EXPECT_NE(text.find("subject=CN = Carol CA"), std::string::npos);

    Parsed back = parse("built.p12", "pa55");
    ASSERT_EQ(back.hr, S_OK);
    std::vector<int> kinds;
    for (SET_OF_P12_Bag* n = back.bags; n; n = n->next)
        kinds.push_back(n->element->kind);
    EXPECT_EQ(kinds, (std::vector<int> {P12_BAG_KEY, P12_BAG_CERTIFICATE, P12_BAG_CERTIFICATE}));
    EXPECT_EQ(back.bags->next->next->element->localKeyId, nullptr);
    freeBags(back.bags);
}

TEST_F(Pkcs12, KeyOfAnotherCertificateDoesNotMatch)
{
    makeIdentity("a", "/CN=A");
    makeIdentity("b", "/CN=B");
    ASSERT_EQ(run("openssl pkcs12 -export -in a.crt -inkey a.key -passout pass:x -out a.p12"), 0);
    ASSERT_EQ(run("openssl pkcs12 -export -in b.crt -inkey b.key -passout pass:x -out b.p12"), 0);
    Parsed a = parse("a.p12", "x");
    Parsed b = parse("b.p12", "x");
    ASSERT_EQ(a.hr, S_OK);
    ASSERT_EQ(b.hr, S_OK);
    EXPECT_EQ(check(a.bags->element, a.bags->next->element), S_OK);
    EXPECT_EQ(check(a.bags->element, b.bags->next->element), S_FALSE);
    EXPECT_EQ(p12->key_pair_check(nullptr), E_INVALIDARG);
    freeBags(a.bags);
    freeBags(b.bags);
}

}  // namespace
