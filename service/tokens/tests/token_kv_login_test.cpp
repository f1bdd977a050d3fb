// The login dialogue of the profile token over a scripted enrolment client
// and scripted dialogs: every state, re-authentication, silent logins,
// cancels, the key thread, logouts that meet a running login, and the
// profile's error and success messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <string>
#include <vector>

#include "token_kv_fixture.h"

namespace kestrin::tokens::test {
namespace {

using service::test::Dialogs;
using service::test::WaitFor;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CToken_KV;
using ZELK::PSESVC::ICredUI;

constexpr HRESULT kUiCancelled = ZELK_RC(0xA7F00019);

std::vector<std::string> Requests()
{
    std::vector<std::string> out;
    for (const std::string& line : KVScript::Log())
        if (line.rfind("Send_", 0) == 0 || line.rfind("field ", 0) == 0)
            out.push_back(line);
    return out;
}

// Entries of the dialog log after the first one that starts with `mark`.
std::vector<std::string> DialogAfter(const std::string& mark)
{
    std::vector<std::string> log = Dialogs::Log();
    auto at = std::find_if(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(mark, 0) == 0; });
    return at == log.end() ? std::vector<std::string>() : std::vector<std::string>(at + 1, log.end());
}

// Lets held keys and questions go however a test ends, before its login
// thread is joined.
struct ReleaseHolds {
    ~ReleaseHolds()
    {
        KVScript::HoldKey(false);
        Dialogs::HoldQuestions(false);
    }
};

class KVLoginTest : public TokenKVLoginTest {
protected:
    void SetUp() override
    {
        TokenKVLoginTest::SetUp();
        Policy("'profiles': {'p': {'enrollURL0': 'https://enrol.example', 'autoReenrollTries': 2}}");
    }
};

TEST_F(KVLoginTest, EveryStepOnTheWayToAnIdentity)
{
    ASSERT_NE(Make(), nullptr);
    UserIdentity();
    KVScript::Strings({{1, L"disclaimer"}, {2, L"server says"}});
    KVScript::Fields({{"text", "User", ""}, {"password", "Password", ""}, {"other", "ignored", ""}});
    KVScript::OnRequest("Send_NextCode", [] { KVScript::Fields({{"input", "Name", "bob"}, {"password", "PIN", ""}}); });
    KVScript::Steps({{S_OK, QM_STATE_AUTH},
                     {S_OK, QM_STATE_NEW_PIN},
                     {S_OK, QM_STATE_NEXT_CODE},
                     {S_OK, QM_STATE_INPUT},
                     {S_OK, QM_STATE_READY},
                     {S_OK, QM_STATE_DONE}});
    Dialogs::PresetValue(8, "alice");
    Dialogs::PresetValue(1, "pw1");
    Dialogs::PresetValue(5, "1234");
    Dialogs::PresetValue(3, "1234");
    Dialogs::PresetValue(9, "777");
    ICredUI* dialog = NewDialog();
    EXPECT_EQ(m_token->Login(dialog), S_OK);
    EXPECT_EQ(Requests(), std::vector<std::string>({"Send_Init en-US", "Send_Auth alice pw1", "Send_NewPin 1234",
                                                    "Send_NextCode 777", "field 0 bob", "field 1 pw1", "Send_Auth",
                                                    "Send_PKCS10", "Send_DeleteSession"}));
    EXPECT_EQ(KVScript::Count("CreateKey"), 1u);
    EXPECT_EQ(KVScript::Count("Get_Token"), 1u);
    EXPECT_EQ(Logged("update 5 disclaimer"), 1u);
    EXPECT_EQ(Logged("ask " + Text("QM_DESC_NEW_PIN")), 1u);
    EXPECT_EQ(Logged("ask " + Text("QM_DESC_TOKENCODE")), 1u);
    // The token-code prompt shows the user name read-only.
    EXPECT_EQ(Logged("value 8 alice"), 1u);
    EXPECT_FALSE(m_token->NeedLogin());
    EXPECT_TRUE(WaitFor([] { return KVScript::Alive() == 0; }));
}

TEST_F(KVLoginTest, APresetUserAndAGivenUserFillTheUserField)
{
    ASSERT_NE(Make(), nullptr);
    KVScript::Fields({{"text", "User", "preset-user"}, {"password", "Password", ""}});
    KVScript::Steps({{S_OK, QM_STATE_AUTH}, {E_QM_SERVER_ERROR, QM_STATE_ERROR}});
    Dialogs::PresetValue(1, "pw");
    EXPECT_EQ(m_token->Login(NewDialog()), E_QM_SERVER_ERROR);
    EXPECT_EQ(KVScript::Count("Send_Auth preset-user pw"), 1u);
    EXPECT_EQ(Logged("disabled 8"), 1u);
    KVScript::Reset();
    Dialogs::Reset();
    KVScript::Fields({{"text", "User", "preset-user"}, {"password", "Password", ""}});
    KVScript::Steps({{S_OK, QM_STATE_AUTH}, {E_QM_SERVER_ERROR, QM_STATE_ERROR}});
    Dialogs::PresetValue(1, "pw");
    EXPECT_EQ(m_token->LoginAs(NewDialog(), L"carol"), E_QM_SERVER_ERROR);
    EXPECT_EQ(KVScript::Count("Send_Auth carol pw"), 1u);
}

TEST_F(KVLoginTest, ReAuthenticationBoundsWrongPasswords)
{
    Policy("'profiles': {'p': {'enrollURL0': 'https://enrol.example', 'ReAuthentication': 2}}");
    ASSERT_NE(Make(), nullptr);
    CaptureTrace(2);
    KVScript::Fields({{"text", "User", ""}, {"password", "Password", ""}});
    KVScript::Steps({{S_OK, QM_STATE_AUTH}, {E_ACCESSDENIED, QM_STATE_AUTH}, {E_ACCESSDENIED, QM_STATE_AUTH}});
    Dialogs::Confirm("wrong");
    EXPECT_EQ(m_token->Login(NewDialog()), E_ACCESSDENIED);
    EXPECT_EQ(KVScript::Count("Send_Auth wrong wrong"), 2u);
    EXPECT_EQ(CountTrace("authentication failed, try again"), 1u);
    EXPECT_EQ(CountTrace("authentication failed too often"), 1u);
}

TEST_F(KVLoginTest, ASilentLoginEndsAtItsFirstFailureUnlessReAuthenticationAllowsMore)
{
    ASSERT_NE(Make(), nullptr);
    CaptureTrace(2);
    KVScript::Steps({{E_QM_SERVER_ERROR, QM_STATE_INIT}});
    EXPECT_EQ(m_token->AutoEnrollTask(), E_QM_SERVER_ERROR);
    EXPECT_EQ(KVScript::Count("Send_Init en-US"), 1u);
    EXPECT_EQ(CountTrace("silent authentication failed -> abort"), 1u);

    Policy("'profiles': {'p': {'enrollURL0': 'https://enrol.example', 'ReAuthentication': 3}}");
    KVScript::Reset();
    KVScript::Steps({{E_QM_SERVER_ERROR, QM_STATE_INIT},
                     {E_QM_SERVER_ERROR, QM_STATE_INIT},
                     {E_QM_SERVER_ERROR, QM_STATE_INIT},
                     {E_QM_SERVER_ERROR, QM_STATE_INIT}});
    EXPECT_EQ(m_token->RetryEnrollTask(), E_QM_SERVER_ERROR);
    EXPECT_EQ(KVScript::Count("Send_Init en-US"), 4u);
}

TEST_F(KVLoginTest, CancelInAPromptEndsWithoutTheServerStatus)
{
    ASSERT_NE(Make(), nullptr);
    KVScript::Fields({{"text", "User", ""}, {"password", "Password", ""}});
    for (HRESULT cancel : {E_ABORT, kUiCancelled}) {
        KVScript::Reset();
        Dialogs::Reset();
        KVScript::Fields({{"text", "User", ""}, {"password", "Password", ""}});
        KVScript::Steps({{S_OK, QM_STATE_AUTH}});
        Dialogs::Answer(cancel);
        EXPECT_EQ(m_token->Login(NewDialog()), cancel);
        std::vector<std::string> after = DialogAfter("ask ");
        EXPECT_EQ(std::count(after.begin(), after.end(), "update 3 " + Text("QM_WAIT_SERVER")), 0);
        EXPECT_EQ(KVScript::Count("Send_DeleteSession"), 1u);
    }
}

TEST_F(KVLoginTest, APendingCancelStopsASilentLoginButNotAnInteractiveOne)
{
    ASSERT_NE(Make(), nullptr);
    EXPECT_EQ(m_token->Logout(nullptr), S_OK);
    EXPECT_EQ(m_token->AutoEnrollTask(), kUiCancelled);
    EXPECT_EQ(KVScript::Count("Send_Init en-US"), 0u);
    KVScript::Steps({{E_QM_SERVER_ERROR, QM_STATE_ERROR}});
    EXPECT_EQ(m_token->Login(NewDialog()), E_QM_SERVER_ERROR);
    EXPECT_EQ(KVScript::Count("Send_Init en-US"), 1u);
}

TEST_F(KVLoginTest, ProtocolOneWaitsForTheKeyBeforeAuthenticating)
{
    ASSERT_NE(Make(), nullptr);
    UserIdentity();
    KVScript::Protocol(1, 0);
    KVScript::HoldKey(true);
    KVScript::Fields({{"text", "User", ""}, {"password", "Password", ""}});
    KVScript::Steps({{S_OK, QM_STATE_AUTH}, {S_OK, QM_STATE_READY}, {S_OK, QM_STATE_DONE}});
    Dialogs::Confirm("x");
    ICredUI* dialog = NewDialog();
    ReleaseHolds release;
    auto login = std::async(std::launch::async, [&] { return m_token->Login(dialog); });
    ASSERT_TRUE(KVScript::WaitForKeyStart());
    const std::string keyWait = "update 3 " + Text("QM_WAIT_KEYGEN");
    ASSERT_TRUE(WaitFor([&] { return Logged(keyWait) == 1; }));
    EXPECT_EQ(KVScript::Count("Send_Auth x x"), 0u);
    KVScript::HoldKey(false);
    EXPECT_EQ(login.get(), S_OK);
    std::vector<std::string> log = KVScript::Log();
    auto keyDone = std::find(log.begin(), log.end(), "KeyDone");
    auto auth = std::find(log.begin(), log.end(), "Send_Auth x x");
    EXPECT_LT(keyDone - log.begin(), auth - log.begin());
}

TEST_F(KVLoginTest, StepsThatCanNeverSucceedEndTheLogin)
{
    ASSERT_NE(Make(), nullptr);
    struct Case {
        const char* what;
        std::vector<KVStep> steps;
        std::vector<KVField> fields;
        HRESULT result;
    };
    const Case cases[] = {
        {"unknown server field", {{S_OK, QM_STATE_INPUT}}, {{"checkbox", "x", ""}}, E_FAIL},
        {"no server field", {{S_OK, QM_STATE_INPUT}}, {}, E_FAIL},
        {"state outside the table", {{S_OK, 42}}, {}, E_FAIL},
        {"identity not handed out", {{S_OK, QM_STATE_DONE}}, {}, E_FAIL},
    };
    for (const Case& c : cases) {
        KVScript::Reset();
        Dialogs::Reset();
        KVScript::Steps(c.steps);
        KVScript::Fields(c.fields);
        KVScript::Identity({}, {}, {}, {}, E_FAIL);
        EXPECT_EQ(m_token->Login(NewDialog()), c.result) << c.what;
        EXPECT_EQ(LoggedStarting("ask"), 0u) << c.what;
        EXPECT_LE(KVScript::Count("Get_Token"), 1u) << c.what;
    }
}

TEST_F(KVLoginTest, AFailedCertificateRequestAnswersItsOwnError)
{
    ASSERT_NE(Make(), nullptr);
    KVScript::Fields({{"text", "User", ""}, {"password", "Password", ""}});
    KVScript::Steps({{S_OK, QM_STATE_AUTH}, {S_OK, QM_STATE_READY}, {E_QM_SERVER_ERROR, QM_STATE_ERROR}});
    Dialogs::Confirm("x");
    EXPECT_EQ(m_token->Login(NewDialog()), E_QM_SERVER_ERROR);
    EXPECT_TRUE(m_token->NeedLogin());
    // The login's own logout left no cancel behind for the next silent login.
    KVScript::Reset();
    KVScript::Steps({{E_QM_SERVER_ERROR, QM_STATE_ERROR}});
    EXPECT_EQ(m_token->AutoEnrollTask(), E_QM_SERVER_ERROR);
    EXPECT_EQ(KVScript::Count("Send_Init en-US"), 1u);
}

TEST_F(KVLoginTest, ALogoutFromElsewhereCancelsARunningLoginWithoutWaitingForIt)
{
    ASSERT_NE(Make(), nullptr);
    KVScript::Fields({{"text", "User", ""}, {"password", "Password", ""}});
    KVScript::Steps({{S_OK, QM_STATE_AUTH}, {S_OK, QM_STATE_DONE}});
    Dialogs::Confirm("x");
    Dialogs::HoldQuestions(true);
    ICredUI* dialog = NewDialog();
    ReleaseHolds release;
    auto login = std::async(std::launch::async, [&] { return m_token->Login(dialog); });
    ASSERT_TRUE(Dialogs::WaitForQuestion());
    // Returns while the prompt is still open.
    EXPECT_EQ(m_token->Logout(nullptr), S_OK);
    EXPECT_EQ(KVScript::Count("Cancel"), 1u);
    Dialogs::HoldQuestions(false);
    const HRESULT result = login.get();
    EXPECT_TRUE(result == E_ABORT || result == kUiCancelled) << std::hex << result;
    EXPECT_EQ(KVScript::Count("Get_Token"), 0u);
    EXPECT_TRUE(m_token->NeedLogin());
    EXPECT_TRUE(WaitFor([] { return KVScript::Alive() == 0; }));
}

TEST_F(KVLoginTest, TheCancelButtonCancelsTheClient)
{
    ASSERT_NE(Make(), nullptr);
    KVScript::Fields({{"text", "User", ""}, {"password", "Password", ""}});
    KVScript::Steps({{S_OK, QM_STATE_AUTH}, {S_OK, QM_STATE_DONE}});
    Dialogs::Confirm("x");
    Dialogs::HoldQuestions(true);
    ICredUI* dialog = NewDialog();
    ReleaseHolds release;
    auto login = std::async(std::launch::async, [&] { return m_token->Login(dialog); });
    ASSERT_TRUE(Dialogs::WaitForQuestion());
    EXPECT_EQ(Dialogs::PressCancel(), S_OK);
    Dialogs::HoldQuestions(false);
    EXPECT_EQ(login.get(), E_ABORT);
    EXPECT_EQ(KVScript::Count("Send_Auth x x"), 1u);
}

TEST_F(KVLoginTest, NoClientMeansNoDialogue)
{
    ASSERT_NE(Make(), nullptr);
    KVScript::CreateFails(ZELK_RC(0x80040154));
    EXPECT_TRUE(FAILED(m_token->Login(NewDialog())));
    EXPECT_EQ(KVScript::Count("SetPolicy"), 0u);
    EXPECT_EQ(LoggedStarting("ask"), 0u);
}

TEST_F(KVLoginTest, ErrorAndSuccessMessagesShowUnlessTheProfileTurnsThemOff)
{
    ASSERT_NE(Make(), nullptr);
    // A profile that leaves the flags out shows both, as the store's profile
    // defaults say.
    struct Case {
        const char* flags;
        bool shown;
    };
    const Case cases[] = {
        {"", true},
        {", 'showErrorMsg': 0, 'showSuccessMsg': 0", false},
        {", 'showErrorMsg': 1, 'showSuccessMsg': 1", true},
        {", 'showErrorMsg': 2, 'showSuccessMsg': 2", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.flags);
        Policy(std::string("'profiles': {'p': {'enrollURL0': 'https://enrol.example'") + c.flags + "}}");
        Dialogs::Reset();
        KVScript::Reset();
        EXPECT_EQ(m_token->GuiPopupErr(NewDialog(), L"it failed", 5, false), S_OK);
        EXPECT_EQ(Logged("update 7 it failed"), c.shown ? 1u : 0u);
        UserIdentity();
        KVScript::Strings({{2, L"welcome"}});
        KVScript::Steps({{S_OK, QM_STATE_DONE}});
        EXPECT_EQ(m_token->Login(NewDialog()), S_OK);
        EXPECT_EQ(Logged("update 5 welcome"), c.shown ? 1u : 0u);
    }
}

}  // namespace
}  // namespace kestrin::tokens::test
