// The token manager's registry of token objects: one per slot that announced
// a token, made by the slot's kind, found by token URI for signing,
// decryption and the own certificates of all tokens, dropped when the slot
// loses its token; the models and the sinks kept in step.
#include "tokens/token_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../../model/model_owncerts.h"
#include "../../model/model_readers.h"
#include "qev_results.h"
#include "token_fixture.h"
#include "tokens/token_common.h"
#include "zelk_class.h"
#include "zelk_module.h"
#include "zelk_object.h"
#include "zelkpse_lists.h"

namespace kestrin::tokens::test {
namespace {

using ZELK::PSESVC::CModelOwnCerts;
using ZELK::PSESVC::CModelReader;
using ZELK::PSESVC::CModelReaders;
using ZELK::PSESVC::CModelToken;
using ZELK::PSESVC::CModelTokens;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CTokenCommon;
using ZELK::PSESVC::CTokenMgr;
using ZELK::PSESVC::ISlotEvents;

// Records each event with whether the manager held a token object for the
// slot's name when the sink heard of it.
class PresenceSink : public ISlotEvents, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(PresenceSink)
    ZELK_INTMAP_ENTRY(ISlotEvents)
    ZELK_END_INTMAP()

    HRESULT SlotEvent(EVENT event, SecSlot* slot) override
    {
        const char* name = nullptr;
        slot->getSlotName(&name);
        CToken* token = nullptr;
        bool present = m_manager->GetTokenByName(name, &token) == S_OK;
        if (token)
            token->Release();
        m_log.push_back(std::to_string(event) + (present ? " present" : " absent"));
        return S_OK;
    }

    CTokenMgr* m_manager = nullptr;
    std::vector<std::string> m_log;
};

HRESULT s_creatorResult = S_OK;
std::vector<std::string> s_created;

// The enrolment-profile tokens' creator as tests register it: a token
// without verbs, or the set failure.
HRESULT CreateProfileToken(const char* uri, CToken** out)
{
    s_created.push_back(uri);
    if (FAILED(s_creatorResult))
        return s_creatorResult;
    return CTokenCommon::New(out);
}

std::string Subject(Certificate* certificate)
{
    char* cn = nullptr;
    certificate->getSubjectCommonName(&cn);
    std::string text = cn ? cn : "";
    sec_free(cn);
    return text;
}

class TokenManagerTest : public TokenTest {
protected:
    void SetUp() override
    {
        TokenTest::SetUp();
        s_creatorResult = S_OK;
        s_created.clear();
        ASSERT_EQ(CSingletonFactoryImpl<CTokenMgr>::New(&m_manager), S_OK);
    }
    void TearDown() override
    {
        CTokenMgr::SetProfileTokenCreator(nullptr);
        for (qevtest::FakeSlot* slot : m_slots)
            slot->Release();
        m_manager->Release();
        TokenTest::TearDown();
    }

    // A slot of that name holding a new token double of the same name, or
    // an empty one.
    qevtest::FakeSlot* Slot(const std::string& name, const std::vector<FixtureObject>& objects, bool withToken = true)
    {
        auto* slot = new qevtest::FakeSlot(name);
        if (withToken) {
            qevtest::FakeToken* token = NewToken(name, objects);
            slot->SetToken(token);
            token->Release();
        }
        m_slots.push_back(slot);
        return slot;
    }
    bool Has(const std::string& uri)
    {
        CToken* token = nullptr;
        HRESULT hr = m_manager->GetTokenByName(uri.c_str(), &token);
        if (token)
            token->Release();
        return hr == S_OK;
    }
    static bool HasModelItem(const std::string& name)
    {
        CModelTokens* tokens = nullptr;
        EXPECT_EQ(CSingletonFactoryImpl<CModelTokens>::New(&tokens), S_OK);
        CModelToken* item = nullptr;
        HRESULT hr = tokens->GetToken(name.c_str(), &item);
        if (item)
            static_cast<ZELK::PSESVC::IGUIModelToken*>(item)->Release();
        static_cast<ZELK::PSESVC::IGUIModelTokens*>(tokens)->Release();
        return hr == S_OK;
    }
    static uint64_t OwnCertCount()
    {
        CModelOwnCerts* certs = nullptr;
        EXPECT_EQ(CSingletonFactoryImpl<CModelOwnCerts>::New(&certs), S_OK);
        uint64_t count = static_cast<ZELK::PSESVC::IGUIModelOwnCerts*>(certs)->GetElementCount();
        static_cast<ZELK::PSESVC::IGUIModelOwnCerts*>(certs)->Release();
        return count;
    }
    // Common names and token names of the manager's records.
    std::vector<std::string> Records(SET_OF_PersonalCertificateInfo* seed = nullptr)
    {
        SET_OF_PersonalCertificateInfo* list = seed;
        EXPECT_EQ(m_manager->GetPCI(&list, nullptr), S_OK);
        std::vector<std::string> out;
        for (auto* node = list; node != nullptr; node = node->next)
            out.push_back(Subject(node->element->certificate) + "@" + node->element->tokenName);
        SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(list);
        return out;
    }
    HRESULT SignWith(const std::string& uri, std::string* signature = nullptr)
    {
        const std::string digest(32, '\x5a');
        unsigned char out[512];
        unsigned long length = sizeof out;
        HRESULT hr =
            m_manager->Sign(uri.c_str(), "k1", nullptr, false, reinterpret_cast<const unsigned char*>(digest.data()),
                            digest.size(), out, &length, nullptr);
        if (signature != nullptr && hr == S_OK)
            signature->assign(reinterpret_cast<char*>(out), length);
        return hr;
    }

    CTokenMgr* m_manager = nullptr;
    std::vector<qevtest::FakeSlot*> m_slots;
};

TEST_F(TokenManagerTest, ATokenLivesFromItsInsertToItsRemoval)
{
    const std::string uri = "tokkeychain:cert=aa";
    qevtest::FakeSlot* slot = Slot(uri, {{"user", "k1", true}, {"ca", "k2"}});
    EXPECT_EQ(m_manager->CardInsert(slot, false), S_OK);
    EXPECT_TRUE(Has(uri));
    EXPECT_FALSE(Has("TOKKEYCHAIN:cert=aa"));
    EXPECT_TRUE(HasModelItem(uri));
    EXPECT_EQ(OwnCertCount(), 1u);
    EXPECT_EQ(Records(), std::vector<std::string> {"user@" + uri});

    // Signing and decryption by URI, checked by OpenSSL.
    const TokenPki& pki = TokenPki::Get();
    std::string signature;
    ASSERT_EQ(SignWith(uri, &signature), S_OK);
    WriteFile(pki.Path("mgr-digest.bin"), std::string(32, '\x5a'));
    WriteFile(pki.Path("mgr-sig.bin"), signature);
    EXPECT_EQ(Shell("openssl pkeyutl -verify -pubin -inkey " + pki.Path("user.pub") + " -in "
                    + pki.Path("mgr-digest.bin") + " -sigfile " + pki.Path("mgr-sig.bin")),
              0);
    WriteFile(pki.Path("mgr-plain.bin"), "secret by URI");
    ASSERT_EQ(Shell("openssl pkeyutl -encrypt -pubin -inkey " + pki.Path("user.pub") + " -in "
                    + pki.Path("mgr-plain.bin") + " -out " + pki.Path("mgr-enc.bin")),
              0);
    const std::string encrypted = ReadFile(pki.Path("mgr-enc.bin"));
    unsigned char plain[512];
    unsigned long length = sizeof plain;
    ASSERT_EQ(m_manager->Decrypt(uri.c_str(), "k1", nullptr, reinterpret_cast<const unsigned char*>(encrypted.data()),
                                 encrypted.size(), plain, &length, nullptr),
              S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(plain), length), "secret by URI");
    SecToken* token = nullptr;
    EXPECT_EQ(m_manager->GetTokenByName(uri.c_str(), &token), S_OK);
    ASSERT_NE(token, nullptr);
    token->Release();

    // A second insert makes no second object.
    EXPECT_EQ(m_manager->CardInsert(slot, false), S_OK);
    EXPECT_EQ(Records().size(), 1u);

    EXPECT_EQ(m_manager->CardRemove(slot), S_OK);
    EXPECT_FALSE(Has(uri));
    EXPECT_FALSE(HasModelItem(uri));
    EXPECT_EQ(OwnCertCount(), 0u);
    EXPECT_EQ(SignWith(uri), E_TOKEN_NOTFOUND);
    EXPECT_EQ(m_manager->Decrypt(uri.c_str(), "k1", nullptr, nullptr, 0, nullptr, nullptr, nullptr), E_TOKEN_NOTFOUND);
    EXPECT_EQ(m_manager->GetTokenByName(uri.c_str(), &token), E_TOKEN_NOTFOUND);
    EXPECT_EQ(m_manager->GetTokenByName(nullptr, &token), E_TOKEN_NOTFOUND);
}

TEST_F(TokenManagerTest, SlotsWithoutATokenObjectChangeNothing)
{
    struct Case {
        const char* what;
        qevtest::FakeSlot* slot;
        HRESULT answer;
        int releases;
    };
    qevtest::FakeSlot* empty = Slot("tokp11:empty", {}, false);
    qevtest::FakeSlot* capi = Slot("tokcapi:none", {});
    qevtest::FakeSlot* capiCase = Slot("TOKCAPI:none", {});
    qevtest::FakeSlot* broken = Slot("tokkeychain:cert=bb", {{"user", "k1"}});
    broken->SetResult("getToken", E_FAIL);
    const Case cases[] = {
        {"no slot", nullptr, E_FAIL, 0},
        {"slot without token", empty, E_FAIL, 0},
        {"token that cannot be had", broken, E_FAIL, 0},
        {"capi token without certificates", capi, S_FALSE, 1},
        {"capi prefix in other case", capiCase, S_FALSE, 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(m_manager->CardInsert(c.slot, false), c.answer) << c.what;
        if (c.slot == nullptr)
            continue;
        const char* name = nullptr;
        c.slot->getSlotName(&name);
        EXPECT_FALSE(Has(name)) << c.what;
        EXPECT_FALSE(HasModelItem(name)) << c.what;
        EXPECT_EQ(c.slot->CallCount("releaseToken"), c.releases) << c.what;
    }
    EXPECT_EQ(m_manager->CardRemove(nullptr), S_FALSE);
    EXPECT_EQ(m_manager->CardRemove(empty), S_OK);
    EXPECT_EQ(m_manager->GetReaderInfo(empty, nullptr), ZELK_RC(0x80040003));

    // A capi token with certificates is kept.
    qevtest::FakeSlot* shown = Slot("tokcapi:shown", {{"user", "k1"}});
    EXPECT_EQ(m_manager->CardInsert(shown, false), S_OK);
    EXPECT_TRUE(Has("tokcapi:shown"));
}

TEST_F(TokenManagerTest, AForcedTokenSignsButIsNeitherListedNorRemoved)
{
    CComObject<PresenceSink>* sink = nullptr;
    ASSERT_EQ(CComObject<PresenceSink>::CreateInstance(&sink), S_OK);
    sink->AddRef();
    sink->m_manager = m_manager;
    ASSERT_EQ(m_manager->RegisterEventSink(static_cast<ISlotEvents*>(sink)), S_OK);
    const std::string uri = "tokp11:forced";
    qevtest::FakeSlot* slot = Slot(uri, {{"user", "k1", true}});
    EXPECT_EQ(m_manager->SlotEvent(ISlotEvents::CARD_CHANGED, slot), S_OK);
    EXPECT_EQ(SignWith(uri), S_OK);
    EXPECT_FALSE(Has(uri));
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(m_manager->Decrypt(uri.c_str(), "k1", nullptr, nullptr, 0, nullptr, nullptr, nullptr), E_TOKEN_NOTFOUND);
    EXPECT_EQ(m_manager->SlotEvent(ISlotEvents::CARD_REMOVED, slot), S_OK);
    EXPECT_EQ(SignWith(uri), S_OK);
    // Only the removal reached the sink.
    EXPECT_EQ(sink->m_log, std::vector<std::string> {"256 absent"});
    m_manager->UnregisterEventSink(static_cast<ISlotEvents*>(sink));
    sink->Release();
}

TEST_F(TokenManagerTest, SinksHearOfAnInsertBeforeAndOfARemovalAfterTheTokenObject)
{
    CComObject<PresenceSink>* sink = nullptr;
    ASSERT_EQ(CComObject<PresenceSink>::CreateInstance(&sink), S_OK);
    sink->AddRef();
    sink->m_manager = m_manager;
    ASSERT_EQ(m_manager->RegisterEventSink(static_cast<ISlotEvents*>(sink)), S_OK);
    ASSERT_EQ(m_manager->RegisterEventSink(static_cast<ISlotEvents*>(sink)), S_OK);
    qevtest::FakeSlot* slot = Slot("tokkeychain:cert=cc", {{"user", "k1"}});
    m_manager->SlotEvent(ISlotEvents::CARD_INSERTED, slot);
    EXPECT_TRUE(Has("tokkeychain:cert=cc"));
    m_manager->SlotEvent(ISlotEvents::CARD_REMOVED, slot);
    EXPECT_EQ(sink->m_log, (std::vector<std::string> {"512 absent", "512 absent", "256 absent", "256 absent"}));
    // One unregistration removes both entries.
    EXPECT_EQ(m_manager->UnregisterEventSink(static_cast<ISlotEvents*>(sink)), S_OK);
    m_manager->SlotEvent(ISlotEvents::READER_ADDED, slot);
    EXPECT_EQ(sink->m_log.size(), 4u);
    sink->Release();
}

TEST_F(TokenManagerTest, ACardSlotWaitsAndItsReaderItemCarriesTheCard)
{
    const std::string uri = "secpcsc:Reader 1";
    CModelReaders* readers = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelk", "zelk.readersinfo", IID_CModelReaders, reinterpret_cast<void**>(&readers)),
              S_OK);
    CModelReader* reader = nullptr;
    ASSERT_EQ(readers->AddReader(uri.c_str(), &reader), S_OK);
    qevtest::FakeSlot* slot = Slot(uri, {{"user", "k1"}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_manager->CardInsert(slot, false), S_OK);
    // Two waits of 200 ms: the card is asked for once the reader settled.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_TRUE(Has(uri));
    EXPECT_STREQ(reader->GetCardType(), "default");
    EXPECT_STREQ(reader->GetCardSerialNumber(), "serial-1");
    CModelToken* info = nullptr;
    ASSERT_EQ(reader->GetTokenInfo(&info), S_OK);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->GetTokenName(), uri.c_str());
    static_cast<ZELK::PSESVC::IGUIModelToken*>(info)->Release();

    EXPECT_EQ(m_manager->CardRemove(slot), S_OK);
    EXPECT_FALSE(Has(uri));
    EXPECT_STREQ(reader->GetCardType(), "");
    EXPECT_STREQ(reader->GetCardSerialNumber(), "");
    EXPECT_EQ(reader->GetTokenInfo(&info), S_OK);
    EXPECT_EQ(info, nullptr);
    static_cast<ZELK::PSESVC::IGUIModelReader*>(reader)->Release();
    static_cast<ZELK::PSESVC::IGUIModelReaders*>(readers)->Release();
}

TEST_F(TokenManagerTest, ProfileTokensComeOnlyFromTheRegisteredCreator)
{
    const std::string uri = "toksw:mem://kestrin/Work";
    qevtest::FakeSlot* slot = Slot(uri, {{"user", "k1"}});
    struct Case {
        const char* what;
        bool registered;
        HRESULT creator;
        HRESULT answer;
    };
    const Case cases[] = {
        {"no creator", false, S_OK, E_FAIL},
        {"failing creator", true, ZELK_RC(0x80070005), ZELK_RC(0x80070005)},
        {"creator", true, S_OK, S_OK},
    };
    for (const Case& c : cases) {
        CTokenMgr::SetProfileTokenCreator(c.registered ? &CreateProfileToken : nullptr);
        s_creatorResult = c.creator;
        EXPECT_EQ(m_manager->CardInsert(slot, false), c.answer) << c.what;
        EXPECT_EQ(Has(uri), c.answer == S_OK) << c.what;
        EXPECT_EQ(HasModelItem(uri), c.answer == S_OK) << c.what;
    }
    EXPECT_EQ(s_created, (std::vector<std::string> {uri, uri}));
    // The prefix is taken without case.
    qevtest::FakeSlot* upper = Slot("TOKSW:MEM://kestrin/Home", {{"user2", "k5"}});
    EXPECT_EQ(m_manager->CardInsert(upper, false), S_OK);
    EXPECT_EQ(s_created.back(), "TOKSW:MEM://kestrin/Home");
    EXPECT_EQ(m_manager->CardRemove(slot), S_OK);
    EXPECT_FALSE(Has(uri));
}

TEST_F(TokenManagerTest, RecordsAndTrustedCertificatesAppendToWhatTheListHolds)
{
    // Two tokens whose certificates end at the same root, and one whose
    // certificate is its own root.
    const TokenPki& pki = TokenPki::Get();
    Certificate* ca = pki.Cert("ca");
    Certificate* self = pki.Cert("self");
    struct Held {
        const char* name;
        const char* cert;
        Certificate* root;
    };
    std::vector<qevtest::FakeSlot*> held;
    for (const Held& h : {Held {"tokp11:first", "user", ca}, Held {"tokp11:second", "user2", ca},
                          Held {"tokp11:third", "self", self}}) {
        qevtest::FakeSlot* slot = Slot(h.name, {});
        qevtest::FakeToken* token = NewToken(h.name, {});
        Certificate* cert = pki.Cert(h.cert);
        auto* object = new qevtest::FakeCertificateObject(cert, std::string("k-") + h.cert, "label");
        object->SetPath({h.root}, h.root);
        token->AddObject(object);
        object->Release();
        cert->Release();
        slot->SetToken(token);
        token->Release();
        held.push_back(slot);
    }
    for (qevtest::FakeSlot* slot : held)
        ASSERT_EQ(m_manager->CardInsert(slot, false), S_OK);

    SET_OF_PersonalCertificateInfo* seed = nullptr;
    ASSERT_EQ(m_manager->GetPCI(&seed, nullptr), S_OK);
    const std::vector<std::string> once = {"user@tokp11:first", "user2@tokp11:second", "self@tokp11:third"};
    std::vector<std::string> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(Records(seed), twice);

    Certificate* other = pki.Cert("other");
    SET_OF_Certificate* trusted = nullptr;
    SET_OF_Certificate** cursor = &trusted;
    ZELK::PSESVC::AppendCertificate(cursor, other);
    ZELK::PSESVC::AppendCertificate(cursor, ca);
    ASSERT_EQ(m_manager->GetTrustedCertList(&trusted), S_OK);
    std::vector<std::string> names;
    for (auto* node = trusted; node != nullptr; node = node->next)
        names.push_back(Subject(node->element));
    EXPECT_EQ(names, (std::vector<std::string> {Subject(other), Subject(ca), Subject(ca), Subject(self)}));
    SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_Certificate)->free(trusted);
    EXPECT_EQ(m_manager->GetTrustedCertList(nullptr), E_POINTER);
    other->Release();
    ca->Release();
    self->Release();
}

TEST_F(TokenManagerTest, InsertAndRemoveRaceQueriesSafely)
{
    std::vector<qevtest::FakeSlot*> slots;
    for (int i = 0; i < 4; ++i)
        slots.push_back(Slot("tokkeychain:cert=r" + std::to_string(i), {{"user", "k1", true}}));
    std::atomic<bool> done {false};
    std::atomic<int> signatures {0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; ++t)
        readers.emplace_back([&, t] {
            while (!done) {
                if (t == 0) {
                    Records();
                    SET_OF_Certificate* trusted = nullptr;
                    m_manager->GetTrustedCertList(&trusted);
                    SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_Certificate)->free(trusted);
                } else {
                    HRESULT hr = SignWith("tokkeychain:cert=r" + std::to_string(t));
                    EXPECT_TRUE(hr == S_OK || hr == E_TOKEN_NOTFOUND) << std::hex << hr;
                    signatures += hr == S_OK;
                }
            }
        });
    for (int round = 0; round < 40; ++round)
        for (qevtest::FakeSlot* slot : slots) {
            m_manager->SlotEvent(ISlotEvents::CARD_INSERTED, slot);
            if (round % 2)
                m_manager->SlotEvent(ISlotEvents::CARD_REMOVED, slot);
        }
    // The last round removed them: the signers get their tokens once more.
    for (qevtest::FakeSlot* slot : slots)
        m_manager->SlotEvent(ISlotEvents::CARD_INSERTED, slot);
    for (int i = 0; i < 600 && signatures == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    done = true;
    for (std::thread& thread : readers)
        thread.join();
    EXPECT_GT(signatures.load(), 0);
    for (qevtest::FakeSlot* slot : slots)
        m_manager->CardRemove(slot);
    EXPECT_TRUE(Records().empty());
}

}  // namespace
}  // namespace kestrin::tokens::test
