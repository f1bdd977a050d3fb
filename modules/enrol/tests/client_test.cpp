// The client's own state: its identifier from the profile, the server texts
// by index, the PIN rules and the calls that need a protocol object.
#include <string>

#include "enrol_fixture.h"
#include "kestrin.h"
#include "zelk_policy_client.h"

namespace kestrin::enrol::test {
namespace {

class Client : public EnrolRuntime {
protected:
    void SetUp() override
    {
        EnrolRuntime::SetUp();
        ASSERT_EQ(CFactoryImpl<CKestrin>::New(IID_IKestrin, reinterpret_cast<void**>(&client)), S_OK);
        kestrin = static_cast<CKestrin*>(client);
    }
    void TearDown() override
    {
        if (client != nullptr)
            client->Release();
        EnrolRuntime::TearDown();
    }

    IKestrin* client = nullptr;
    CKestrin* kestrin = nullptr;
};

TEST_F(Client, ClientIdentifierAndSecurityContextFromSetPolicy)
{
    ZELK_IPolicy* none = nullptr;
    ZELK_IPolicy* empty = nullptr;
    ASSERT_EQ(ZELK_PolOpen("profiles/none", &none), S_OK);
    ASSERT_EQ(ZELK_PolOpen("profiles/empty", &empty), S_OK);
    ASSERT_EQ(empty->SetString("uniqueClientID", ""), S_OK);
    ASSERT_EQ(client->SetPolicy(none), S_OK);
    EXPECT_STREQ(kestrin->UniqueClientID(), "unknown");
    ASSERT_EQ(client->SetPolicy(empty), S_OK);
    EXPECT_STREQ(kestrin->UniqueClientID(), "");
    // No policy keeps the one held and still makes a security context.
    ASSERT_EQ(client->SetPolicy(nullptr), S_OK);
    ZELK_IPolicy* held = nullptr;
    ASSERT_EQ(kestrin->GetPolicy(&held), S_OK);
    EXPECT_EQ(held, empty);
    held->Release();
    ASC* context = nullptr;
    ASSERT_EQ(kestrin->GetASC(&context), S_OK);
    EXPECT_NE(context, nullptr);
    context->Release();
    ZELK_PolClose(&none);
    ZELK_PolClose(&empty);
}

TEST_F(Client, TextsByIndexAndPinRules)
{
    for (unsigned index : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u})
        EXPECT_EQ(client->GetString(index), nullptr) << index;
    kestrin->SetMessage(L"message");
    kestrin->SetServerPIN(L"1234");
    EXPECT_EQ(Narrow(client->GetString(2)), "message");
    EXPECT_EQ(Narrow(client->GetString(4)), "1234");
    kestrin->SetPinFormat(4, 8, -1);
    int maxLength = 0;
    signed char alphanumeric = 0;
    EXPECT_EQ(client->GetPinFormatInfo(nullptr, &maxLength, nullptr), S_OK);
    EXPECT_EQ(maxLength, 8);
    EXPECT_EQ(client->GetPinFormatInfo(nullptr, nullptr, &alphanumeric), S_OK);
    EXPECT_EQ(alphanumeric, 1);
    EXPECT_EQ(client->GetType(), 3u);
    EXPECT_EQ(client->GetState(), QM_STATE_INIT);
}

TEST_F(Client, CallsThatNeedAConversationFailWithoutOne)
{
    EXPECT_EQ(client->Send_Auth(L"u", L"p"), E_FAIL);
    EXPECT_EQ(client->Send_PKCS10(), E_FAIL);
    EXPECT_EQ(client->GetProtocolVersion(), E_FAIL);
    IKestrinInputField* field = nullptr;
    EXPECT_EQ(client->GetInputObjects(0, &field), E_FAIL);
    EXPECT_EQ(client->Send_DeleteSession(0), S_OK);
    OctetString* request = nullptr;
    EXPECT_EQ(client->GetPKCS10(&request), E_FAIL);
    EXPECT_EQ(client->SetClientConfig(nullptr), E_INVALIDARG);
    // Without a profile there are no URLs: the walk ends at once.
    EXPECT_EQ(client->Send_Init(L"en-US"), S_OK);
    EXPECT_EQ(client->GetState(), QM_STATE_ERROR);
}

}  // namespace
}  // namespace kestrin::enrol::test
