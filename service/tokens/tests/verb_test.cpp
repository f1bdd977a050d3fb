// Verbs of a token: the keychain token's table, look-up by name, the hand-over
// to the token's model, the gate that runs one verb of a token at a time,
// and verbs that outlive their token.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "../../model/model_text.h"
#include "../../model/model_tokens.h"
#include "token_fixture.h"
#include "tokens/token_keychain.h"
#include "zelk_class.h"

namespace kestrin::tokens::test {
namespace {

using service::test::Dialogs;
using service::test::WaitFor;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::ICredUI;
using ZELK::PSESVC::IGUIVerb;

class VerbTest : public TokenTest {};

TEST_F(VerbTest, KeychainTokenTable)
{
    CToken* token = nullptr;
    ASSERT_EQ(ZELK::PSESVC::CToken_Keychain::New(&token), S_OK);
    EXPECT_EQ(token->Init(nullptr, nullptr, "tokkeychain:cert=aa"), S_OK);
    unsigned long count = 0;
    IGUIVerb** verbs = nullptr;
    ASSERT_EQ(token->GetVerbs(&count, &verbs), S_OK);
    std::vector<std::string> table;
    for (unsigned long i = 0; i < count; ++i)
        table.push_back(std::string(verbs[i]->GetVerbName()) + " " + std::to_string(verbs[i]->GetState()));
    EXPECT_EQ(table, (std::vector<std::string> {"verb.logout 2", "verb.show.cert 1", "verb.reauth 16"}));

    IGUIVerb* verb = nullptr;
    ASSERT_EQ(token->GetVerbByName("VERB.Show.Cert", &verb), S_OK);
    EXPECT_EQ(verb, verbs[1]);
    verb->Release();
    EXPECT_EQ(token->GetVerbByName("verb.login", &verb), E_FAIL);
    EXPECT_EQ(token->GetVerbByName(nullptr, &verb), E_INVALIDARG);
    EXPECT_EQ(token->GetVerbByName("verb.logout", nullptr), E_INVALIDARG);
    EXPECT_STREQ(verbs[2]->GetVerbDisplayName(), "verb.reauth");
    EXPECT_STREQ(verbs[0]->GetVerbDisplayName(), CModel::GetText("MENU_LOGOUT", "verb.logout"));
    EXPECT_EQ(token->GetTokenType(), ZELK::PSESVC::TOKEN_TYPE_KEYCHAIN);
    EXPECT_STREQ(token->GetPolicyPath(), "Common/CAPI");
    token->Release();
}

TEST_F(VerbTest, InitHandsTheVerbsToTheModel)
{
    ZELK::PSESVC::CModelToken* model = nullptr;
    ASSERT_EQ(ZELK::PSESVC::CModelTokens::NewTokenInfo("tokkeychain:cert=aa", &model), S_OK);
    CToken* token = nullptr;
    ASSERT_EQ(ZELK::PSESVC::CToken_Keychain::New(&token), S_OK);
    EXPECT_EQ(token->Init(nullptr, model, "tokkeychain:cert=aa"), S_OK);
    EXPECT_EQ(model->GetTokenType(), ZELK::PSESVC::TOKEN_TYPE_KEYCHAIN);
    IGUIVerb* verb = nullptr;
    std::vector<std::string> names;
    for (unsigned long i = 0; i < model->GetVerbCount(); ++i) {
        IGUIVerb* listed = nullptr;
        ASSERT_EQ(model->GetVerb(i, &listed), S_OK);
        names.push_back(listed->GetVerbName());
        if (names.back() == "verb.logout" && verb == nullptr)
            verb = listed;
        else
            listed->Release();
    }
    EXPECT_NE(std::find(names.begin(), names.end(), "verb.show.cert"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "verb.reauth"), names.end());
    ASSERT_NE(verb, nullptr);
    token->Release();
    // The model still holds the verb of a token that is gone.
    EXPECT_EQ(verb->DoVerb(nullptr), E_FAIL);
    verb->Release();
    static_cast<ZELK::PSESVC::IGUIModelToken*>(model)->Release();
}

// A token whose verb "verb.slow" runs until it is released.
class GateToken : public CToken {
public:
    HRESULT InitVerbs() override
    {
        static const ZELK::PSESVC::VerbTableRow<GateToken> s_aVerbs[] = {
            {"verb.slow", 0, &GateToken::Slow},
            {"verb.quick", 0, &GateToken::Quick},
            {nullptr, 0, nullptr},
        };
        return CreateVerbs(this, s_aVerbs);
    }
    using CVerbHost::InitVerbs;

    int Slow(ICredUI*)
    {
        running = true;
        while (!release)
            std::this_thread::yield();
        return 7;
    }
    int Quick(ICredUI*)
    {
        ++quick;
        return 8;
    }

    std::atomic<bool> running {false};
    std::atomic<bool> release {false};
    std::atomic<int> quick {0};
};

class GateTest : public VerbTest {
protected:
    void SetUp() override
    {
        VerbTest::SetUp();
        ASSERT_EQ(CComObject<GateToken>::CreateInstance(&m_token), S_OK);
        m_token->AddRef();
        m_token->Init(nullptr, nullptr, "gate");
        ASSERT_EQ(m_token->GetVerbByName("verb.slow", &m_slow), S_OK);
        ASSERT_EQ(m_token->GetVerbByName("verb.quick", &m_quick), S_OK);
    }
    void TearDown() override
    {
        m_quick->Release();
        m_slow->Release();
        m_token->Release();
        VerbTest::TearDown();
    }
    ICredUI* NewDialog()
    {
        ICredUI* dialog = nullptr;
        EXPECT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog)), S_OK);
        return dialog;
    }
    int Waits()
    {
        int n = 0;
        for (const std::string& line : Dialogs::Log())
            n += line == "update 3 Waiting for background task to be completed...";
        return n;
    }

    CComObject<GateToken>* m_token = nullptr;
    IGUIVerb* m_slow = nullptr;
    IGUIVerb* m_quick = nullptr;
};

TEST_F(GateTest, ASecondVerbWaitsForTheFirst)
{
    for (bool interactive : {true, false}) {
        Dialogs::Reset();
        Dialogs::Interactive(interactive);
        m_token->release = false;
        m_token->running = false;
        std::atomic<HRESULT> first {0};
        std::thread slow([&] { first = m_slow->DoVerb(nullptr); });
        ASSERT_TRUE(WaitFor([&] { return m_token->running.load(); }));
        ICredUI* dialog = NewDialog();
        std::atomic<HRESULT> second {-1};
        const int before = m_token->quick;
        std::thread quick([&] { second = m_quick->DoVerb(dialog); });
        if (interactive) {
            ASSERT_TRUE(WaitFor([&] { return Waits() == 1; }));
        }
        EXPECT_EQ(m_token->quick, before);
        m_token->release = true;
        slow.join();
        quick.join();
        EXPECT_EQ(first, 7);
        EXPECT_EQ(second, 8);
        EXPECT_EQ(Waits(), interactive ? 1 : 0);
        dialog->Release();
    }
}

TEST_F(GateTest, AnAbortedWaitGivesUp)
{
    std::thread slow([&] { m_slow->DoVerb(nullptr); });
    ASSERT_TRUE(WaitFor([&] { return m_token->running.load(); }));
    Dialogs::Aborted(true);
    ICredUI* dialog = NewDialog();
    EXPECT_EQ(m_quick->DoVerb(dialog), E_ABORT);
    EXPECT_EQ(m_token->quick, 0);
    m_token->release = true;
    slow.join();
    Dialogs::Aborted(false);
    EXPECT_EQ(m_quick->DoVerb(dialog), 8);
    dialog->Release();
}

TEST_F(VerbTest, WithoutTheApplicationNoVerbRuns)
{
    CToken* token = nullptr;
    ASSERT_EQ(ZELK::PSESVC::CToken_Keychain::New(&token), S_OK);
    token->Init(nullptr, nullptr, "tokkeychain:cert=aa");
    Dialogs::Headless(true);
    EXPECT_EQ(token->DoVerbByName("verb.logout"), E_FAIL);
    Dialogs::Headless(false);
    EXPECT_EQ(token->DoVerbByName("verb.logout"), E_FAIL);  // no token object to log out
    EXPECT_EQ(CToken::DoVerbByName(nullptr, "verb.logout"), S_FALSE);
    token->Release();
}

}  // namespace
}  // namespace kestrin::tokens::test
