// The service PSE's frame and provider table: the table's answers, the ASC
// an object holds, the token filter, and the client-connection functions
// that the service never connects with.
#include "zelkpse.h"

#include <gtest/gtest.h>

#include "service_fixture.h"
#include "zelk_alloc.h"
#include "zelk_module.h"
#include "zelkpse_table.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::ZELKPSE;
using ZELK::PSESVC::ZELKPSE_FUNCTIONS_var;

// A context that only counts its references.
class CountedASC : public ASC {
public:
    HRESULT QueryInterface(const GUID&, void**) override { return E_NOINTERFACE; }
    long AddRef() override { return ++refs; }
    long Release() override { return --refs; }
    const char* getType() override { return "ASC"; }
    HRESULT cpy(ASC**) override { return E_NOTIMPL; }
    int cmp(const ASC*) override { return 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    HRESULT getPSE(PSE**) override { return E_NOTIMPL; }
    HRESULT getOwnPSE(PSE**) override { return E_NOTIMPL; }
    HRESULT getCertDB(void*) override { return E_NOTIMPL; }
    HRESULT getVerificationContext(void*) override { return E_NOTIMPL; }

    long refs = 0;
};

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

    CountedASC asc;
    EXPECT_EQ(ZELKPSE_FUNCTIONS_var.create_PSE(nullptr, &asc, nullptr), 0);
    PSE* pse = nullptr;
    ASSERT_EQ(ZELKPSE_FUNCTIONS_var.create_PSE(&pse, &asc, nullptr), 0);
    ASSERT_NE(pse, nullptr);
    // Made while the creator's is the only reference: the context is not held.
    EXPECT_EQ(asc.refs, 0);
    EXPECT_STREQ(pse->getType(), "PSE");
    EXPECT_EQ(pse->cpy(nullptr), -1);
    EXPECT_EQ(pse->getSlots(nullptr, nullptr), ZELK_RC(0x80000001));
    void* service = nullptr;
    ASSERT_EQ(pse->QueryInterface(IID_ZELKPSE, &service), 0);
    EXPECT_EQ(service, static_cast<void*>(pse));
    void* other = nullptr;
    EXPECT_EQ(pse->QueryInterface(IID_PSE, &other), ZELK_RC(0x80000004));

    // With an outside holder the new context is held, and let go again.
    auto* object = static_cast<ZELKPSE*>(service);
    CountedASC next;
    EXPECT_EQ(object->SetASC(&asc), 1);
    EXPECT_EQ(object->SetASC(&next), 0);
    EXPECT_EQ(next.refs, 1);
    EXPECT_EQ(object->SetASC(nullptr), 0);
    EXPECT_EQ(next.refs, 0);
    EXPECT_EQ(object->TokenFilter().Count(), 0u);
    EXPECT_EQ(object->SetFilterPolicy(nullptr), 0);
    EXPECT_STREQ(object->TokenFilter()[0], "NONE");
    object->Release();
    pse->Release();

    EXPECT_EQ(ZELKPSE::New(&asc, nullptr), ZELK_RC(0x80040003));
    pse = reinterpret_cast<PSE*>(0x1);
    EXPECT_EQ(ZELKPSE::New(nullptr, &pse), ZELK_RC(0x80000003));
    EXPECT_EQ(pse, nullptr);
    ASSERT_EQ(ZELKPSE::New(&asc, &pse), 0);
    EXPECT_EQ(asc.refs, 0);
    pse->Release();
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
