// The Kerberos row: its creation only where the crypto library offers
// Kerberos, the texts and icons before and after an update, one revision step
// per changed update, and the names and verb the Kerberos token brings from a
// real KDC's ticket cache.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "kdc_fixture.h"
#include "model/model_kerberos.h"
#include "model_fixture.h"
#include "tokens/kerberos_api.h"
#include "tokens/token_kerberos.h"
#include "zelk_alloc.h"
#include "zelk_class.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;
using kestrin::testsupport::KdcFixture;

struct Row {
    IGUIItem_Icon icon = ICON_NONE;
    std::string text;
};

Row Info(CModelKerberos* item)
{
    Row row;
    char* text = nullptr;
    EXPECT_EQ(item->GetItemInfo(&row.icon, &text), S_OK);
    row.text = text != nullptr ? text : "";
    sec_free(text);
    return row;
}

class KerberosRow : public ModelTest {
protected:
    void TearDown() override
    {
        if (m_item != nullptr)
            static_cast<IGUIModelKerberos*>(m_item)->Release();
        CKerberosAPI::s_bChecked = false;
        CKerberosAPI::s_bIsAPIAvailable = false;
        ModelTest::TearDown();
    }
    CModelKerberos* Item()
    {
        if (m_item == nullptr) {
            EXPECT_EQ(CModelKerberos::New<CModelKerberos>(&m_item), S_OK);
        }
        return m_item;
    }
    CModelKerberos* m_item = nullptr;
};

TEST_F(KerberosRow, WithoutTheKerberosTableThereIsNoRow)
{
    CKerberosAPI::s_bChecked = true;
    CKerberosAPI::s_bIsAPIAvailable = false;
    IGUIModel* model = reinterpret_cast<IGUIModel*>(1);
    EXPECT_EQ(CZELK_CLASS::CreateObject("zelk", "zelk.kerberosinfo", IID_IGUIModel, reinterpret_cast<void**>(&model)),
              ZELK_RC(0x80000001));
    EXPECT_EQ(model, nullptr);
}

TEST_F(KerberosRow, UpdateStoresChangedNamesWithOneRevisionStep)
{
    ASSERT_TRUE(CKerberosAPI::IsAPIAvailable());
    CModelKerberos* item = Item();
    EXPECT_STREQ(item->ItemGetKey(), "010/Kerberos");
    EXPECT_EQ(item->GetUPN(), nullptr);
    Row row = Info(item);
    EXPECT_EQ(row.icon, ICON_KERBEROS);
    EXPECT_EQ(row.text, "No Kerberos ticket is available.\nKerberos");
    EXPECT_EQ(item->GetPCI(), nullptr);
    EXPECT_STREQ(item->GetTokenURI(), "kerberos:");
    EXPECT_GE(item->GetVerbCount(), 1u);
    IGUIModelSelectedApps* apps = nullptr;
    ASSERT_EQ(static_cast<IGUIModelKerberos*>(item)->QueryInterface(IID_IGUIModelSelectedApps,
                                                                    reinterpret_cast<void**>(&apps)),
              S_OK);
    apps->Release();

    int64_t revision = item->GetRevision();
    EXPECT_EQ(item->Update(L"J\u00f6rg", L"joerg@EXAMPLE.ORG", L"CN=joerg@EXAMPLE.ORG"), S_OK);
    EXPECT_EQ(item->GetRevision(), revision + 1);
    EXPECT_STREQ(item->GetDisplayName(), "J\xc3\xb6rg");
    EXPECT_STREQ(item->GetDName(), "CN=joerg@EXAMPLE.ORG");
    row = Info(item);
    EXPECT_EQ(row.icon, ICON_KERBEROS_ACTIVE);
    EXPECT_EQ(row.text, "J\xc3\xb6rg (joerg@EXAMPLE.ORG)\nKerberos");

    revision = item->GetRevision();
    EXPECT_EQ(item->Update(L"J\u00f6rg", L"joerg@EXAMPLE.ORG", L"CN=joerg@EXAMPLE.ORG"), S_FALSE);
    EXPECT_EQ(item->GetRevision(), revision);
    EXPECT_EQ(item->Update(L"J\u00f6rg", L"joerg@EXAMPLE.ORG", L"CN=other"), S_OK);
    EXPECT_EQ(item->GetRevision(), revision + 1);
    EXPECT_EQ(item->Update(nullptr, L"joerg@EXAMPLE.ORG", L"CN=other"), S_OK);
    EXPECT_EQ(Info(item).text, "joerg@EXAMPLE.ORG\nKerberos");
    EXPECT_EQ(item->Update(nullptr, nullptr, nullptr), S_OK);
    EXPECT_EQ(Info(item).icon, ICON_KERBEROS);
}

class KerberosRowKdc : public KerberosRow {
protected:
    static void SetUpTestSuite()
    {
        s_kdc = new KdcFixture();
        std::string error;
        if (!s_kdc->Start(error)) {
            ADD_FAILURE() << error;
            delete s_kdc;
            s_kdc = nullptr;
        }
    }
    static void TearDownTestSuite()
    {
        delete s_kdc;
        s_kdc = nullptr;
    }
    static inline KdcFixture* s_kdc = nullptr;
};

// The Kerberos token fills the row at its creation and at every refresh,
// and adds its re-authentication verb after the row's own.
TEST_F(KerberosRowKdc, TheTokensRefreshShowsThePrincipalOfTheTicketCache)
{
    ASSERT_NE(s_kdc, nullptr);
    s_kdc->ExportToProcess();
    ASSERT_TRUE(s_kdc->Kinit("alice", s_kdc->Keytab("alice")));
    CToken_Kerberos* token = nullptr;
    ASSERT_EQ(CToken_Kerberos::New(&token), S_OK);
    EXPECT_STREQ(Item()->GetUPN(), "ALICE@KESTRIN.TEST");
    EXPECT_STREQ(Item()->GetDName(), "CN=ALICE@KESTRIN.TEST");
    Row row = Info(Item());
    EXPECT_EQ(row.icon, ICON_KERBEROS_ACTIVE);
    EXPECT_EQ(row.text, "ALICE@KESTRIN.TEST\nKerberos");
    ASSERT_EQ(Item()->GetVerbCount(), 2u);
    IGUIVerb* verb = nullptr;
    ASSERT_EQ(Item()->GetVerb(1, &verb), S_OK);
    EXPECT_STREQ(verb->GetVerbName(), "verb.reauth");
    EXPECT_EQ(verb->GetState(), 0x10u);
    verb->Release();

    // Without a ticket cache: no principal, one revision step; a second
    // refresh changes nothing.
    setenv("KRB5CCNAME", "FILE:/nonexistent/kestrin-ccache", 1);
    const int64_t revision = Item()->GetRevision();
    EXPECT_EQ(token->Refresh(), S_OK);
    EXPECT_EQ(Item()->GetRevision(), revision + 1);
    EXPECT_EQ(Item()->GetUPN(), nullptr);
    EXPECT_EQ(Info(Item()).icon, ICON_KERBEROS);
    EXPECT_EQ(token->Refresh(), S_OK);
    EXPECT_EQ(Item()->GetRevision(), revision + 1);
    token->Release();
}

}  // namespace
}  // namespace kestrin::model::test
