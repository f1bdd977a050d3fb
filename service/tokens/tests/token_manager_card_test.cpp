// The token manager over a real card: pcscd's virtual reader announces the
// card's slot, the manager makes its token object, signs by the token URI
// after the PIN (checked by OpenSSL) and drops the object when the card
// leaves.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "qev_pse.h"
#include "qev_results.h"
#include "smartcard_fixture.h"
#include "test_process.h"
#include "token_fixture.h"
#include "tokens/token_manager.h"
#include "zelk_class.h"
#include "zelk_module.h"
#include "zelk_object.h"

namespace kestrin::tokens::test {
namespace {

using kestrin::testsupport::RunProgram;
using kestrin::testsupport::SmartCardFixture;
using service::test::Dialogs;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CTokenMgr;
using ZELK::PSESVC::ICredUI;
using ZELK::PSESVC::ISlotEvents;

API_COMMON* s_pseTable = nullptr;
CLoadAPI s_loadPseTable(nullptr, "SEC_PSE_1", &s_pseTable);

const std::vector<uint8_t> kSha256WithRsa = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0b};

class CardManagerTest : public TokenTest {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_card.Start(error)) << error;
        TokenTest::SetUp();
        Dialogs::Reset();
        ASSERT_EQ(CSingletonFactoryImpl<CTokenMgr>::New(&m_manager), S_OK);
    }
    void TearDown() override
    {
        if (m_dialog != nullptr)
            m_dialog->Release();
        if (m_slot != nullptr)
            m_slot->Release();
        if (m_manager != nullptr)
            m_manager->Release();
        TokenTest::TearDown();
    }

    std::vector<std::string> Records()
    {
        SET_OF_PersonalCertificateInfo* list = nullptr;
        EXPECT_EQ(m_manager->GetPCI(&list, nullptr), S_OK);
        std::vector<std::string> out;
        for (auto* node = list; node != nullptr; node = node->next) {
            char* cn = nullptr;
            node->element->certificate->getSubjectCommonName(&cn);
            out.push_back(std::string(cn ? cn : "") + "@" + node->element->tokenName);
            sec_free(cn);
        }
        SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(list);
        return out;
    }

    SmartCardFixture m_card;
    CTokenMgr* m_manager = nullptr;
    SecSlot* m_slot = nullptr;
    ICredUI* m_dialog = nullptr;
};

TEST_F(CardManagerTest, ACardInTheReaderIsATokenUntilItLeaves)
{
    std::string error;
    ASSERT_TRUE(m_card.InsertCard(error)) << error;
    ASSERT_NE(s_pseTable, nullptr);
    ASSERT_EQ(ZELK_ApiCast<SEC_PSE_TABLE>(s_pseTable)->getSlot(&m_slot, SmartCardFixture::kSlotName), S_OK);
    const std::string uri = SmartCardFixture::kSlotName;
    EXPECT_EQ(m_manager->SlotEvent(ISlotEvents::CARD_INSERTED, m_slot), S_OK);
    EXPECT_EQ(Records(), std::vector<std::string> {"Card Holder@" + uri});

    // The card's key signs by the token URI once its PIN was given.
    const std::string d = m_card.folder();
    const std::string data(300, 'q');
    WriteFile(d + "/mgr-data.bin", data);
    ObjId oid {kSha256WithRsa.size(), const_cast<uint8_t*>(kSha256WithRsa.data())};
    AlgId sha256Rsa {&oid, nullptr};
    unsigned char out[512];
    unsigned long length = sizeof out;
    auto in = reinterpret_cast<const unsigned char*>(data.data());
    EXPECT_EQ(m_manager->Sign(uri.c_str(), SmartCardFixture::kKeyId, &sha256Rsa, false, in, data.size(), out, &length,
                              nullptr),
              E_PSE_NOTLOGGEDIN);
    CToken* token = nullptr;
    ASSERT_EQ(m_manager->GetTokenByName(uri.c_str(), &token), S_OK);
    ASSERT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&m_dialog)), S_OK);
    Dialogs::PresetValue(4, SmartCardFixture::kPin);
    EXPECT_EQ(token->Login(m_dialog), S_OK);
    token->Release();
    length = sizeof out;
    ASSERT_EQ(m_manager->Sign(uri.c_str(), SmartCardFixture::kKeyId, &sha256Rsa, false, in, data.size(), out, &length,
                              nullptr),
              S_OK);
    WriteFile(d + "/mgr-sig.bin", std::string(reinterpret_cast<char*>(out), length));
    EXPECT_EQ(RunProgram({"openssl", "dgst", "-sha256", "-verify", m_card.PublicKeyPem(), "-signature",
                          d + "/mgr-sig.bin", d + "/mgr-data.bin"},
                         {}),
              0);

    ASSERT_TRUE(m_card.RemoveCard(error)) << error;
    EXPECT_EQ(m_manager->SlotEvent(ISlotEvents::CARD_REMOVED, m_slot), S_OK);
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(m_manager->GetTokenByName(uri.c_str(), &token), E_TOKEN_NOTFOUND);
    length = sizeof out;
    EXPECT_EQ(m_manager->Sign(uri.c_str(), SmartCardFixture::kKeyId, &sha256Rsa, false, in, data.size(), out, &length,
                              nullptr),
              E_TOKEN_NOTFOUND);

    // The card comes back: a new token object, logged out.
    ASSERT_TRUE(m_card.InsertCard(error)) << error;
    EXPECT_EQ(m_manager->SlotEvent(ISlotEvents::CARD_INSERTED, m_slot), S_OK);
    ASSERT_EQ(m_manager->GetTokenByName(uri.c_str(), &token), S_OK);
    EXPECT_TRUE(token->NeedLogin());
    token->Release();
}

}  // namespace
}  // namespace kestrin::tokens::test
