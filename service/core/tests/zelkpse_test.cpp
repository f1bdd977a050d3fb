// The service PSE's frame and provider table: the table's answers, the ASC
// an object holds, the token filter, and the client-connection functions
// that the service never connects with.
#include "zelkpse.h"

#include <gtest/gtest.h>

#include "qev_doubles.h"
#include "service_fixture.h"
#include "zelk_alloc.h"
#include "zelk_module.h"
#include "zelkpse_table.h"

namespace kestrin::service::test {
namespace {

using kestrin::qevtest::FakeASC;
using ZELK::PSESVC::ZELKPSE;
using ZELK::PSESVC::ZELKPSE_FUNCTIONS_var;

class ZelkPseTest : public ServiceTest {};

TEST_F(ZelkPseTest, ProviderTable)
{
    EXPECT_EQ(ZELKPSE_FUNCTIONS_var.get_info(nullptr, nullptr, nullptr), 0);
    const char* api = nullptr;
    const char* module = nullptr;
    const char* description = nullptr;
    EXPECT_EQ(ZELKPSE_FUNCTIONS_var.get_info(&api, &module, &description), 0);
    EXPECT_STREQ(api, "SEC_PSE_1");
    EXPECT_STREQ(module, "zelk");
    EXPECT_STREQ(description, "zelk");

    auto* asc = new FakeASC(nullptr, nullptr);
    EXPECT_EQ(ZELKPSE_FUNCTIONS_var.create_PSE(nullptr, asc, nullptr), 0);
    PSE* pse = nullptr;
    ASSERT_EQ(ZELKPSE_FUNCTIONS_var.create_PSE(&pse, asc, nullptr), 0);
    ASSERT_NE(pse, nullptr);
    // Made while the creator's is the only reference: the context is not held.
    EXPECT_EQ(asc->References(), 1);
    EXPECT_STREQ(pse->getType(), "PSE");
    EXPECT_EQ(pse->cpy(nullptr), -1);
    void* service = nullptr;
    ASSERT_EQ(pse->QueryInterface(IID_ZELKPSE, &service), 0);
    EXPECT_EQ(service, static_cast<void*>(pse));
    void* other = nullptr;
    EXPECT_EQ(pse->QueryInterface(IID_PSE, &other), ZELK_RC(0x80000004));

    // With an outside holder the new context is held, and let go again.
    auto* object = static_cast<ZELKPSE*>(service);
    auto* next = new FakeASC(nullptr, nullptr);
    EXPECT_EQ(object->SetASC(asc), 1);
    EXPECT_EQ(object->SetASC(next), 0);
    EXPECT_EQ(next->References(), 2);
    EXPECT_EQ(object->SetASC(nullptr), 0);
    EXPECT_EQ(next->References(), 1);
    next->Release();
    EXPECT_EQ(object->TokenFilter().Count(), 0u);
    EXPECT_EQ(object->SetFilterPolicy(nullptr), 0);
    EXPECT_STREQ(object->TokenFilter()[0], "NONE");
    object->Release();
    pse->Release();

    EXPECT_EQ(ZELKPSE::New(asc, nullptr), ZELK_RC(0x80040003));
    pse = reinterpret_cast<PSE*>(0x1);
    EXPECT_EQ(ZELKPSE::New(nullptr, &pse), ZELK_RC(0x80000003));
    EXPECT_EQ(pse, nullptr);
    ASSERT_EQ(ZELKPSE::New(asc, &pse), 0);
    EXPECT_EQ(asc->References(), 1);
    pse->Release();
    asc->Release();
    kestrin::qevtest::ExpectNoFakeLeft();
}

TEST_F(ZelkPseTest, TheServiceHoldsNoConnectionToAService)
{
    PSE* pse = reinterpret_cast<PSE*>(0x1);
    EXPECT_EQ(ZELKPSE::ConnectToServer(1, &pse), 1);
    EXPECT_EQ(pse, nullptr);
    pse = reinterpret_cast<PSE*>(0x1);
    EXPECT_EQ(ZELKPSE::GetProxy(&pse), 1);
    EXPECT_EQ(pse, nullptr);
    EXPECT_EQ(ZELKPSE::DisconnectFromServer(), 0);
    char* info = nullptr;
    ASSERT_EQ(ZELKPSE::GetConnectionInfo(&info), 0);
    EXPECT_STREQ(info, "None");
    sec_free(info);
}

}  // namespace
}  // namespace kestrin::service::test
