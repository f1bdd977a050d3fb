// The request types, general names, distinguished-name values and the
// certificate-list parser of "SEC_COMMONTYPES_1", with the openssl tool as
// the peer that makes the input and reads the output.
#include <openssl/evp.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "ossl_fixture.h"
#include "qev_request.h"
#include "qev_values.h"
#include "test_process.h"

namespace {

using kestrin::testsupport::RunProgram;
using kestrin::testsupport::TempFolder;

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class RequestTypes : public QevOsslTest {
protected:
    void SetUp() override
    {
        QevOsslTest::SetUp();
        ASSERT_EQ(list->get_api(nullptr, "SEC_COMMONTYPES_1", &types), S_OK);
        certList = static_cast<const SEC_CERTLIST_TYPE_TABLE*>(SEC_TypeTable(types, SEC_TYPE_SET_OF_Certificate));
        names = static_cast<const SEC_GENERALNAMES_TYPE_TABLE*>(SEC_TypeTable(types, SEC_TYPE_SEQUENCE_OF_GeneralName));
        dname = static_cast<const SEC_DNAME_TYPE_TABLE*>(SEC_TypeTable(types, SEC_TYPE_DName));
        objId = static_cast<const SEC_OBJID_TYPE_TABLE*>(SEC_TypeTable(types, SEC_TYPE_ObjId));
        ASSERT_NE(certList, nullptr);
        ASSERT_NE(names, nullptr);
        // A root, an intermediate and a leaf with alternative names, made by the tool.
        const std::string d = folder.path();
        auto run = [&](const std::vector<std::string>& args) { ASSERT_EQ(RunProgram(args, {}), 0); };
        run({"openssl", "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", d + "/root.key", "-out",
             d + "/root.pem", "-subj", "/CN=Root", "-days", "2"});
        run({"openssl",  "req",
             "-x509",    "-newkey",
             "rsa:1024", "-nodes",
             "-keyout",  d + "/leaf.key",
             "-out",     d + "/leaf.pem",
             "-subj",    "/CN=x/emailAddress=a@example.org/unstructuredName=y:z",
             "-days",    "2",
             "-CA",      d + "/root.pem",
             "-CAkey",   d + "/root.key",
             "-addext",  "subjectAltName=DNS:san.example,email:san@example.org"});
        run({"openssl", "crl2pkcs7", "-nocrl", "-certfile", d + "/leaf.pem", "-certfile", d + "/root.pem", "-out",
             d + "/chain.p7b"});
        run({"openssl", "crl2pkcs7", "-nocrl", "-certfile", d + "/leaf.pem", "-certfile", d + "/root.pem", "-outform",
             "DER", "-out", d + "/chain.p7"});
        run({"openssl", "x509", "-in", d + "/leaf.pem", "-outform", "DER", "-out", d + "/leaf.der"});
    }

    int Count(const std::string& bytes, HRESULT* result = nullptr)
    {
        OctetString input {bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
        SET_OF_Certificate* parsed = nullptr;
        HRESULT hr = certList->parse(&input, &parsed);
        if (result != nullptr)
            *result = hr;
        int n = 0;
        for (SET_OF_Certificate* c = parsed; c != nullptr; c = c->next)
            ++n;
        if (parsed != nullptr) {
            if (first != nullptr)
                first->Release();
            parsed->element->cpy(&first);
            certList->free(parsed);
        }
        return n;
    }

    void TearDown() override
    {
        if (first != nullptr)
            first->Release();
        list->release_api(&types);
        QevOsslTest::TearDown();
    }

    API_COMMON* types = nullptr;
    const SEC_CERTLIST_TYPE_TABLE* certList = nullptr;
    const SEC_GENERALNAMES_TYPE_TABLE* names = nullptr;
    const SEC_DNAME_TYPE_TABLE* dname = nullptr;
    const SEC_OBJID_TYPE_TABLE* objId = nullptr;
    Certificate* first = nullptr;
    TempFolder folder {"kestrin-req-"};
};

TEST_F(RequestTypes, CertificateListsReadEveryFormOfReplyAndFile)
{
    const std::string d = folder.path();
    const std::string der = ReadAll(d + "/chain.p7");
    std::string base64(4 * ((der.size() + 2) / 3) + 1, '\0');
    base64.resize(static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(base64.data()),
                                                      reinterpret_cast<const unsigned char*>(der.data()),
                                                      static_cast<int>(der.size()))));
    std::string wrapped;
    for (size_t i = 0; i < base64.size(); i += 64)
        wrapped += base64.substr(i, 64) + "\r\n";
    EXPECT_EQ(Count(der), 2);
    EXPECT_EQ(Count(ReadAll(d + "/chain.p7b")), 2);
    EXPECT_EQ(Count(base64), 2);
    EXPECT_EQ(Count(wrapped), 2);
    EXPECT_EQ(Count(ReadAll(d + "/leaf.pem") + ReadAll(d + "/root.pem")), 2);
    char* cn = nullptr;
    ASSERT_EQ(first->getSubjectCommonName(&cn), S_OK);
    EXPECT_STREQ(cn, "x");
    std::free(cn);
    EXPECT_EQ(Count(ReadAll(d + "/leaf.der")), 1);

    HRESULT hr = S_OK;
    for (const std::string& bad :
         {std::string(), std::string("<xml/>"), der.substr(0, der.size() - 1),
          std::string("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n"), std::string("QUJD")}) {
        EXPECT_EQ(Count(bad, &hr), 0);
        EXPECT_EQ(hr, E_FAIL);
    }
}

TEST_F(RequestTypes, IssuerSignaturesAreChecked)
{
    const std::string d = folder.path();
    ASSERT_EQ(Count(ReadAll(d + "/root.pem")), 1);
    Certificate* root = nullptr;
    first->cpy(&root);
    ASSERT_EQ(Count(ReadAll(d + "/leaf.pem")), 1);
    EXPECT_EQ(certList->verify_issued(first, root), S_OK);
    EXPECT_EQ(certList->verify_issued(root, first), S_FALSE);
    EXPECT_EQ(certList->verify_issued(root, root), S_OK);
    root->Release();
}

TEST_F(RequestTypes, NamesGiveAndGiveUpTheirAttributeValues)
{
    ASSERT_EQ(Count(ReadAll(folder.path() + "/leaf.pem")), 1);
    void* copy = nullptr;
    ASSERT_EQ(SEC_TypeTable(types, SEC_TYPE_DName)->copy(first->getSubject(), &copy), S_OK);
    auto* name = static_cast<DName*>(copy);
    char* value = nullptr;
    EXPECT_EQ(dname->get_value(name, "DNS", 0, &value), S_OK);
    EXPECT_STREQ(value, "y:z");
    std::free(value);
    EXPECT_EQ(dname->get_value(name, "CN", 1, &value), S_FALSE);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(dname->take_value(name, "EMAIL", &value), S_OK);
    EXPECT_STREQ(value, "a@example.org");
    std::free(value);
    EXPECT_EQ(dname->take_value(name, "EMAIL", &value), S_FALSE);
    EXPECT_EQ(dname->take_value(name, "DNS", &value), S_OK);
    std::free(value);
    char* text = nullptr;
    ASSERT_EQ(dname->to_text(name, &text), S_OK);
    EXPECT_STREQ(text, "CN=x");
    std::free(text);
    dname->free(name);

    SEQUENCE_OF_GeneralName* san = nullptr;
    ASSERT_EQ(names->of_certificate(first, &san), S_OK);
    ASSERT_EQ(names->get(san, SEC_GN_DNS_NAME, 0, &value), S_OK);
    EXPECT_STREQ(value, "san.example");
    std::free(value);
    ASSERT_EQ(names->get(san, SEC_GN_RFC822_NAME, 0, &value), S_OK);
    EXPECT_STREQ(value, "san@example.org");
    std::free(value);
    EXPECT_EQ(names->get(san, SEC_GN_DNS_NAME, 1, &value), S_FALSE);
    ASSERT_EQ(names->add(&san, SEC_GN_DNS_NAME, "added.example"), S_OK);
    OctetString* der = nullptr;
    ASSERT_EQ(names->encode(san, &der), S_OK);
    // SEQUENCE { [2] "san.example", [1] "san@example.org", [2] "added.example" }
    EXPECT_EQ(der->data[0], 0x30);
    EXPECT_EQ(der->data[2], 0x82);
    std::free(der->data);
    std::free(der);
    names->free(san);
}

TEST_F(RequestTypes, ObjectIdentifiersReadTheBracedForm)
{
    ObjId* braced = nullptr;
    ObjId* dotted = nullptr;
    ASSERT_EQ(objId->from_text("{ 1, 2, 840, 113549, 1, 9, 14 }", &braced), S_OK);
    ASSERT_EQ(objId->from_text("1.2.840.113549.1.9.14", &dotted), S_OK);
    EXPECT_EQ(objId->compare(braced, dotted), 0);
    objId->free(braced);
    ObjId* bare = nullptr;
    ASSERT_EQ(objId->from_text("1, 2, 840, 113549, 1, 9, 14", &bare), S_OK);
    EXPECT_EQ(objId->compare(bare, dotted), 0);
    objId->free(bare);
    objId->free(dotted);
    ObjId* bad = nullptr;
    EXPECT_NE(objId->from_text("{ 1, 2, x }", &bad), S_OK);
    EXPECT_EQ(bad, nullptr);
}

}  // namespace
