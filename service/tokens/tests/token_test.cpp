// The token base over token doubles: which certificates are own
// certificates, the PIN dialogs, signing and decrypting checked by openssl,
// verbs by reason and the inactivity logout.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../../core/task_manager.h"
#include "../../model/model_text.h"
#include "qev_results.h"
#include "token_fixture.h"
#include "tokens/token_common.h"
#include "tokens/token_keychain.h"
#include "zelk_class.h"
#include "zelk_object.h"

namespace kestrin::tokens::test {
namespace {

using service::test::Dialogs;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CToken_Keychain;
using ZELK::PSESVC::CTokenCommon;

// Holds a token object made by the factory of its kind.
struct TokenHolder {
    CToken* token = nullptr;
    ~TokenHolder()
    {
        if (token != nullptr)
            token->Release();
    }
    CToken* operator->() const { return token; }
};

std::string Subject(const PersonalCertificateInfo* info)
{
    char* cn = nullptr;
    info->certificate->getSubjectCommonName(&cn);
    std::string text = cn ? cn : "";
    sec_free(cn);
    return text;
}

// The common names and key identifiers of the token's records, in order.
std::vector<std::string> Records(CToken* token)
{
    SET_OF_PersonalCertificateInfo* list = nullptr;
    EXPECT_EQ(token->GetPCI(&list), S_OK);
    std::vector<std::string> out;
    for (auto* node = list; node != nullptr; node = node->next)
        out.push_back(Subject(node->element) + "/" + node->element->keyId);
    SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(list);
    return out;
}

class TokenBaseTest : public TokenTest {
protected:
    // A keychain token over a new token double.
    void Make(const std::vector<FixtureObject>& objects, const std::string& pinName = "PIN")
    {
        m_double = NewToken("tokkeychain:cert=aa", objects, pinName);
        ASSERT_EQ(CToken_Keychain::New(&m_token.token), S_OK);
        ASSERT_EQ(m_token->Init(m_double, nullptr, "tokkeychain:cert=aa"), S_OK);
    }
    void TearDown() override
    {
        if (m_token.token != nullptr)
            m_token.token->Release();
        m_token.token = nullptr;
        if (m_double != nullptr)
            m_double->Release();
        TokenTest::TearDown();
    }

    TokenHolder m_token;
    qevtest::FakeToken* m_double = nullptr;
};

TEST_F(TokenBaseTest, OwnCertificatesLeaveAuthoritiesAndIssuersOut)
{
    struct Case {
        const char* what;
        std::vector<FixtureObject> objects;
        std::vector<std::string> records;
    };
    const Case cases[] = {
        {"user with its CA", {{"user", "k1"}, {"ca", "k2"}}, {"user/k1"}},
        {"CA first", {{"ca", "k2"}, {"user", "k1"}}, {"user/k1"}},
        {"lone self-signed", {{"self", "k3"}}, {"self/k3"}},
        {"lone authority", {{"ca", "k2"}}, {"ca authority/k2"}},
        {"authority beside an end entity it did not issue", {{"self", "k3"}, {"other", "k4"}}, {"self/k3"}},
        {"no key identifier", {{"user", ""}, {"ca", "k2"}}, {}},
        {"reverse object order", {{"user", "k1"}, {"user2", "k5"}}, {"user2/k5", "user/k1"}},
        {"undecodable certificate skipped", {{"", "k6"}, {"user", "k1"}}, {"user/k1"}},
    };
    for (const Case& c : cases) {
        Make(c.objects);
        EXPECT_EQ(Records(m_token.token), c.records) << c.what;
        EXPECT_EQ(m_token->HaveCerts(), !c.records.empty()) << c.what;
        m_token.token->Release();
        m_token.token = nullptr;
        m_double->Release();
        m_double = nullptr;
    }
}

TEST_F(TokenBaseTest, RecordsCarryTheTokenAndAppendToAList)
{
    Make({{"user", "k1"}});
    SET_OF_PersonalCertificateInfo* list = nullptr;
    ASSERT_EQ(m_token->GetPCI(&list), S_OK);
    ASSERT_EQ(m_token->GetPCI(&list), S_OK);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->next->next, nullptr);
    EXPECT_STREQ(list->element->tokenName, "tokkeychain:cert=aa");
    EXPECT_STREQ(list->element->label, "label of tokkeychain:cert=aa");
    EXPECT_STREQ(list->element->serialNumber, "serial-1");
    EXPECT_EQ(list->flag, 1);
    SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(list);

    Certificate* cert = nullptr;
    EXPECT_EQ(m_token->GetOwnCert(&cert), S_OK);
    ASSERT_NE(cert, nullptr);
    cert->Release();
    EXPECT_EQ(m_token->GetOwnCert(nullptr), E_INVALIDARG);
    EXPECT_TRUE(m_token->IsInReader("tokkeychain:cert=aa"));
    EXPECT_FALSE(m_token->IsInReader("TOKKEYCHAIN:cert=aa"));
}

TEST_F(TokenBaseTest, AFailedObjectQueryKeepsTheRecords)
{
    Make({{"user", "k1"}});
    m_double->SetResult("getObjects", E_TOKEN_NOCARD);
    EXPECT_EQ(m_token->RefreshPCI(), E_TOKEN_NOCARD);
    EXPECT_EQ(Records(m_token.token), std::vector<std::string> {"user/k1"});
}

TEST_F(TokenBaseTest, SignAndDecryptAreCheckedByOpenssl)
{
    Make({{"user", "k1", true}});
    const TokenPki& pki = TokenPki::Get();
    const std::string digest(32, '\x5a');
    unsigned char signature[512];
    unsigned long length = sizeof signature;
    ASSERT_EQ(m_token->Sign("k1", nullptr, false, reinterpret_cast<const unsigned char*>(digest.data()), digest.size(),
                            signature, &length, nullptr),
              S_OK);
    WriteFile(pki.Path("digest.bin"), digest);
    WriteFile(pki.Path("sig.bin"), std::string(reinterpret_cast<char*>(signature), length));
    EXPECT_EQ(Shell("openssl pkeyutl -verify -pubin -inkey " + pki.Path("user.pub") + " -in " + pki.Path("digest.bin")
                    + " -sigfile " + pki.Path("sig.bin")),
              0);

    WriteFile(pki.Path("plain.bin"), "secret of the token");
    ASSERT_EQ(Shell("openssl pkeyutl -encrypt -pubin -inkey " + pki.Path("user.pub") + " -in " + pki.Path("plain.bin")
                    + " -out " + pki.Path("enc.bin")),
              0);
    const std::string encrypted = ReadFile(pki.Path("enc.bin"));
    unsigned char plain[512];
    length = sizeof plain;
    ASSERT_EQ(m_token->Decrypt("k1", nullptr, reinterpret_cast<const unsigned char*>(encrypted.data()),
                               encrypted.size(), plain, &length, nullptr),
              S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), length), "secret of the token");

    EXPECT_EQ(m_token->Sign("nokey", nullptr, false, signature, 1, signature, &length, nullptr), E_TOKEN_OPFAILED);
    EXPECT_EQ(m_token->Decrypt("k1", nullptr, nullptr, 0, nullptr, nullptr, nullptr), E_POINTER);
}

TEST_F(TokenBaseTest, WithoutTokenObjectOperationsFail)
{
    ASSERT_EQ(CTokenCommon::New(&m_token.token), S_OK);
    EXPECT_EQ(m_token->Init(nullptr, nullptr, "tokp11:x"), S_OK);
    EXPECT_FALSE(m_token->NeedLogin());
    EXPECT_FALSE(m_token->HaveCerts());
    const char* url = nullptr;
    EXPECT_EQ(m_token->GetTokenUrl(&url), E_FAIL);
    SecToken* token = nullptr;
    EXPECT_EQ(m_token->GetToken(&token), E_FAIL);
    EXPECT_EQ(m_token->GetToken(nullptr), E_POINTER);
    EXPECT_EQ(m_token->Logout(nullptr), E_FAIL);
    EXPECT_EQ(m_token->Sign("k", nullptr, false, nullptr, 0, nullptr, nullptr, nullptr), E_FAIL);
    unsigned long count = 7;
    ZELK::PSESVC::IGUIVerb** verbs = nullptr;
    EXPECT_EQ(m_token->GetVerbs(&count, &verbs), S_OK);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(m_token->GetTokenType(), 0);
    EXPECT_STREQ(m_token->GetPolicyPath(), "Common");
}

// The PIN dialog's answers to refused logins: the texts it shows and
// whether it asks again (the second question is cancelled).
TEST_F(TokenBaseTest, RefusedLoginsShowTheirTextAndMayAskAgain)
{
    struct Case {
        HRESULT login;
        const char* key;
        bool again;
        HRESULT result;
    };
    const Case cases[] = {
        {ZELK_RC(0xA1D3012C), "CARD_ENTER_PIN_AGAIN", true, E_ABORT},
        {E_TOKEN_PINWRONG, "CARD_ENTER_PIN_AGAIN", true, E_ABORT},
        {E_TOKEN_PINBLOCKED, "DLG_CRED_CARD_IS_BLOCKED", false, E_TOKEN_PINBLOCKED},
        {E_TOKEN_NOCARD, "CARD_NEED", false, E_TOKEN_NOCARD},
        {E_TOKEN_CARDNOTUSABLE, "CARD_NEED", false, E_TOKEN_CARDNOTUSABLE},
        {E_FAIL, "CARD_NEED", true, E_ABORT},
    };
    CModel::Init();
    for (const Case& c : cases) {
        Make({{"user", "k1"}});
        CardPin(m_double)->SetResult("login", c.login);
        Dialogs::Reset();
        Dialogs::Script({S_OK, E_ABORT});
        ZELK::PSESVC::ICredUI* dialog = nullptr;
        ASSERT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog)), S_OK);
        EXPECT_EQ(m_token->Login(dialog), c.result) << c.key;
        dialog->Release();
        int asks = 0;
        int errors = 0;
        std::string shown;
        for (const std::string& line : Dialogs::Log()) {
            asks += line.rfind("ask ", 0) == 0;
            if (line.rfind("update 7 ", 0) == 0) {
                ++errors;
                shown = line.substr(9);
            }
        }
        EXPECT_EQ(asks, c.again ? 2 : 1) << c.key;
        EXPECT_EQ(errors, 1) << c.key;
        EXPECT_EQ(shown, CModel::GetText(c.key, "")) << c.key;
        m_token.token->Release();
        m_token.token = nullptr;
        m_double->Release();
        m_double = nullptr;
    }
}

class DialogTest : public TokenBaseTest {
protected:
    ZELK::PSESVC::ICredUI* NewDialog()
    {
        ZELK::PSESVC::ICredUI* dialog = nullptr;
        EXPECT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog)), S_OK);
        m_dialogs.push_back(dialog);
        return dialog;
    }
    void TearDown() override
    {
        for (auto* dialog : m_dialogs)
            dialog->Release();
        TokenBaseTest::TearDown();
    }
    bool Logged(const std::string& line)
    {
        for (const std::string& entry : Dialogs::Log())
            if (entry == line)
                return true;
        return false;
    }
    std::vector<ZELK::PSESVC::ICredUI*> m_dialogs;
};

TEST_F(DialogTest, PinLoginAndLogout)
{
    Make({{"user", "k1"}}, "User PIN");
    EXPECT_TRUE(m_token->NeedLogin());
    Dialogs::PresetValue(4, "1234");
    EXPECT_EQ(m_token->Login(NewDialog()), S_OK);
    EXPECT_FALSE(m_token->NeedLogin());
    EXPECT_TRUE(Logged("field 4 User PIN"));
    EXPECT_TRUE(Logged("count 3"));
    EXPECT_TRUE(Logged("ask " + std::string(CModel::GetText("DLG_CRED_LOGIN_SMARTCARD", ""))));
    EXPECT_EQ(m_token->Logout(nullptr), S_OK);
    EXPECT_TRUE(m_token->NeedLogin());
    EXPECT_EQ(m_token->Login(nullptr), E_FAIL);
}

TEST_F(DialogTest, UserNameLoginTriesThePasswordWhenTheNameIsRefused)
{
    Make({{"user", "k1"}}, "tokkv:profile");
    Dialogs::PresetValue(8, "alice");
    Dialogs::PresetValue(1, "1234");
    EXPECT_EQ(m_token->Login(NewDialog()), S_OK);
    EXPECT_TRUE(Logged("field 8 "));
    EXPECT_TRUE(Logged("field 1 "));
    EXPECT_TRUE(Logged("ask " + std::string(CModel::GetText("DLG_CRED_LOGIN", ""))));
    const std::vector<std::string> calls = CardPin(m_double)->Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "login"), 2);
}

TEST_F(DialogTest, ChangeAndUnblockThePin)
{
    Make({{"user", "k1"}}, "User PIN");
    qevtest::FakePIN* pin = CardPin(m_double);
    Dialogs::PresetValue(4, "1234");
    Dialogs::PresetValue(5, "5678");
    EXPECT_EQ(m_token->ChangePin(NewDialog()), S_OK);
    EXPECT_EQ(pin->pin, "5678");
    EXPECT_TRUE(Logged("field 4 User PIN"));
    EXPECT_TRUE(Logged("field 3 "));
    Dialogs::Script({E_ABORT});
    EXPECT_EQ(m_token->ChangePin(NewDialog()), E_ABORT);
    EXPECT_EQ(pin->pin, "5678");

    auto* puk = new qevtest::FakePIN("SO PIN", 2, "87654321");
    puk->tries = 5;
    pin->unblock = puk;
    pin->tries = 0;
    Dialogs::Reset();
    Dialogs::PresetValue(6, "87654321");
    Dialogs::PresetValue(5, "2468");
    EXPECT_EQ(m_token->UnblockPin(NewDialog()), S_OK);
    EXPECT_EQ(pin->pin, "2468");
    EXPECT_EQ(pin->tries, 3);
    EXPECT_TRUE(Logged("field 6 SO PIN"));
    EXPECT_TRUE(Logged("field 5 User PIN"));
    EXPECT_TRUE(Logged("count 5 unblock"));
    EXPECT_FALSE(puk->verified);
}

TEST_F(TokenBaseTest, VerbsByReasonFollowTheLoginState)
{
    Make({{"user", "k1"}});
    ZELK::PSESVC::IGUIVerb* verb = nullptr;
    // A keychain token has no login verb: nothing runs.
    EXPECT_EQ(m_token->GetVerbByReason(ZELK::PSESVC::IGUIVerb_Reason_Login, &verb), E_FAIL);
    EXPECT_EQ(verb, nullptr);
    EXPECT_EQ(m_token->DoVerbByReason(ZELK::PSESVC::IGUIVerb_Reason_Login), S_FALSE);
    ASSERT_EQ(m_token->GetVerbByReason(ZELK::PSESVC::IGUIVerb_Reason_Reauth, &verb), S_OK);
    EXPECT_STREQ(verb->GetVerbName(), "verb.reauth");
    verb->Release();

    CardPin(m_double)->verified = true;
    verb = nullptr;
    EXPECT_EQ(m_token->GetVerbByReason(ZELK::PSESVC::IGUIVerb_Reason_Login, &verb), S_OK);
    EXPECT_EQ(verb, nullptr);
    EXPECT_EQ(m_token->DoVerbByReason(ZELK::PSESVC::IGUIVerb_Reason_Login), S_FALSE);
    // The keychain's re-authentication only logs out, in the application.
    EXPECT_EQ(m_token->DoVerbByReason(ZELK::PSESVC::IGUIVerb_Reason_Reauth), S_OK);
    EXPECT_TRUE(m_token->NeedLogin());
    EXPECT_EQ(m_token->DoVerbByName("verb.none"), S_FALSE);
}

int64_t s_idle = 0;
int64_t IdleTime()
{
    return s_idle;
}

// The inactivity logout by the policy value: never, after every key use, or
// after the user was idle that long.
TEST_F(TokenBaseTest, InactivityLogout)
{
    CToken::SetIdleTimeSource(&IdleTime);
    CaptureTrace(4);
    auto scheduled = [this]() {
        std::string lines;
        ZELK::PSESVC::CTaskManager::TraceScheduledTasks();
        for (const std::string& line : TraceLines())
            if (line.find("Scheduled tasks:") != std::string::npos)
                lines = line;
        return lines;
    };
    struct Case {
        const char* policy;
        uint32_t timeout;
        int64_t idle;
        HRESULT task;
        bool loggedOut;
        int again;  // seconds until the task comes back; 0 for none
    };
    const Case cases[] = {
        {"", 0, 0, S_FALSE, false, 0},
        {"'inactivityTimeout': 0", 0, 0, S_FALSE, false, 0},
        {"'inactivityTimeout': 4294967295", 0xFFFFFFFF, 0, S_OK, true, 0},
        {"'inactivityTimeout': 300", 300, 100, S_OK, false, 200},
        {"'inactivityTimeout': 300", 300, -1, S_OK, false, 301},
        {"'inactivityTimeout': 300", 300, 300, S_OK, true, 0},
    };
    for (const Case& c : cases) {
        WritePlist(std::string("{'Common': {'CAPI': {") + c.policy + "}}}");
        WaitForPolicy("Common/CAPI", "inactivityTimeout", c.timeout);
        Make({{"user", "k1"}});
        CardPin(m_double)->verified = true;
        s_idle = c.idle;
        EXPECT_EQ(m_token->ConfigureScheduledTasks(), S_OK);
        EXPECT_EQ(m_token->ClearScheduledTasks(),
                  std::string(c.policy).find("300") != std::string::npos ? S_OK : S_FALSE)
            << c.policy;
        EXPECT_EQ(m_token->InactivityTask(), c.task) << c.policy;
        EXPECT_EQ(m_token->NeedLogin(), c.loggedOut) << c.policy;
        if (c.again != 0) {
            // Whole seconds of the due time, rounded down while the test runs.
            const std::string lines = scheduled();
            auto due = [&](int seconds) {
                return lines.find("(in " + std::to_string(seconds) + " seconds) :CToken::InactivityTask")
                       != std::string::npos;
            };
            EXPECT_TRUE(due(c.again) || due(c.again - 1)) << lines;
        }
        ZELK::PSESVC::CTaskManager* tasks = nullptr;
        if (ZELK::PSESVC::CTaskManager::GetExisting(&tasks) == S_OK) {
            tasks->DeleteTask(&CToken::InactivityTask, m_token.token);
            static_cast<ZELK::PSESVC::IGUIModelTaskmanager*>(tasks)->Release();
        }
        CardPin(m_double)->verified = true;
        EXPECT_EQ(m_token->FinishedPrivateKeyOperation(), S_OK) << c.policy;
        EXPECT_EQ(m_token->NeedLogin(), std::string(c.policy).find("4294967295") != std::string::npos);
        m_token.token->Release();
        m_token.token = nullptr;
        m_double->Release();
        m_double = nullptr;
    }
}

TEST_F(TokenBaseTest, ACommonTokenHasNoVerbToLogOutWith)
{
    m_double = NewToken("tokp11:x", {{"user", "k1"}});
    ASSERT_EQ(CTokenCommon::New(&m_token.token), S_OK);
    ASSERT_EQ(m_token->Init(m_double, nullptr, "tokp11:x"), S_OK);
    CardPin(m_double)->verified = true;
    EXPECT_EQ(m_token->DoVerbByName("verb.logout"), S_FALSE);
    EXPECT_EQ(m_token->DoVerbByReason(ZELK::PSESVC::IGUIVerb_Reason_Reauth), S_FALSE);
    EXPECT_FALSE(m_token->NeedLogin());
    EXPECT_EQ(Records(m_token.token), std::vector<std::string> {"user/k1"});
}

}  // namespace
}  // namespace kestrin::tokens::test
