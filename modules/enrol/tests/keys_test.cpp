// The enrolment key and the certificate request, checked by the openssl tool.
#include <fstream>
#include <string>

#include "enrol_fixture.h"
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

}  // namespace
}  // namespace kestrin::enrol::test
