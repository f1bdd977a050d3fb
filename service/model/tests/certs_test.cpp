// Certificate and own-certificate rows over openssl-made certificates, and
// the containers the tokens fill.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "model/model_owncerts.h"
#include "model/model_text.h"
#include "model_fixture.h"
#include "zelk_alloc.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;

std::string ItemText(IGUIModelItem* item)
{
    char* text = nullptr;
    EXPECT_EQ(item->GetItemInfo(nullptr, &text), S_OK);
    std::string answer = text ? text : "";
    sec_free(text);
    return answer;
}

template <class T>
void Drop(T* p)
{
    if (p != nullptr)
        static_cast<IGUIModel*>(p)->Release();
}

class CertsTest : public ModelTest {
protected:
    void SetUp() override
    {
        ModelTest::SetUp();
        ASSERT_TRUE(TestCerts::Get().ok);
    }

    CModelOwnCerts* OwnCerts()
    {
        CModelOwnCerts* certs = nullptr;
        EXPECT_EQ(CSingletonFactoryImpl<CModelOwnCerts>::New(&certs), S_OK);
        return certs;
    }
};

TEST_F(CertsTest, CertificateRowShowsSubjectAndFingerprintAsOpensslDoes)
{
    const TestCerts& pki = TestCerts::Get();
    Certificate* cert = pki.Cert("alice");
    CModelCert* item = nullptr;
    EXPECT_EQ(CModelCert::New(nullptr, &item), E_INVALIDARG);
    EXPECT_EQ(CModelCert::New(cert, nullptr), E_INVALIDARG);
    ASSERT_EQ(CModelCert::New(cert, &item), S_OK);
    IGUIItem_Icon icon = ICON_NONE;
    char* text = nullptr;
    ASSERT_EQ(item->GetItemInfo(&icon, &text), S_OK);
    EXPECT_EQ(icon, ICON_CERT_ACTIVE);
    EXPECT_EQ(std::string(text), pki.Openssl("alice", "subject"));
    EXPECT_EQ(std::string(item->ItemGetKey()), "020/" + std::string(text));
    sec_free(text);
    EXPECT_EQ(std::string(item->GetFingerprint()), pki.Openssl("alice", "fingerprint"));
    EXPECT_EQ(item->GetFingerprint(), item->GetFingerprint());

    // The container keeps one item per certificate.
    CModelCert* again = nullptr;
    EXPECT_EQ(CModelCerts::NewCertInfo(nullptr, &again), S_FALSE);
    CModelCert* first = nullptr;
    ASSERT_EQ(CModelCerts::NewCertInfo(cert, &first), S_OK);
    ASSERT_EQ(CModelCerts::NewCertInfo(cert, &again), S_OK);
    EXPECT_EQ(first, again);
    EXPECT_EQ(first->Compare(item), 0);
    CModelCerts* certs = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CModelCerts>::New(&certs), S_OK);
    EXPECT_EQ(certs->GetElementCount(), 1u);
    EXPECT_EQ(certs->GetRevision(), 1);
    Certificate* other = pki.Cert("carol");
    CModelCert* none = nullptr;
    EXPECT_EQ(certs->GetCert(other, &none), S_FALSE);
    EXPECT_EQ(certs->DelCert(other), S_OK);
    EXPECT_EQ(certs->GetRevision(), 1);
    EXPECT_EQ(certs->DelCert(cert), S_OK);
    EXPECT_EQ(certs->GetElementCount(), 0u);
    EXPECT_EQ(certs->GetRevision(), 2);
    certs->Release();
    Drop(first);
    Drop(again);
    Drop(item);
    other->Release();
    cert->Release();
}

TEST_F(CertsTest, OwnCertificateRowNamesItsTokenKind)
{
    const struct {
        const char* slot;
        const char* kindKey;  // NULL: no kind text
        bool lineBreak;
    } cases[] = {
        {"tokkeychain:cert=01", "TOKEN_TYPE_KEYCHAIN", true},
        {"TOKSW:mem://kestrin/group/profile", "TOKEN_TYPE_KESTRIN", true},
        {"secpcsc:reader", "TOKEN_TYPE_PKCS11", true},
        {"tokcapi:x", "TOKEN_TYPE_CAPI", true},
        {"file:pse.zip", nullptr, true},
        {"", nullptr, false},
    };
    const std::string subject = TestCerts::Get().Openssl("bob2020", "subject");
    for (const auto& c : cases) {
        PersonalCertificateInfo* pci = NewPci(c.slot, "bob2020");
        CModelOwnCert* item = nullptr;
        ASSERT_EQ(CModelOwnCert::New(pci, c.slot, &item), S_OK);
        std::string expected = subject;
        if (c.lineBreak)
            expected += "\n";
        if (c.kindKey)
            expected += CModel::GetText(c.kindKey, "");
        EXPECT_EQ(ItemText(item), expected) << c.slot;
        EXPECT_EQ(std::string(item->ItemGetKey()), "030/Cert/" + subject);
        EXPECT_EQ(std::string(item->GetFingerprint()), TestCerts::Get().Openssl("bob2020", "fingerprint"));
        Drop(item);
        FreePci(pci);
    }
    // Without a certificate: empty texts, and the PCI orders the row.
    PersonalCertificateInfo* bare = NewPci("tokkeychain:x", "", "k1");
    PersonalCertificateInfo* bare2 = NewPci("tokkeychain:x", "", "k2");
    CModelOwnCert* a = nullptr;
    CModelOwnCert* b = nullptr;
    ASSERT_EQ(CModelOwnCert::New(bare, "tokkeychain:x", &a), S_OK);
    ASSERT_EQ(CModelOwnCert::New(bare2, "tokkeychain:x", &b), S_OK);
    EXPECT_EQ(ItemText(a), "\n" + std::string(CModel::GetText("TOKEN_TYPE_KEYCHAIN", "")));
    EXPECT_STREQ(a->GetFingerprint(), "");
    int ab = a->Compare(b);
    EXPECT_NE(ab, 0);
    EXPECT_EQ(ab > 0, b->Compare(a) < 0);
    Drop(a);
    Drop(b);
    FreePci(bare);
    FreePci(bare2);
}

TEST_F(CertsTest, OwnCertificatesOrderBySubjectThenNewerFirst)
{
    const struct {
        const char* a;
        const char* b;
        int sign;
    } cases[] = {
        {"alice", "bob2020", -1},     // "C=DE, O=Example, CN=Alice" before "CN=Bob"
        {"bob2020", "carol", -1},     // subject without case
        {"bobsmall", "carol", -1},    // "bob" before "Carol" without case
        {"bob2020", "bobsmall", -1},  // equal without case: "B" before "b"
        {"bob2022", "bob2020", -1},   // same subject: the newer first
        {"bob2020", "bob2022", 1},
    };
    for (const auto& c : cases) {
        PersonalCertificateInfo* pa = NewPci("tokkeychain:a", c.a);
        PersonalCertificateInfo* pb = NewPci("tokkeychain:b", c.b);
        CModelOwnCert* a = nullptr;
        CModelOwnCert* b = nullptr;
        ASSERT_EQ(CModelOwnCert::New(pa, "tokkeychain:a", &a), S_OK);
        ASSERT_EQ(CModelOwnCert::New(pb, "tokkeychain:b", &b), S_OK);
        int answer = a->Compare(b);
        EXPECT_EQ(answer > 0 ? 1 : answer < 0 ? -1 : 0, c.sign) << c.a << " " << c.b;
        Drop(a);
        Drop(b);
        FreePci(pa);
        FreePci(pb);
    }
    CModelCert* cert = nullptr;
    Certificate* bob = TestCerts::Get().Cert("bob2020");
    ASSERT_EQ(CModelCert::New(bob, &cert), S_OK);
    PersonalCertificateInfo* pci = NewPci("tokkeychain:a", "bob2020");
    CModelOwnCert* own = nullptr;
    ASSERT_EQ(CModelOwnCert::New(pci, "tokkeychain:a", &own), S_OK);
    EXPECT_EQ(own->Compare(cert), 1);  // no own certificate
    EXPECT_EQ(cert->Compare(own), 1);  // no certificate item
    void* unused = nullptr;
    EXPECT_EQ(static_cast<IGUIModelOwnCert*>(own)->QueryInterface(IID_IGUIModelCert, &unused), E_NOINTERFACE);
    Drop(own);
    Drop(cert);
    FreePci(pci);
    bob->Release();
}

TEST_F(CertsTest, OwnCertificatesKeepOneRowPerCredentialAndDisabledApart)
{
    CModelOwnCerts* certs = OwnCerts();
    CComObject<TestToken>* token = TestTokens::Add("tokkeychain:id");
    token->AddVerb("verb.login");
    token->AddVerb("verb.logout");
    PersonalCertificateInfo* first = NewPci("tokkeychain:id", "alice", "k1");
    PersonalCertificateInfo* second = NewPci("tokkeychain:id", "carol", "k2");
    PersonalCertificateInfo* disabled = NewPci("tokkeychain:id", "bob2020", "k3");

    CModelOwnCert* item = nullptr;
    ASSERT_EQ(certs->AddCert(first, "tokkeychain:id", &item, false), S_OK);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(certs->GetRevision(), 1);
    CModelOwnCert* same = nullptr;
    ASSERT_EQ(certs->AddCert(first, "tokkeychain:id", &same, false), S_OK);
    EXPECT_EQ(same, item);
    EXPECT_EQ(certs->GetRevision(), 1);
    EXPECT_EQ(certs->AddCert(second, "tokkeychain:id", nullptr, false), S_OK);
    EXPECT_EQ(certs->AddCert(disabled, "tokkeychain:id", nullptr, true), S_OK);
    EXPECT_EQ(certs->GetElementCount(), 2u);
    EXPECT_EQ(certs->GetRevision(), 2);

    // The use-for-application verb first, then the token's own verbs.
    ASSERT_EQ(item->CGUIModelVerbs::GetVerbCount(), 3u);
    IGUIVerb* verb = nullptr;
    ASSERT_EQ(item->GetVerb(0, &verb), S_OK);
    EXPECT_STREQ(verb->GetVerbName(), "verb.usefor.qev");
    verb->Release();
    ASSERT_EQ(item->GetVerb(2, &verb), S_OK);
    EXPECT_EQ(verb, token->Verb("verb.logout"));
    verb->Release();

    IGUIModelOwnCert* bySlot = nullptr;
    ASSERT_EQ(certs->GetCertBySlot("tokkeychain:id", 1, &bySlot), S_OK);
    EXPECT_EQ(bySlot->GetPCI()->certificate->cmp(second->certificate), 0);
    bySlot->Release();
    EXPECT_EQ(certs->GetCertBySlot("tokkeychain:id", 2, &bySlot), S_FALSE);
    EXPECT_EQ(certs->GetCertBySlot("TOKKEYCHAIN:id", 0, &bySlot), S_FALSE);
    CModelOwnCert* found = nullptr;
    EXPECT_EQ(certs->GetCert(disabled, &found), S_FALSE);

    CModelDisabledCerts* disabledCerts = nullptr;
    ASSERT_EQ(CModelDisabledCerts::Existing(&disabledCerts), S_OK);
    EXPECT_EQ(disabledCerts->GetElementCount(), 1u);
    EXPECT_EQ(certs->DelCertsBySlot("tokkeychain:other"), S_OK);
    EXPECT_EQ(certs->GetRevision(), 2);
    EXPECT_EQ(certs->DelCertsBySlot("tokkeychain:id"), S_OK);
    EXPECT_EQ(certs->GetElementCount(), 0u);
    EXPECT_EQ(disabledCerts->GetElementCount(), 0u);
    EXPECT_EQ(certs->GetRevision(), 3);
    Drop(disabledCerts);
    Drop(item);
    Drop(same);
    FreePci(first);
    FreePci(second);
    FreePci(disabled);
    certs->Release();
}

TEST_F(CertsTest, RefreshSetsTheTokensVerbStatesFromItsLogin)
{
    const uint32_t D = IGUIVerb_State_Default, E = IGUIVerb_State_Enabled, X = IGUIVerb_State_Disabled,
                   H = IGUIVerb_State_Hidden;
    const struct {
        bool loggedOut;
        bool certs;
        uint32_t login, loginAs, logout, show;
    } cases[] = {
        {true, true, E, E, X, D},
        {true, false, D, E, X, X},
        {false, true, X, X, E, D},
        {false, false, X, X, E, X},
    };
    CModelOwnCerts* certs = OwnCerts();
    for (const auto& c : cases) {
        CComObject<TestToken>* token = TestTokens::Add("secpcsc:card");
        token->AddVerb("verb.login");
        token->AddVerb("verb.login.as", H);
        token->AddVerb("verb.logout", IGUIVerb_State_Checked);
        token->AddVerb("verb.show.cert");
        token->AddVerb("verb.changepin", 0x20);
        token->m_loggedOut = c.loggedOut;
        token->m_certs = c.certs;
        const int64_t revision = certs->GetRevision();
        EXPECT_EQ(certs->Refresh("secpcsc:card"), S_OK);
        EXPECT_EQ(token->Verb("verb.login")->GetState(), c.login);
        EXPECT_EQ(token->Verb("verb.login.as")->GetState(), H);  // a hidden login verb stays
        EXPECT_EQ(token->Verb("verb.logout")->GetState(), c.logout);
        EXPECT_EQ(token->Verb("verb.show.cert")->GetState(), c.show);
        EXPECT_EQ(token->Verb("verb.changepin")->GetState(), 0x20u);
        EXPECT_EQ(certs->GetRevision(), revision);
    }
    CComObject<TestToken>* visible = TestTokens::Add("secpcsc:card");
    visible->AddVerb("verb.login.as");
    EXPECT_EQ(certs->Refresh("secpcsc:card"), S_OK);
    EXPECT_EQ(visible->Verb("verb.login.as")->GetState(), E);
    EXPECT_EQ(certs->Refresh("secpcsc:unknown"), S_OK);
    certs->Release();
}

// Threads that add the same credential at once get one row between them.
TEST_F(CertsTest, RacingAddsOfOneCredentialMakeOneRow)
{
    CModelOwnCerts* certs = OwnCerts();
    PersonalCertificateInfo* pci = NewPci("tokkeychain:race", "alice");
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> ready {0};
        std::vector<CModelOwnCert*> answers(6, nullptr);
        std::vector<std::thread> threads;
        for (size_t t = 0; t < answers.size(); ++t) {
            threads.emplace_back([&, t] {
                ++ready;
                while (ready < static_cast<int>(answers.size()))
                    std::this_thread::yield();
                certs->AddCert(pci, "tokkeychain:race", &answers[t], false);
            });
        }
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(certs->GetElementCount(), 1u);
        for (CModelOwnCert* answer : answers) {
            EXPECT_EQ(answer, answers[0]);
            Drop(answer);
        }
        certs->DelCertsBySlot("tokkeychain:race");
    }
    FreePci(pci);
    certs->Release();
}

// Counting the verbs refreshes the use-for-application verb: enabled, and
// checked only while the credential is the configured one (none here).
TEST_F(CertsTest, CountingTheVerbsEnablesTheUseForVerb)
{
    PersonalCertificateInfo* pci = NewPci("tokkeychain:id", "alice");
    CModelOwnCert* item = nullptr;
    ASSERT_EQ(CModelOwnCert::New(pci, "tokkeychain:id", &item), S_OK);
    IGUIVerbs* verbs = nullptr;
    ASSERT_EQ(static_cast<IGUIModelOwnCert*>(item)->QueryInterface(IID_IGUIVerbs, reinterpret_cast<void**>(&verbs)),
              S_OK);
    IGUIVerb* useFor = nullptr;
    ASSERT_EQ(verbs->GetVerb(0, &useFor), S_OK);
    useFor->SetState(IGUIVerb_State_Disabled | IGUIVerb_State_Checked | IGUIVerb_State_Hidden | 0x20);
    EXPECT_EQ(verbs->GetVerbCount(), 1u);
    EXPECT_EQ(useFor->GetState(), IGUIVerb_State_Hidden | 0x20u);
    IGUIModelSelectedApps* apps = nullptr;
    ASSERT_EQ(static_cast<IGUIModelOwnCert*>(item)->QueryInterface(IID_IGUIModelSelectedApps,
                                                                   reinterpret_cast<void**>(&apps)),
              S_OK);
    EXPECT_EQ(apps->GetSelectedApp(0), nullptr);
    EXPECT_EQ(apps->GetSelectedApp(1), nullptr);
    apps->Release();
    useFor->Release();
    verbs->Release();
    Drop(item);
    FreePci(pci);
}

// The use-for-application verb through the real application policies in the
// temporary folders: the first run makes the row's credential the root's
// favourite (checked, "/" selected, plistlib reads the type and the
// certificate's fingerprint back), the second run clears it.
TEST_F(CertsTest, UseForAppWritesTheFavouriteAndChecksTheVerb)
{
    CModelOwnCerts* certs = OwnCerts();
    PersonalCertificateInfo* pci = NewPci("tokkeychain:id", "alice");
    CModelOwnCert* item = nullptr;
    ASSERT_EQ(certs->AddCert(pci, "tokkeychain:id", &item, false), S_OK);
    ASSERT_NE(item, nullptr);
    IGUIVerbs* verbs = nullptr;
    ASSERT_EQ(static_cast<IGUIModelOwnCert*>(item)->QueryInterface(IID_IGUIVerbs, reinterpret_cast<void**>(&verbs)),
              S_OK);
    IGUIModelSelectedApps* apps = nullptr;
    ASSERT_EQ(static_cast<IGUIModelOwnCert*>(item)->QueryInterface(IID_IGUIModelSelectedApps,
                                                                   reinterpret_cast<void**>(&apps)),
              S_OK);
    IGUIVerb* useFor = nullptr;
    ASSERT_EQ(verbs->GetVerb(0, &useFor), S_OK);
    EXPECT_EQ(verbs->GetVerbCount(), 1u);
    EXPECT_EQ(useFor->GetState() & IGUIVerb_State_Checked, 0u);
    EXPECT_EQ(apps->GetSelectedApp(0), nullptr);

    ASSERT_EQ(useFor->DoVerb(nullptr), S_OK);
    EXPECT_EQ(verbs->GetVerbCount(), 1u);
    EXPECT_EQ(useFor->GetState() & IGUIVerb_State_Checked, 0x08u);
    EXPECT_STREQ(apps->GetSelectedApp(0), "/");
    EXPECT_EQ(apps->GetSelectedApp(1), nullptr);
    EXPECT_EQ(PeerRead("d['TokenType']"), "\"tokkeychain\"");
    EXPECT_EQ(PeerRead("d['CertFingerprint']"), "\"" + TestCerts::Get().Openssl("alice", "fingerprint") + "\"");
    EXPECT_EQ(PeerRead("d.get('GssTargetName')"), "null");  // the root keeps its pattern

    ASSERT_EQ(useFor->DoVerb(nullptr), S_OK);
    EXPECT_EQ(verbs->GetVerbCount(), 1u);
    EXPECT_EQ(useFor->GetState() & IGUIVerb_State_Checked, 0u);
    EXPECT_EQ(apps->GetSelectedApp(0), nullptr);
    EXPECT_EQ(PeerRead("[d.get('TokenType'), d.get('CertFingerprint')]"), "[null, null]");

    useFor->Release();
    apps->Release();
    verbs->Release();
    Drop(item);
    FreePci(pci);
    certs->Release();
}

}  // namespace
}  // namespace kestrin::model::test
