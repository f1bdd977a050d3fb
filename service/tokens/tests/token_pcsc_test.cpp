// The smart-card token over a real card (pcscd with vsmartcard's virtual
// reader, SoftHSM2 serving its keys): its records, the PIN dialog over the
// card, signing and decryption checked by OpenSSL, a card taken out while its
// certificates are read; try counts and a blocked PIN over the PIN double.
#include "tokens/token_pcsc.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../model/model_text.h"
#include "qev_pse.h"
#include "qev_results.h"
#include "smartcard_fixture.h"
#include "test_process.h"
#include "token_fixture.h"
#include "zelk_class.h"
#include "zelk_module.h"
#include "zelk_object.h"

namespace kestrin::tokens::test {
namespace {

using kestrin::testsupport::RunProgram;
using kestrin::testsupport::SmartCardFixture;
using service::test::Dialogs;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CToken_PCSC;
using ZELK::PSESVC::ICredUI;

API_COMMON* s_pseTable = nullptr;
CLoadAPI s_loadPseTable(nullptr, "SEC_PSE_1", &s_pseTable);

const std::vector<uint8_t> kSha256WithRsa = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x0b};

std::vector<std::string> Records(CToken* token)
{
    SET_OF_PersonalCertificateInfo* list = nullptr;
    EXPECT_EQ(token->GetPCI(&list), S_OK);
    std::vector<std::string> out;
    for (auto* node = list; node != nullptr; node = node->next) {
        char* cn = nullptr;
        node->element->certificate->getSubjectCommonName(&cn);
        out.push_back(std::string(cn ? cn : "") + "/" + node->element->keyId);
        sec_free(cn);
    }
    SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(list);
    return out;
}

size_t CountLog(const std::string& prefix)
{
    size_t n = 0;
    for (const std::string& line : Dialogs::Log())
        n += line.rfind(prefix, 0) == 0;
    return n;
}

class CardTokenTest : public TokenTest {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_card.Start(error)) << error;
        TokenTest::SetUp();
        Dialogs::Reset();
    }
    void TearDown() override
    {
        for (ICredUI* dialog : m_dialogs)
            dialog->Release();
        if (m_token != nullptr)
            m_token->Release();
        if (m_secToken != nullptr)
            m_secToken->Release();
        if (m_slot != nullptr)
            m_slot->Release();
        TokenTest::TearDown();
    }

    // The reader's slot and a smart-card token over its card.
    void Open()
    {
        ASSERT_NE(s_pseTable, nullptr);
        ASSERT_EQ(ZELK_ApiCast<SEC_PSE_TABLE>(s_pseTable)->getSlot(&m_slot, SmartCardFixture::kSlotName), S_OK);
        ASSERT_EQ(m_slot->getToken(&m_secToken), S_OK);
        ASSERT_EQ(CToken_PCSC::New(&m_token), S_OK);
        ASSERT_EQ(m_token->Init(m_secToken, nullptr, SmartCardFixture::kSlotName), S_OK);
    }
    ICredUI* NewDialog()
    {
        ICredUI* dialog = nullptr;
        EXPECT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog)), S_OK);
        m_dialogs.push_back(dialog);
        return dialog;
    }

    SmartCardFixture m_card;
    SecSlot* m_slot = nullptr;
    SecToken* m_secToken = nullptr;
    CToken* m_token = nullptr;
    std::vector<ICredUI*> m_dialogs;
};

TEST_F(CardTokenTest, RecordsAndPinDialogOverTheCard)
{
    // A certificate that does not decode is left out; the CA issued the
    // holder's certificate and is no own certificate.
    ASSERT_TRUE(m_card.WriteCertificateObject(std::vector<uint8_t>(300, 0x30), "03", "Broken"));
    std::string error;
    ASSERT_TRUE(m_card.InsertCard(error)) << error;
    Open();
    EXPECT_EQ(Records(m_token), std::vector<std::string> {"Card Holder/01"});
    EXPECT_EQ(m_token->GetTokenType(), ZELK::PSESVC::TOKEN_TYPE_SMARTCARD);
    EXPECT_STREQ(m_token->GetPolicyPath(), "Common/PCSC");
    void* typed = nullptr;
    ASSERT_EQ(m_token->QueryInterface(IID_CToken_PCSC, &typed), S_OK);
    static_cast<IUnknown*>(typed)->Release();

    unsigned long count = 0;
    ZELK::PSESVC::IGUIVerb** verbs = nullptr;
    ASSERT_EQ(m_token->GetVerbs(&count, &verbs), S_OK);
    std::vector<std::string> names;
    for (unsigned long i = 0; i < count; ++i)
        names.push_back(verbs[i]->GetVerbName());
    EXPECT_EQ(names, (std::vector<std::string> {"verb.login", "verb.logout", "verb.show.cert", "verb.reauth"}));

    // A wrong PIN asks again; the user gives up.
    EXPECT_TRUE(m_token->NeedLogin());
    ZELK::PSESVC::IGUIVerb* verb = nullptr;
    ASSERT_EQ(m_token->GetVerbByReason(ZELK::PSESVC::IGUIVerb_Reason_Login, &verb), S_OK);
    ASSERT_NE(verb, nullptr);
    EXPECT_STREQ(verb->GetVerbName(), "verb.login");
    verb->Release();
    Dialogs::PresetValue(4, "9999");
    Dialogs::Script({S_OK, E_ABORT});
    EXPECT_EQ(m_token->Login(NewDialog()), E_ABORT);
    EXPECT_EQ(CountLog("ask "), 2u);
    EXPECT_EQ(CountLog("update 7 " + std::string(CModel::GetText("CARD_ENTER_PIN_AGAIN", ""))), 1u);
    EXPECT_EQ(CountLog("field 4 User PIN"), 2u);
    EXPECT_TRUE(m_token->NeedLogin());

    Dialogs::Reset();
    Dialogs::PresetValue(4, SmartCardFixture::kPin);
    EXPECT_EQ(m_token->Login(NewDialog()), S_OK);
    EXPECT_FALSE(m_token->NeedLogin());
    EXPECT_EQ(m_token->Logout(nullptr), S_OK);
    EXPECT_TRUE(m_token->NeedLogin());
}

TEST_F(CardTokenTest, ACardTakenOutWhileItsCertificatesAreReadKeepsTheRecords)
{
    std::string error;
    ASSERT_TRUE(m_card.InsertCard(error)) << error;
    Open();
    ASSERT_EQ(Records(m_token), std::vector<std::string> {"Card Holder/01"});
    ASSERT_TRUE(m_card.RemoveCard(error)) << error;
    EXPECT_EQ(m_token->RefreshPCI(), E_TOKEN_NOCARD);
    EXPECT_EQ(Records(m_token), std::vector<std::string> {"Card Holder/01"});
    Dialogs::PresetValue(4, SmartCardFixture::kPin);
    EXPECT_EQ(m_token->Login(NewDialog()), E_TOKEN_NOCARD);
    EXPECT_EQ(CountLog("update 7 " + std::string(CModel::GetText("CARD_NEED", ""))), 1u);
}

TEST_F(CardTokenTest, SignAndDecryptWithTheCardsKeyCheckedByOpenssl)
{
    std::string error;
    ASSERT_TRUE(m_card.InsertCard(error)) << error;
    Open();
    const std::string d = m_card.folder();
    const std::string data(700, 'z');
    WriteFile(d + "/data.bin", data);
    ObjId oid {kSha256WithRsa.size(), const_cast<uint8_t*>(kSha256WithRsa.data())};
    AlgId sha256Rsa {&oid, nullptr};
    unsigned char out[512];
    unsigned long length = sizeof out;
    auto in = reinterpret_cast<const unsigned char*>(data.data());
    // The card's key is private: the PIN comes first.
    EXPECT_EQ(m_token->Sign(SmartCardFixture::kKeyId, &sha256Rsa, false, in, data.size(), out, &length, nullptr),
              E_PSE_NOTLOGGEDIN);
    Dialogs::PresetValue(4, SmartCardFixture::kPin);
    ASSERT_EQ(m_token->Login(NewDialog()), S_OK);
    length = sizeof out;
    ASSERT_EQ(m_token->Sign(SmartCardFixture::kKeyId, &sha256Rsa, false, in, data.size(), out, &length, nullptr), S_OK);
    WriteFile(d + "/sig.bin", std::string(reinterpret_cast<char*>(out), length));
    EXPECT_EQ(RunProgram({"openssl", "dgst", "-sha256", "-verify", m_card.PublicKeyPem(), "-signature", d + "/sig.bin",
                          d + "/data.bin"},
                         {}),
              0);
    length = sizeof out;
    EXPECT_EQ(m_token->Sign("7f", &sha256Rsa, false, in, data.size(), out, &length, nullptr), E_TOKEN_OPFAILED);

    WriteFile(d + "/plain.bin", "card secret");
    ASSERT_EQ(RunProgram({"openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", m_card.PublicKeyPem(), "-in",
                          d + "/plain.bin", "-out", d + "/cipher.bin"},
                         {}),
              0);
    const std::string cipher = ReadFile(d + "/cipher.bin");
    length = sizeof out;
    ASSERT_EQ(m_token->Decrypt(SmartCardFixture::kKeyId, nullptr, reinterpret_cast<const unsigned char*>(cipher.data()),
                               cipher.size(), out, &length, nullptr),
              S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), "card secret");
}

// SoftHSM2 counts no tries: the PIN double shows what the dialog makes of them.
TEST_F(CardTokenTest, TriesLeftAndABlockedPinOverThePinDouble)
{
    qevtest::FakeToken* card = NewToken(SmartCardFixture::kSlotName, {{"user", "k1", true}}, "User PIN");
    ASSERT_EQ(CToken_PCSC::New(&m_token), S_OK);
    ASSERT_EQ(m_token->Init(card, nullptr, SmartCardFixture::kSlotName), S_OK);
    qevtest::FakePIN* pin = CardPin(card);
    pin->tries = 1;
    pin->SetResult("login", E_TOKEN_PINBLOCKED);
    Dialogs::PresetValue(4, "0000");
    EXPECT_EQ(m_token->Login(NewDialog()), E_TOKEN_PINBLOCKED);
    EXPECT_EQ(CountLog("count 1"), 1u);
    EXPECT_EQ(CountLog("ask "), 1u);
    EXPECT_EQ(CountLog("update 7 " + std::string(CModel::GetText("DLG_CRED_CARD_IS_BLOCKED", ""))), 1u);
    card->Release();
}

}  // namespace
}  // namespace kestrin::tokens::test
