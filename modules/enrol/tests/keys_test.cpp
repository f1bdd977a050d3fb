// The enrolment key and the certificate request, checked by the openssl tool.
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "enrol_fixture.h"
#include "enrol_server.h"
#include "kestrin.h"
#include "zelk_trace.h"

namespace kestrin::enrol::test {
namespace {

using kestrin::testsupport::RunProgram;

class Keys : public EnrolRuntime {
protected:
    void SetUp() override
    {
        EnrolRuntime::SetUp();
        ASSERT_EQ(CFactoryImpl<CKestrin>::New(IID_IKestrin, reinterpret_cast<void**>(&client)), S_OK);
    }
    void TearDown() override
    {
        if (client != nullptr)
            client->Release();
        EnrolRuntime::TearDown();
    }
    // The request as the openssl tool prints it; empty when it does not verify.
    std::string Request()
    {
        OctetString* der = nullptr;
        EXPECT_EQ(client->GetPKCS10(&der), S_OK);
        if (der == nullptr)
            return {};
        const std::string path = m_home.path() + "/req.der";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(der->data), static_cast<std::streamsize>(der->length));
        sec_free(der->data);
        sec_free(der);
        std::string out;
        if (RunProgram({"openssl", "req", "-inform", "DER", "-in", path, "-verify", "-noout", "-text"}, {}, &out) != 0)
            return {};
        return out;
    }

    IKestrin* client = nullptr;
};

TEST_F(Keys, RequestsVerifyAndCarryTheirNames)
{
    EXPECT_EQ(client->CreatePKCS10(nullptr, nullptr), E_FAIL);
    ASSERT_EQ(client->CreateKey(1024), S_OK);
    ASSERT_EQ(client->CreatePKCS10(nullptr, nullptr), S_OK);
    std::string text = Request();
    EXPECT_NE(text.find("Subject: CN = dummy"), std::string::npos) << text;
    EXPECT_NE(text.find("Public-Key: (1024 bit)"), std::string::npos) << text;

    // The held key is kept for the same size and replaced for another.
    ASSERT_EQ(client->SetCertNameRequest("alice"), S_OK);
    EXPECT_EQ(client->CreateKey(1024), S_FALSE);
    ASSERT_EQ(client->CreatePKCS10(nullptr, nullptr), S_OK);
    text = Request();
    EXPECT_NE(text.find("Subject: CN = alice"), std::string::npos) << text;
    EXPECT_EQ(client->CreateKey(512), S_OK);
    ASSERT_EQ(client->CreatePKCS10(nullptr, nullptr), S_OK);
    EXPECT_NE(Request().find("Public-Key: (512 bit)"), std::string::npos);
}

// Certificates made by the openssl tool for the client's request: a CA that
// issues from it, and chains of every shape a reply may take.
class Replies : public Keys {
protected:
    void SetUp() override
    {
        Keys::SetUp();
        ASSERT_EQ(client->CreateKey(1024), S_OK);
        ASSERT_EQ(client->CreatePKCS10(nullptr, nullptr), S_OK);
        OctetString* der = nullptr;
        ASSERT_EQ(client->GetPKCS10(&der), S_OK);
        std::ofstream(Path("client.csr"), std::ios::binary)
            .write(reinterpret_cast<const char*>(der->data), static_cast<std::streamsize>(der->length));
        sec_free(der->data);
        sec_free(der);
        SelfSigned("root", "/CN=Root", true);
    }

    std::string Path(const std::string& name) const { return m_home.path() + "/" + name; }

    void Run(const std::vector<std::string>& args) { ASSERT_EQ(RunProgram(args, {}), 0); }

    void Extensions(const std::string& name, bool ca)
    {
        std::ofstream(Path(name + ".ext"))
            << (ca ? "basicConstraints=critical,CA:TRUE\nkeyUsage=keyCertSign\n" : "basicConstraints=CA:FALSE\n");
    }

    void SelfSigned(const std::string& name, const std::string& subject, bool ca)
    {
        Run({"openssl", "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", Path(name + ".key"), "-out",
             Path(name + ".pem"), "-subj", subject, "-days", "2", "-addext",
             ca ? "basicConstraints=critical,CA:TRUE" : "basicConstraints=CA:FALSE"});
    }

    // A certificate for `subject` with the key of `key` (a new one when empty), issued by `issuer`.
    void Issue(const std::string& name, const std::string& subject, const std::string& issuer, bool ca,
               const std::string& key = "")
    {
        Extensions(name, ca);
        const std::string keyFile = key.empty() ? Path(name + ".key") : Path(key + ".key");
        if (key.empty())
            Run({"openssl", "genrsa", "-out", keyFile, "1024"});
        Run({"openssl", "req", "-new", "-key", keyFile, "-subj", subject, "-out", Path(name + ".csr")});
        Run({"openssl", "x509", "-req", "-in", Path(name + ".csr"), "-CA", Path(issuer + ".pem"), "-CAkey",
             Path(issuer + ".key"), "-set_serial", std::to_string(++serial), "-days", "2", "-extfile",
             Path(name + ".ext"), "-out", Path(name + ".pem")});
    }

    // The client's own certificate, issued by `issuer`.
    void IssueOwn(const std::string& issuer)
    {
        Extensions("own", false);
        Run({"openssl", "x509", "-req", "-inform", "DER", "-in", Path("client.csr"), "-CA", Path(issuer + ".pem"),
             "-CAkey", Path(issuer + ".key"), "-set_serial", std::to_string(++serial), "-days", "2", "-extfile",
             Path("own.ext"), "-out", Path("own.pem")});
    }

    // The reply: a PKCS#7 of the named certificates, as Base64 text.
    HRESULT Reply(const std::vector<std::string>& names)
    {
        std::vector<std::string> args = {"openssl", "crl2pkcs7", "-nocrl", "-outform", "DER", "-out", Path("r.p7")};
        for (const std::string& n : names) {
            args.push_back("-certfile");
            args.push_back(Path(n + ".pem"));
        }
        EXPECT_EQ(RunProgram(args, {}), 0);
        std::ifstream in(Path("r.p7"), std::ios::binary);
        std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string text = kestrin::testsupport::Base64Encode(der);
        OctetString reply {text.size(), reinterpret_cast<unsigned char*>(text.data())};
        return client->ImportPKCS7(&reply);
    }

    bool HasRoot()
    {
        OctetString *key = nullptr, *root = nullptr;
        EXPECT_EQ(client->Get_Token(&key, nullptr, nullptr, &root), S_OK);
        bool has = root != nullptr;
        for (OctetString* o : {key, root})
            if (o != nullptr) {
                sec_free(o->data);
                sec_free(o);
            }
        return has;
    }

    int serial = 100;
};

TEST_F(Replies, ChainsAreFollowedToTheirRoot)
{
    Issue("inter", "/CN=Inter", "root", true);
    IssueOwn("inter");
    EXPECT_EQ(Reply({"root", "own", "inter"}), S_OK);
    EXPECT_EQ(client->GetState(), QM_STATE_INIT);
    EXPECT_TRUE(HasRoot());
    // A later reply without its root keeps no root from before.
    EXPECT_EQ(Reply({"own", "inter"}), S_OK);
    EXPECT_FALSE(HasRoot());
    SET_OF_Certificate* all = nullptr;
    ASSERT_EQ(static_cast<IKestrinEx*>(client)->GetAllCerts(&all), S_OK);
    int count = 0;
    for (SET_OF_Certificate* c = all; c != nullptr; c = c->next)
        ++count;
    EXPECT_EQ(count, 2);
    AuxPtr<SET_OF_Certificate> owner(all);
}

TEST_F(Replies, ALinkWhoseSignatureFailsIsRefused)
{
    // An impostor with the intermediate's name and a key of its own.
    Issue("inter", "/CN=Inter", "root", true);
    IssueOwn("inter");
    Issue("impostor", "/CN=Inter", "root", true);
    EXPECT_EQ(Reply({"own", "impostor", "root"}), E_QM_CERTIFICATE_BAD);
    EXPECT_EQ(client->GetState(), QM_STATE_ERROR);
}

TEST_F(Replies, OfTwoIssuersOfOneNameTheOneThatSignedCounts)
{
    Issue("inter", "/CN=Inter", "root", true);
    IssueOwn("inter");
    Issue("impostor", "/CN=Inter", "root", true);
    EXPECT_EQ(Reply({"own", "impostor", "inter", "root"}), S_OK);
    EXPECT_TRUE(HasRoot());
}

TEST_F(Replies, IssuersThatGoRoundEndTheSearch)
{
    // A names B as its issuer and B names A; each verifies the other.
    SelfSigned("b0", "/CN=B", true);
    Issue("a", "/CN=A", "b0", true);
    Issue("b", "/CN=B", "a", true, "b0");
    IssueOwn("a");
    EXPECT_EQ(Reply({"own", "a", "b"}), E_QM_CERTIFICATE_BAD);
    EXPECT_EQ(client->GetState(), QM_STATE_ERROR);
}

TEST_F(Replies, RepliesWithoutTheClientsCertificate)
{
    EXPECT_EQ(Reply({"root"}), E_QM_CERTIFICATE_BAD);
    EXPECT_EQ(client->GetState(), QM_STATE_ERROR);
    OctetString* key = nullptr;
    EXPECT_EQ(client->Get_Token(&key, nullptr, nullptr, nullptr), E_FAIL);
    OctetString empty {0, nullptr};
    EXPECT_EQ(client->ImportPKCS7(&empty), E_FAIL);
}

TEST_F(Replies, ASelfIssuedIssuerThatIsNoCaIsRefused)
{
    SelfSigned("fake", "/CN=Fake", false);
    IssueOwn("fake");
    EXPECT_EQ(Reply({"own", "fake"}), E_QM_CERTIFICATE_BAD);
    EXPECT_EQ(client->GetState(), QM_STATE_ERROR);
}

TEST_F(Keys, CallerExtensionsMustBeAnExtensionList)
{
    ASSERT_EQ(client->CreateKey(1024), S_OK);
    // SEQUENCE { SEQUENCE { subjectAltName, OCTET STRING { SEQUENCE { [2] "x.example" } } } } and a stray byte
    const std::string der("\x30\x16\x30\x14\x06\x03\x55\x1d\x11\x04\x0d\x30\x0b\x82\x09x.example1", 25);
    const std::string good = kestrin::testsupport::Base64Encode(der.substr(0, 24));
    EXPECT_EQ(client->CreatePKCS10(nullptr, kestrin::testsupport::Base64Encode("not der").c_str()), E_FAIL);
    EXPECT_EQ(client->CreatePKCS10(nullptr, kestrin::testsupport::Base64Encode(der).c_str()), E_FAIL);
    ASSERT_EQ(client->CreatePKCS10(nullptr, good.c_str()), S_OK);
    EXPECT_NE(Request().find("DNS:x.example"), std::string::npos);
}

TEST_F(Keys, TheTemplateGivesSubjectAndAlternativeNames)
{
    const std::string d = m_home.path();
    ASSERT_EQ(
        RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:1024", "-nodes", "-keyout", d + "/t.key", "-out",
                    d + "/t.der", "-outform", "DER", "-subj", "/CN=x/unstructuredName=y:z/emailAddress=a@example.org",
                    "-addext", "subjectAltName=DNS:san.example,email:san@example.org"},
                   {}),
        0);
    std::ifstream in(d + "/t.der", std::ios::binary);
    std::string der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(client->SetClientCertTemplate(reinterpret_cast<const unsigned char*>(der.data()), der.size()), S_OK);
    ASSERT_EQ(client->CreateKey(1024), S_OK);
    ASSERT_EQ(client->CreatePKCS10(nullptr, nullptr), S_OK);
    std::string text = Request();
    EXPECT_NE(text.find("Subject: CN = x\n"), std::string::npos) << text;
    EXPECT_NE(text.find("DNS:y, DNS:z, DNS:x, DNS:san.example, email:a@example.org, email:san@example.org"),
              std::string::npos)
        << text;
    EXPECT_EQ(client->SetClientCertTemplate(reinterpret_cast<const unsigned char*>("junk"), 4), S_OK);
}

TEST_F(Keys, KeySizeDefaultAndKeyArguments)
{
    EXPECT_EQ(client->SetKey(nullptr), E_INVALIDARG);
    ASSERT_EQ(client->CreateKey(0), S_OK);
    ASSERT_EQ(client->CreatePKCS10(nullptr, nullptr), S_OK);
    EXPECT_NE(Request().find("Public-Key: (1024 bit)"), std::string::npos);
    // A size from the caller goes to the library unchanged, which refuses this one.
    EXPECT_LT(client->CreateKey(300), 0);
}

}  // namespace
}  // namespace kestrin::enrol::test
