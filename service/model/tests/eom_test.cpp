// The encryption-only row: its flag, texts and icons, the default verb that a
// double click runs, and a revision step only when the flag changes.
#include <gtest/gtest.h>

#include <string>

#include "model/model_eom.h"
#include "model_fixture.h"
#include "zelk_alloc.h"
#include "zelk_class.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;

class EomTest : public ModelTest {
protected:
    static std::string Row(IGUIModelItem* item, IGUIItem_Icon* icon)
    {
        char* text = nullptr;
        EXPECT_EQ(item->GetItemInfo(icon, &text), S_OK);
        std::string row = text != nullptr ? text : "";
        sec_free(text);
        return row;
    }
};

TEST_F(EomTest, TheDefaultVerbTogglesTheFlagAndTheRow)
{
    IGUIModelEncryptionOnlyMode* eom = nullptr;
    ASSERT_EQ(
        CZELK_CLASS::CreateObject("zelk", "zelk.eom", IID_IGUIModelEncryptionOnlyMode, reinterpret_cast<void**>(&eom)),
        S_OK);
    IGUIItem_Icon icon = ICON_NONE;
    EXPECT_FALSE(eom->IsEncryptionOnlyModeActive());
    EXPECT_EQ(Row(eom, &icon), "Encryption only emergency mode is not active.\nDouble click if single sign-on failed "
                               "suddenly.");
    EXPECT_EQ(icon, ICON_ENCRYPTIONONLY);
    EXPECT_STREQ(eom->ItemGetKey(), "000/EOM");

    IGUIVerbs* verbs = nullptr;
    ASSERT_EQ(eom->QueryInterface(IID_IGUIVerbs, reinterpret_cast<void**>(&verbs)), S_OK);
    ASSERT_EQ(verbs->GetVerbCount(), 1u);
    IGUIVerb* toggle = nullptr;
    ASSERT_EQ(verbs->GetVerb(0, &toggle), S_OK);
    EXPECT_STREQ(toggle->GetVerbName(), "verb.toggle.EncryptionOnlyMode");
    EXPECT_EQ(toggle->GetState(), IGUIVerb_State_Default);

    const int64_t before = eom->GetRevision();
    EXPECT_EQ(toggle->DoVerb(nullptr), S_OK);
    EXPECT_EQ(eom->GetRevision(), before + 1);
    EXPECT_TRUE(eom->IsEncryptionOnlyModeActive());
    EXPECT_EQ(Row(eom, &icon), "Encryption only emergency mode is active.\nDouble click to turn on standard behaviour "
                               "again.");
    EXPECT_EQ(icon, ICON_ENCRYPTIONONLY_ACTIVE);

    // Setting the value it has changes nothing; a new value steps once.
    EXPECT_EQ(eom->SetEncryptionOnlyMode(true), 1);
    EXPECT_EQ(eom->GetRevision(), before + 1);
    EXPECT_EQ(eom->SetEncryptionOnlyMode(false), 0);
    EXPECT_EQ(eom->GetRevision(), before + 2);
    EXPECT_FALSE(eom->IsEncryptionOnlyModeActive());

    // The broker's way reaches the same singleton.
    IGUIModelEncryptionOnlyMode* again = nullptr;
    ASSERT_EQ(CModelEncryptionOnlyMode::New<IGUIModelEncryptionOnlyMode>(&again), S_OK);
    EXPECT_EQ(again, eom);
    again->Release();
    toggle->Release();
    verbs->Release();
    eom->Release();
}

}  // namespace
}  // namespace kestrin::model::test
