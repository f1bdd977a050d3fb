// Token rows: names parsed from token names, target names, rows per token
// kind with the profile's enrolment host, the token list and the
// auto-logout task on the real scheduler.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/task_manager.h"
#include "model/model_owncerts.h"
#include "model/model_readers.h"
#include "model/model_text.h"
#include "model/model_tokens.h"
#include "model_fixture.h"
#include "zelk_alloc.h"
#include "zelk_policy_client.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;

IGUIModelToken* I(CModelToken* token)
{
    return token;
}

CModelToken* NewToken(const char* name)
{
    CModelToken* token = nullptr;
    EXPECT_EQ(CModelTokens::NewTokenInfo(name, &token), S_OK);
    return token;
}

std::string Row(CModelToken* token, IGUIItem_Icon* icon = nullptr)
{
    char* text = nullptr;
    EXPECT_EQ(token->GetItemInfo(icon, &text), S_OK);
    std::string answer = text ? text : "";
    sec_free(text);
    return answer;
}

class TokensTest : public ModelTest {
protected:
    CModelTokens* Tokens()
    {
        CModelTokens* tokens = nullptr;
        EXPECT_EQ(CSingletonFactoryImpl<CModelTokens>::New(&tokens), S_OK);
        return tokens;
    }
};

TEST_F(TokensTest, TokenNamesGiveProfileAndGroup)
{
    const std::string longGroup(4096, 'g');
    const struct {
        std::string name;
        const char* profile;
        std::string group;
    } cases[] = {
        {"toksw:mem://kestrin/group/profile", "profile", "group"},
        {"toksw:mem://kestrin/profile", "profile", ""},
        {"TOKSW:MEM://KESTRIN/Sales/Laptop", "Laptop", "Sales"},
        {"toksw:mem://kestrin/webclient/anything/else", "webclient", ""},
        {"toksw:mem://kestrin/a/b/c", "c", "a/b"},
        {"toksw:mem://kestrin/", "", ""},
        {"toksw:mem://kestrin/group/", "", "group"},
        {"toksw:mem://kestrin", "", ""},
        {"toksw:mem://kestrin/\xff\xfe/\x01", "\x01", "\xff\xfe"},
        {"toksw:mem://kestrin/" + longGroup + "/p", "p", longGroup},
        {"tokkeychain:cert=01", "", ""},
    };
    CModelToken* token = NewToken("tokkeychain:start");
    for (const auto& c : cases) {
        token->SetTokenName(c.name.c_str());
        EXPECT_EQ(std::string(token->GetTokenName()), c.name);
        EXPECT_STREQ(token->GetProfileName(), c.profile) << c.name;
        EXPECT_EQ(std::string(token->GetPolicyGroup()), c.group) << c.name;
    }
    // The same name again changes nothing; another case is another name.
    const int64_t revision = token->GetRevision();
    token->SetTokenName("tokkeychain:cert=01");
    EXPECT_EQ(token->GetRevision(), revision);
    token->SetTokenName("TOKKEYCHAIN:cert=01");
    EXPECT_EQ(token->GetRevision(), revision + 1);
    CModelToken* none = nullptr;
    EXPECT_EQ(CModelTokens::NewTokenInfo(nullptr, &none), S_FALSE);
    EXPECT_EQ(CModelTokens::NewTokenInfo("", &none), S_FALSE);
    EXPECT_EQ(none, nullptr);
    I(token)->Release();
}

TEST_F(TokensTest, TargetNamesAreKeptOnceWithTheirPrefix)
{
    CModelToken* token = NewToken("toksw:mem://kestrin/p");
    const int64_t start = token->GetRevision();
    EXPECT_EQ(token->AddGVXName("host/a.example"), S_OK);
    EXPECT_EQ(token->AddGVXName("p:host/a.example"), S_OK);
    EXPECT_EQ(token->AddGVXName("P:host/a.example"), S_OK);  // the prefix compares with case
    EXPECT_EQ(token->GetGVXNameCount(), 2u);
    EXPECT_STREQ(token->GetGVXName(0), "p:host/a.example");
    EXPECT_STREQ(token->GetGVXName(1), "p:P:host/a.example");
    EXPECT_EQ(token->GetGVXName(2), nullptr);
    EXPECT_EQ(token->GetRevision(), start + 2);
    const char* kept = token->GetGVXName(0);
    EXPECT_EQ(token->DelGVXName("host/a.example"), S_OK);
    EXPECT_STREQ(kept, "p:host/a.example");  // a removed text stays readable
    EXPECT_EQ(token->DelGVXName(nullptr), S_OK);
    EXPECT_EQ(token->GetGVXNameCount(), 0u);
    EXPECT_EQ(token->GetRevision(), start + 4);
    EXPECT_EQ(token->DelGVXName(nullptr), S_OK);
    EXPECT_EQ(token->GetRevision(), start + 4);
    I(token)->Release();
}

TEST_F(TokensTest, RowsShowKindCertificateAndEnrolmentHost)
{
    ASSERT_TRUE(TestCerts::Get().ok);
    WritePlist(true, "{'profiles': {'p1': {'EnrollURL0': 'https://enrol.example.org:8443/KestrinServer/', "
                     "'UserProfileGroup': 'sales'}, 'p2': {'EnrollURL0': 'no url at all ://'}}}");
    CModelOwnCerts* certs = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CModelOwnCerts>::New(&certs), S_OK);
    PersonalCertificateInfo* webPci = NewPci("toksw:mem://kestrin/web", "carol");
    PersonalCertificateInfo* keyPci = NewPci("tokkeychain:with", "alice");
    certs->AddCert(webPci, "toksw:mem://kestrin/web", nullptr, false);
    certs->AddCert(keyPci, "tokkeychain:with", nullptr, false);

    const std::string notIn = CModel::GetText("TOKEN_NOT_LOGGED_IN", "");
    const std::string carol = TestCerts::Get().Openssl("carol", "subject");
    const std::string alice = TestCerts::Get().Openssl("alice", "subject");
    const std::string keychain = CModel::GetText("TOKEN_TYPE_KEYCHAIN", "");
    const struct {
        const char* name;
        IGUIModelToken_Type type;
        const char* policy;
        std::string row;
        IGUIItem_Icon icon;
    } cases[] = {
        {"tokkeychain:none", TOKEN_TYPE_KEYCHAIN, nullptr, notIn + "\nCAPI Token", ICON_CERT_ACTIVE},
        {"tokkeychain:with", TOKEN_TYPE_KEYCHAIN, nullptr, alice + "\n" + keychain, ICON_CERT_ACTIVE},
        {"toksw:mem://kestrin/p1", TOKEN_TYPE_PROFILE, "profiles/p1", notIn + "\np1 (enrol.example.org)", ICON_PROFILE},
        {"toksw:mem://kestrin/web", TOKEN_TYPE_WEBADAPTER, nullptr, carol + "\nweb ()", ICON_WEBADAPTER_ACTIVE},
        {"toksw:mem://kestrin/p2", TOKEN_TYPE_PROFILE, "profiles/p2", notIn + "\np2 ()", ICON_PROFILE},
        {"secpcsc:card", TOKEN_TYPE_SMARTCARD, nullptr, notIn + "\n", ICON_NONE},
    };
    for (const auto& c : cases) {
        CModelToken* token = NewToken(c.name);
        token->SetTokenType(c.type);
        if (c.policy != nullptr) {
            ZELK_IPolicy* policy = nullptr;
            ASSERT_EQ(ZELK_PolOpen(c.policy, &policy), 0);
            token->SetKVSPolicy(policy);
            policy->Release();
        }
        IGUIItem_Icon icon = ICON_NONE;
        EXPECT_EQ(Row(token, &icon), c.row) << c.name;
        EXPECT_EQ(icon, c.icon) << c.name;
        EXPECT_EQ(std::string(token->ItemGetKey()), "050/KVS/" + std::string(token->GetProfileName()));
        I(token)->Release();
    }
    CModelToken* p1 = NewToken("toksw:mem://kestrin/p1");
    char* group = nullptr;
    EXPECT_EQ(p1->GetKVSProfileGroup(&group), S_OK);
    EXPECT_EQ(group, nullptr);  // no policy yet: left alone
    ZELK_IPolicy* policy = nullptr;
    ASSERT_EQ(ZELK_PolOpen("profiles/p1", &policy), 0);
    p1->SetKVSPolicy(policy);
    policy->Release();
    ASSERT_EQ(p1->GetKVSProfileGroup(&group), S_OK);
    EXPECT_STREQ(group, "sales");
    sec_free(group);
    I(p1)->Release();
    FreePci(webPci);
    FreePci(keyPci);
    static_cast<IGUIModelOwnCerts*>(certs)->Release();
}

TEST_F(TokensTest, TheListKeepsOneRowPerTokenItem)
{
    CModelTokens* tokens = Tokens();
    CModelToken* a = NewToken("secpcsc:a");
    CModelToken* b = NewToken("secpcsc:b");
    CModelToken* again = nullptr;
    EXPECT_EQ(tokens->GetElementCount(), 0u);  // not listed before it registers
    ASSERT_EQ(CModelTokens::RegisterToken(a), S_OK);
    ASSERT_EQ(CModelTokens::RegisterToken(b), S_OK);
    ASSERT_EQ(tokens->CreateToken("secpcsc:a", &again), S_OK);
    EXPECT_EQ(again, a);
    I(again)->Release();
    ASSERT_EQ(CModelTokens::RegisterToken(a), S_OK);  // moved to the end
    EXPECT_EQ(tokens->GetElementCount(), 2u);
    IGUIModelToken* last = nullptr;
    ASSERT_EQ(tokens->GetElement(1, IID_IGUIModelToken, reinterpret_cast<void**>(&last)), S_OK);
    EXPECT_EQ(last, I(a));
    last->Release();
    CModelToken* found = nullptr;
    EXPECT_EQ(tokens->GetToken("SECPCSC:a", &found), S_FALSE);
    EXPECT_EQ(tokens->DelToken("secpcsc:a"), S_OK);
    EXPECT_EQ(tokens->GetElementCount(), 1u);
    const int64_t revision = tokens->GetRevision();
    EXPECT_EQ(tokens->DelToken("secpcsc:a"), S_OK);
    EXPECT_EQ(tokens->GetRevision(), revision);
    I(a)->Release();
    I(b)->Release();
    tokens->Release();
}

TEST_F(TokensTest, ReaderRowsKeepTheCardAndItsToken)
{
    CModelReaders* readers = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CModelReaders>::New(&readers), S_OK);
    CModelReader* row = nullptr;
    ASSERT_EQ(readers->AddReader("Reader 0", &row), S_OK);
    CModelReader* same = nullptr;
    ASSERT_EQ(readers->AddReader("Reader 0", &same), S_OK);
    EXPECT_EQ(same, row);
    same->Release();
    EXPECT_EQ(readers->AddReader("READER 0", nullptr), S_OK);  // names compare with case
    EXPECT_EQ(readers->GetElementCount(), 2u);
    EXPECT_EQ(readers->GetRevision(), 2);

    const int64_t revision = row->GetRevision();
    row->SetAtr("3B:8F:80:01");
    row->SetAtr("3B:8F:80:01");  // advances even when unchanged
    const char* atr = row->GetAtr();
    row->SetAtr(nullptr);
    EXPECT_STREQ(atr, "3B:8F:80:01");  // the replaced text stays readable
    EXPECT_STREQ(row->GetAtr(), "");
    row->SetConnectionInfo("contact");
    EXPECT_STREQ(row->GetConnectionType(), "contact");
    EXPECT_EQ(row->GetRevision(), revision + 4);
    CModelToken* card = NewToken("secpcsc:Reader 0");
    row->SetTokenInfo(card);
    CModelToken* held = nullptr;
    ASSERT_EQ(row->GetTokenInfo(&held), S_OK);
    EXPECT_EQ(held, card);
    I(held)->Release();

    CModelReader* none = nullptr;
    EXPECT_EQ(readers->GetReader("Reader 1", &none), S_FALSE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(readers->DelReader("Reader 0"), S_OK);
    EXPECT_EQ(readers->GetReader("Reader 0", &none), S_FALSE);
    EXPECT_EQ(readers->GetElementCount(), 1u);
    row->Release();
    I(card)->Release();
    readers->Release();
}

// Rows come and go on some threads while others read the lists and rows.
TEST_F(TokensTest, ListsChangeWhileOthersRead)
{
    CModelReaders* readers = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CModelReaders>::New(&readers), S_OK);
    CModelTokens* tokens = Tokens();
    std::atomic<bool> stop {false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                std::string name = "secpcsc:r" + std::to_string((t + i) % 5);
                readers->AddReader(name.c_str(), nullptr);
                CModelToken* token = NewToken(name.c_str());
                token->SetTokenType(TOKEN_TYPE_SMARTCARD);
                token->SetTokenInfo(name.c_str());
                CModelTokens::RegisterToken(token);
                I(token)->Release();
                if (i % 2) {
                    readers->DelReader(name.c_str());
                    tokens->DelToken(name.c_str());
                }
            }
        });
    }
    std::thread reader([&] {
        while (!stop) {
            for (unsigned long i = 0; i < tokens->GetElementCount(); ++i) {
                IGUIModelToken* token = nullptr;
                if (tokens->GetElement(i, IID_IGUIModelToken, reinterpret_cast<void**>(&token)) == S_OK) {
                    char* text = nullptr;
                    token->GetItemInfo(nullptr, &text);
                    sec_free(text);
                    token->GetTokenInfo();
                    token->Release();
                }
            }
            for (unsigned long i = 0; i < readers->GetElementCount(); ++i) {
                IGUIModelReader* row = nullptr;
                if (readers->GetElement(i, IID_IGUIModelReader, reinterpret_cast<void**>(&row)) == S_OK) {
                    row->GetReaderName();
                    row->Release();
                }
            }
        }
    });
    for (auto& thread : threads)
        thread.join();
    stop = true;
    reader.join();
    EXPECT_LE(readers->GetElementCount(), 5u);
    EXPECT_LE(tokens->GetElementCount(), 5u);
    tokens->Release();
    readers->Release();
}

std::atomic<int> s_logouts {0};

int Logout(unsigned long)
{
    ++s_logouts;
    return 0;
}

TEST_F(TokensTest, AutoLogoutRunsTheNamedTaskOnTheScheduler)
{
    CModelToken* token = NewToken("secpcsc:idle");
    token->SetAutoLogoutTask("logout.secpcsc:idle");
    EXPECT_EQ(token->CallAutoLogoutTask(), S_OK);  // no scheduler yet: nothing
    CTaskManager* tasks = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CTaskManager>::New(&tasks), S_OK);
    s_logouts = 0;
    ASSERT_EQ(tasks->AddTask("logout.secpcsc:idle", &Logout, 0, CTaskManager::kNever, 0, false), S_OK);
    CModelTokens* tokens = Tokens();
    ASSERT_EQ(CModelTokens::RegisterToken(token), S_OK);
    EXPECT_EQ(tokens->StartAutoLogoutTask("secpcsc:idle"), S_OK);
    EXPECT_TRUE(kestrin::service::test::WaitFor([] { return s_logouts == 1; }));
    tokens->Release();
    tasks->Release();
    I(token)->Release();
}

}  // namespace
}  // namespace kestrin::model::test
