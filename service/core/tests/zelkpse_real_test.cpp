// The service PSE in front of the crypto library's own "pse.zip" in a
// temporary data folder: quiet and asking openings, a new PSE under a new
// password, a corrupt file set aside, headless openings, concurrent openers,
// forwarding and the slots and trust answered beside the real PSE; the
// trusted list, certificate infos, passwords and a signature forwarded to
// the file, with openssl making its content and checking the signature.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_dialog.h"
#include "fakes/fake_slots.h"
#include "fakes/fake_token_calls.h"
#include "qev_attributes.h"
#include "qev_config.h"
#include "qev_results.h"
#include "reader_manager.h"
#include "service_fixture.h"
#include "slot_events.h"
#include "tokens/token_manager.h"
#include "tokens/trust_keychain.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_object.h"
#include "zelkpse.h"

namespace kestrin::service::test {
namespace {

namespace fs = std::filesystem;
using ZELK::PSESVC::CReaderMgr;
using ZELK::PSESVC::ZELKPSE;

API_COMMON* s_pseTable = nullptr;
CLoadAPI s_loadPseTable(nullptr, "SEC_PSE_1", &s_pseTable);

class RealPSETest : public ServiceTest {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zelkpse-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_home = pattern;
        setenv("XDG_DATA_HOME", m_home.c_str(), 1);
        // The trust store reads the key store here and no system CA bundle.
        ZELK::PSESVC::CTrustKeychain::SetSystemAnchors(m_home + "/no-anchors");
        ServiceTest::SetUp();
        Dialogs::Reset();
        TokenCalls::Reset();
        m_asc = new LibraryASC;
        ASSERT_EQ(ZELKPSE::New(m_asc, &m_pse), S_OK);
        m_zelk = static_cast<ZELKPSE*>(m_pse);
    }
    void TearDown() override
    {
        if (m_pse)
            m_pse->Release();
        // Creator's reference only: the service PSE gave back all of its own.
        EXPECT_EQ(m_asc->References(), 1);
        m_asc->Release();
        ServiceTest::TearDown();
        std::error_code ec;
        fs::remove_all(m_home, ec);
    }

    fs::path Folder() const { return fs::path(m_home) / "kestrin"; }
    fs::path File() const { return Folder() / SEC_PSE_FILE_NAME; }

    // A valid "pse.zip" under `password`, made by the library.
    void MakePSE(const char* password)
    {
        const SEC_PSE_TABLE* table = ZELK_ApiCast<SEC_PSE_TABLE>(s_pseTable);
        ASSERT_NE(table, nullptr);
        ASSERT_EQ(table->initialize_PSE(nullptr, password), S_OK);
        ASSERT_TRUE(fs::exists(File()));
    }
    std::vector<fs::path> Files() const
    {
        std::vector<fs::path> files;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(Folder(), ec))
            files.push_back(entry.path().filename());
        return files;
    }
    static size_t Count(const std::vector<std::string>& log, const std::string& prefix)
    {
        size_t n = 0;
        for (const std::string& entry : log)
            n += entry.rfind(prefix, 0) == 0;
        return n;
    }

    std::string m_home;
    LibraryASC* m_asc = nullptr;
    PSE* m_pse = nullptr;
    ZELKPSE* m_zelk = nullptr;
};

TEST_F(RealPSETest, AQuietOpeningNeverAsks)
{
    // No file: the library's own answer, nothing made on disk.
    EXPECT_EQ(m_zelk->needRealPSE(true), E_PSE_NOPSE);
    EXPECT_EQ(Dialogs::Made(), 0);
    EXPECT_FALSE(fs::exists(File()));

    // With a file the quiet opening takes the PSE and leaves it locked.
    MakePSE("pw-1");
    SET_OF_Certificate* trusted = nullptr;
    EXPECT_EQ(m_pse->getTrustedCertList(&trusted), S_OK);
    EXPECT_EQ(trusted, nullptr);
    EXPECT_NE(m_zelk->RealPSE(), nullptr);
    EXPECT_FALSE(m_zelk->LoggedIn());
    EXPECT_EQ(m_zelk->login(true), S_FALSE);
    EXPECT_EQ(Dialogs::Made(), 0);
}

TEST_F(RealPSETest, AnAskingOpeningAsksOnceForTheExistingPSE)
{
    MakePSE("pw-2");
    Dialogs::Confirm("pw-2");
    const char* name = nullptr;
    ASSERT_EQ(m_pse->getPseFileName(&name), S_OK);
    ASSERT_NE(name, nullptr);
    EXPECT_NE(std::string(name).find(File().string()), std::string::npos) << name;
    EXPECT_TRUE(m_zelk->LoggedIn());
    auto log = Dialogs::Log();
    EXPECT_EQ(Count(log, "ask"), 1u);
    EXPECT_EQ(Count(log, "field 1"), 1u);
    EXPECT_EQ(log.back(), "end");

    // Later operations find it open and ask nothing.
    ASSERT_EQ(m_pse->getPseFileName(&name), S_OK);
    EXPECT_EQ(Dialogs::Made(), 1);
}

TEST_F(RealPSETest, AWrongOrCancelledPasswordIsNotAskedAgain)
{
    MakePSE("pw-3");
    for (HRESULT answer : {S_OK, HRESULT(0x80000007), ZELK::PSESVC::CREDUI_E_CANCELLED}) {
        SCOPED_TRACE(answer);
        Dialogs::Reset();
        PSE* pse = nullptr;
        ASSERT_EQ(ZELKPSE::New(m_asc, &pse), S_OK);
        Dialogs::Confirm("wrong");
        if (answer != S_OK)
            Dialogs::Answer(answer);
        const char* name = nullptr;
        EXPECT_EQ(pse->getPseFileName(&name), S_OK);
        EXPECT_FALSE(static_cast<ZELKPSE*>(pse)->LoggedIn());
        EXPECT_EQ(pse->getPseFileName(&name), S_OK);
        EXPECT_EQ(Dialogs::Made(), 1);
        EXPECT_EQ(Dialogs::Log().back(), "end");
        pse->Release();
    }
}

TEST_F(RealPSETest, AMissingPSEIsCreatedUnderANewPasswordAndAdopted)
{
    Dialogs::Confirm("new-pw");
    EXPECT_EQ(m_zelk->needRealPSE(false), S_OK);
    EXPECT_TRUE(fs::exists(File()));
    ASSERT_NE(m_zelk->RealPSE(), nullptr);
    EXPECT_NE(m_zelk->RealPSE(), m_pse);
    EXPECT_TRUE(m_zelk->LoggedIn());
    auto log = Dialogs::Log();
    EXPECT_EQ(Count(log, "field 2"), 1u);
    EXPECT_EQ(Count(log, "field 3"), 1u);
    EXPECT_EQ(Count(log, "ask"), 1u);

    // The file opens under the new password.
    PSE* other = nullptr;
    ASSERT_EQ(m_asc->getOwnPSE(&other), S_OK);
    EXPECT_EQ(other->loginWithPassword(nullptr, reinterpret_cast<const unsigned char*>("new-pw"), 6), S_OK);
    other->Release();
}

TEST_F(RealPSETest, ACancelledCreationLeavesNoFile)
{
    Dialogs::Answer(0x80000007);
    EXPECT_EQ(m_zelk->needRealPSE(false), -1);
    EXPECT_FALSE(fs::exists(File()));
    EXPECT_EQ(m_zelk->RealPSE(), nullptr);
}

TEST_F(RealPSETest, ACorruptFileIsSetAsideAndANewPasswordAskedNext)
{
    fs::create_directories(Folder());
    std::string junk(4096, '\0');
    std::mt19937 random(7);
    for (char& c : junk)
        c = static_cast<char>(random());
    std::ofstream(File(), std::ios::binary).write(junk.data(), static_cast<std::streamsize>(junk.size()));

    SET_OF_String* names = nullptr;
    EXPECT_EQ(m_pse->listApplObjects(&names), -1);
    auto log = Dialogs::Log();
    EXPECT_EQ(Count(log, "update 1"), 1u);
    EXPECT_EQ(Count(log, "ask"), 0u);
    EXPECT_FALSE(fs::exists(File()));
    auto files = Files();
    ASSERT_EQ(files.size(), 1u);
    std::string aside = files[0].string();
    EXPECT_EQ(aside.rfind("pse.zip.corrupt-", 0), 0u) << aside;
    EXPECT_EQ(aside.size(), std::string("pse.zip.corrupt-yyyymmddHHMMSS").size());
    std::ifstream in(Folder() / aside, std::ios::binary);
    std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, junk);

    // The next opening finds no PSE and asks for a new password.
    Dialogs::Reset();
    Dialogs::Confirm("fresh");
    EXPECT_EQ(m_pse->listApplObjects(&names), S_OK);
    EXPECT_EQ(Count(Dialogs::Log(), "field 2"), 1u);
    EXPECT_TRUE(fs::exists(File()));
}

TEST_F(RealPSETest, HeadlessNothingBlocksOrChanges)
{
    Dialogs::Headless(true);
    EXPECT_LT(m_zelk->needRealPSE(false), 0);
    EXPECT_FALSE(fs::exists(Folder() / SEC_PSE_FILE_NAME));

    MakePSE("pw-4");
    EXPECT_EQ(m_zelk->needRealPSE(false), S_OK);
    EXPECT_EQ(m_zelk->login(false), S_FALSE);
    EXPECT_FALSE(m_zelk->LoggedIn());
    EXPECT_EQ(Dialogs::Made(), 0);
}

TEST_F(RealPSETest, ConcurrentOpenersGetOneDialogAndOneReference)
{
    MakePSE("pw-5");
    Dialogs::Confirm("pw-5");
    std::vector<std::thread> threads;
    std::atomic<int> failures {0};
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([this, &failures] {
            const char* name = nullptr;
            if (m_pse->getPseFileName(&name) != S_OK)
                ++failures;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(Dialogs::Made(), 1);
    EXPECT_EQ(m_asc->ownAsked, 1);
    PSE* real = m_zelk->RealPSE();
    ASSERT_NE(real, nullptr);
    EXPECT_EQ(real->AddRef(), 2);
    real->Release();
    EXPECT_TRUE(m_zelk->LoggedIn());
}

TEST_F(RealPSETest, ManyHoldersLeaveTheASCBalanced)
{
    m_pse->AddRef();
    EXPECT_EQ(m_asc->References(), 2);
    m_pse->AddRef();
    EXPECT_EQ(m_asc->References(), 2);
    m_pse->Release();
    m_pse->Release();
    EXPECT_EQ(m_asc->References(), 1);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([this] {
            for (int j = 0; j < 500; ++j) {
                m_pse->AddRef();
                m_pse->Release();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(m_asc->References(), 1);
}

TEST_F(RealPSETest, TheLibraryHandingBackTheServicePSEFails)
{
    m_asc->handBack = m_pse;
    EXPECT_EQ(m_zelk->needRealPSE(true), -1);
    EXPECT_EQ(m_zelk->RealPSE(), nullptr);
    m_asc->handBack = nullptr;
}

TEST_F(RealPSETest, BadArgumentsAndNoASC)
{
    EXPECT_EQ(ZELKPSE::New(m_asc, nullptr), E_POINTER);
    PSE* out = reinterpret_cast<PSE*>(1);
    EXPECT_EQ(ZELKPSE::New(nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(out, nullptr);
    CComObject<ZELKPSE>* bare = nullptr;
    ASSERT_EQ(CComObject<ZELKPSE>::CreateInstance(&bare), S_OK);
    bare->AddRef();
    EXPECT_EQ(bare->needRealPSE(false), -1);
    EXPECT_EQ(bare->loginBySystemParameters(nullptr), E_PSE_NOTSUPPORTED);
    EXPECT_EQ(bare->cpy(&out), -1);
    EXPECT_STREQ(bare->getType(), "PSE");
    bare->Release();
}

// Forwarding to the file: content made by openssl in the test's folder.
class ForwardTest : public RealPSETest {
protected:
    static const SEC_TYPE_TABLE* Type(unsigned int index) { return SEC_TypeTable(fptr__common_types, index); }
    static int Run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()); }
    std::string Path(const std::string& name) const { return m_home + "/" + name; }
    std::string Read(const std::string& name) const
    {
        std::ifstream in(Path(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // A P-256 key `name`.key and its self-signed certificate `name`.pem / .der.
    void MakeCertificate(const std::string& name, const std::string& subject)
    {
        std::string base = Path(name);
        ASSERT_EQ(Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj '" + subject
                      + "' -keyout " + base + ".key -out " + base + ".pem"),
                  0);
        ASSERT_EQ(Run("openssl x509 -in " + base + ".pem -outform DER -out " + base + ".der"), 0);
    }
    Certificate* Decode(const std::string& der)
    {
        OctetString bytes {der.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(der.data()))};
        void* certificate = nullptr;
        EXPECT_EQ(Type(SEC_TYPE_Certificate)->decode(&bytes, &certificate), S_OK);
        return static_cast<Certificate*>(certificate);
    }
    // The DER of each certificate in `list`, which is freed.
    std::vector<std::string> Ders(SET_OF_Certificate* list)
    {
        std::vector<std::string> ders;
        for (SET_OF_Certificate* node = list; node != nullptr; node = node->next) {
            OctetString* der = nullptr;
            EXPECT_EQ(Type(SEC_TYPE_Certificate)->encode(node->element, &der), S_OK);
            if (der != nullptr)
                ders.emplace_back(reinterpret_cast<const char*>(der->data), der->length);
            Type(SEC_TYPE_OctetString)->free(der);
        }
        Type(SEC_TYPE_SET_OF_Certificate)->free(list);
        return ders;
    }
    // The trusted list as the file holds it, read by another file PSE.
    std::vector<std::string> TrustedOnDisk()
    {
        PSE* reader = nullptr;
        EXPECT_EQ(m_asc->getOwnPSE(&reader), S_OK);
        if (reader == nullptr)
            return {};
        SET_OF_Certificate* list = nullptr;
        EXPECT_EQ(reader->getTrustedCertList(&list), S_OK);
        reader->Release();
        return Ders(list);
    }
    // Opens the service PSE's real PSE and logs in under `password`, asked once.
    void LogIn(const char* password)
    {
        Dialogs::Confirm(password);
        ASSERT_EQ(m_zelk->needRealPSE(false), S_OK);
        ASSERT_EQ(m_zelk->login(false), S_OK);
        ASSERT_TRUE(m_zelk->LoggedIn());
    }
};

TEST_F(ForwardTest, TheTrustedListRoundTripsThroughTheFile)
{
    MakeCertificate("trusted", "/O=Kestrin Test/CN=Trusted Root");
    std::string der = Read("trusted.der");
    ASSERT_FALSE(der.empty());
    Certificate* certificate = Decode(der);
    ASSERT_NE(certificate, nullptr);
    MakePSE("pw-t");
    LogIn("pw-t");

    EXPECT_EQ(m_pse->isInTrustedCerts(certificate), S_OK);
    ASSERT_EQ(m_pse->addTrustedCertListItem(certificate), S_OK);
    // The file keeps it; what the service trusts is the trust store's
    // answer, from the key store's trust settings.
    SET_OF_Certificate* list = nullptr;
    ASSERT_EQ(m_pse->getTrustedCertList(&list), S_OK);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(m_pse->isInTrustedCerts(certificate), S_OK);
    EXPECT_EQ(TrustedOnDisk(), std::vector<std::string> {der});
    // The file's own answer for a certificate it holds already.
    EXPECT_EQ(m_pse->addTrustedCertListItem(certificate), S_FALSE);

    ASSERT_EQ(m_pse->deleteTrustedCertListItem(certificate->getSubject(), 0), S_OK);
    list = nullptr;
    ASSERT_EQ(m_pse->getTrustedCertList(&list), S_OK);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(m_pse->isInTrustedCerts(certificate), S_OK);
    EXPECT_TRUE(TrustedOnDisk().empty());
    EXPECT_EQ(m_pse->deleteTrustedCertListItem(certificate->getSubject(), 0), S_FALSE);
    EXPECT_EQ(Dialogs::Made(), 1);
    certificate->Release();
}

TEST_F(ForwardTest, CertificateInfosAndPasswordsKeepTheFilesNotSupported)
{
    MakePSE("pw-n");
    LogIn("pw-n");
    void* made = nullptr;
    ASSERT_EQ(Type(SEC_TYPE_PersonalCertificateInfo)->new_node(&made), S_OK);
    auto* info = static_cast<PersonalCertificateInfo*>(made);
    EXPECT_EQ(m_pse->addCertInfoListItem(info), E_PSE_NOTSUPPORTED);
    EXPECT_EQ(m_pse->deleteCertInfoListItem("toksw:pse", "01", "label", 0), E_PSE_NOTSUPPORTED);
    Type(SEC_TYPE_PersonalCertificateInfo)->free(info);

    SET_OF_PIN_Info* passwords = reinterpret_cast<SET_OF_PIN_Info*>(1);
    EXPECT_EQ(m_pse->getPasswordList(&passwords), E_PSE_NOTSUPPORTED);
    EXPECT_EQ(passwords, nullptr);
    EXPECT_EQ(m_pse->addPasswordListItem("a", "b", "c", "d", "e"), E_PSE_NOTSUPPORTED);
    EXPECT_EQ(m_pse->deletePasswordListItem("a", "b", "c", "d", "e", 0), E_PSE_NOTSUPPORTED);

    // The certificate infos come from the token manager, none here.
    SET_OF_PersonalCertificateInfo* infos = nullptr;
    EXPECT_EQ(m_pse->getCertInfoList(&infos), S_OK);
    EXPECT_EQ(infos, nullptr);
    EXPECT_EQ(Dialogs::Made(), 1);
}

TEST_F(ForwardTest, ASignatureFallsBackToTheFilesIdentity)
{
    MakeCertificate("own", "/O=Kestrin Test/CN=Own Identity");
    fs::create_directories(Folder());
    ASSERT_EQ(Run("openssl pkcs12 -export -name own -passout pass:pw-s -inkey " + Path("own.key") + " -in "
                  + Path("own.pem") + " -out " + File().string()),
              0);
    ASSERT_EQ(Run("printf kestrin > " + Path("data") + " && openssl dgst -sha256 -binary -out " + Path("digest") + " "
                  + Path("data")),
              0);
    ASSERT_EQ(Run("openssl x509 -in " + Path("own.pem") + " -pubkey -noout -out " + Path("own.pub")), 0);
    std::string digest = Read("digest");
    ASSERT_EQ(digest.size(), 32u);
    const auto* in = reinterpret_cast<const unsigned char*>(digest.data());

    TokenCalls::s_signResult = E_TOKEN_NOTFOUND;
    char uri[] = "toksw:pse";
    SECAttribute withUri {SEC_ATTR_TOKEN_URI, uri, 0, 0, 0, nullptr, nullptr};
    unsigned char out[256];
    unsigned long outLength = sizeof out;

    // The fall-back opens quietly: without the password the file's answer comes back.
    EXPECT_EQ(m_pse->encryptDigest(nullptr, &withUri, in, 32, out, &outLength), E_PSE_NOTLOGGEDIN);
    EXPECT_EQ(Dialogs::Made(), 0);

    LogIn("pw-s");
    SET_OF_PersonalCertificateInfo* infos = nullptr;
    ASSERT_EQ(m_zelk->RealPSE()->getOwnCertificate(nullptr, nullptr, &infos), S_OK);
    ASSERT_NE(infos, nullptr);
    ASSERT_NE(infos->element->keyId, nullptr);
    std::string keyId = infos->element->keyId;
    Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(infos);
    SECAttribute key {SEC_ATTR_KEY_ID, keyId.data(), 0, 0, 0, nullptr, nullptr};
    withUri.next = &key;
    TokenCalls::Reset();
    TokenCalls::s_signResult = E_TOKEN_NOTFOUND;

    outLength = sizeof out;
    ASSERT_EQ(m_pse->encryptDigest(nullptr, &withUri, in, 32, out, &outLength), S_OK);
    EXPECT_EQ(TokenCalls::Calls(), std::vector<std::string> {"sign toksw:pse|" + keyId});
    std::ofstream(Path("signature"), std::ios::binary)
        .write(reinterpret_cast<const char*>(out), static_cast<std::streamsize>(outLength));
    std::string verify = "openssl pkeyutl -verify -pubin -inkey " + Path("own.pub") + " -sigfile " + Path("signature");
    EXPECT_EQ(Run(verify + " -in " + Path("digest")), 0);
    // The check means something: another digest is refused.
    ASSERT_EQ(Run("printf other | openssl dgst -sha256 -binary -out " + Path("other")), 0);
    EXPECT_NE(Run(verify + " -in " + Path("other")), 0);
}

class SlotsTest : public RealPSETest {
protected:
    void SetUp() override
    {
        RealPSETest::SetUp();
        FakeSlots::Clear();
        CReaderMgr::s_scanPollMilliseconds = 1;
        ASSERT_EQ(CSingletonFactoryImpl<CReaderMgr>::New(&m_readers), S_OK);
        for (const char* name : {"secpcsc:a", "secpcsc:b", "secpcsc:c"})
            m_readers->ReaderAdd(name);
    }
    void TearDown() override
    {
        m_readers->Release();
        RealPSETest::TearDown();
        FakeSlots::Clear();
    }
    CReaderMgr* m_readers = nullptr;
};

TEST_F(SlotsTest, SlotsComeAfterTheRealPSEsWithinTheCapacity)
{
    SecSlot* slots[2] = {nullptr, nullptr};
    EXPECT_EQ(m_pse->getSlots(slots, nullptr), E_INVALIDARG);
    EXPECT_EQ(slots[0], nullptr);

    unsigned long count = 0;
    EXPECT_EQ(m_pse->getSlots(nullptr, &count), S_OK);
    EXPECT_EQ(count, 3u);
    count = 2;
    EXPECT_EQ(m_pse->getSlots(slots, &count), S_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(slots[0], FakeSlots::Get("secpcsc:a"));
    EXPECT_EQ(slots[1], FakeSlots::Get("secpcsc:b"));
    for (SecSlot* slot : slots)
        slot->Release();
    count = 0;
    EXPECT_EQ(m_pse->getSlots(slots, &count), S_OK);
    EXPECT_EQ(count, 0u);
}

TEST_F(SlotsTest, AKnownReaderNeverOpensTheRealPSE)
{
    MakePSE("pw-6");
    SecSlot* slot = nullptr;
    EXPECT_EQ(m_pse->getSlotByName(&slot, "secpcsc:b", 0), S_OK);
    EXPECT_EQ(slot, FakeSlots::Get("secpcsc:b"));
    slot->Release();
    EXPECT_EQ(m_zelk->RealPSE(), nullptr);
    EXPECT_EQ(m_asc->ownAsked, 0);

    // Other names go to the real PSE, quietly.
    EXPECT_NE(m_pse->getSlotByName(&slot, "nosuch:x", 0), S_OK);
    EXPECT_EQ(slot, nullptr);
    EXPECT_NE(m_zelk->RealPSE(), nullptr);
    EXPECT_EQ(Dialogs::Made(), 0);
    EXPECT_EQ(m_pse->getSlotByName(nullptr, "secpcsc:b", 0), E_INVALIDARG);
    EXPECT_EQ(m_pse->getSlotByName(&slot, nullptr, 0), E_INVALIDARG);
}

TEST_F(SlotsTest, TokensComeFromTheTokenManagerThenTheRealPSE)
{
    SecToken* token = nullptr;
    EXPECT_EQ(m_pse->getTokenByName(&token, "toksw:mem://kestrin/x", 0), E_PSE_NOPSE);
    EXPECT_EQ(token, nullptr);
    EXPECT_EQ(TokenCalls::Calls(), std::vector<std::string> {"token toksw:mem://kestrin/x"});
    EXPECT_EQ(m_pse->getTokenByName(nullptr, "x", 0), E_INVALIDARG);
    EXPECT_EQ(m_pse->getTokenByName(&token, nullptr, 0), E_INVALIDARG);
}

TEST_F(SlotsTest, SlotEventsReachTheObjectThroughTheTokenManager)
{
    EXPECT_EQ(m_pse->getSlotEvents(nullptr), S_OK);
    SecSlotEvents* events = nullptr;
    ASSERT_EQ(m_pse->getSlotEvents(&events), S_OK);
    ASSERT_NE(events, nullptr);
    ZELK::PSESVC::CTokenMgr* tokens = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<ZELK::PSESVC::CTokenMgr>::New(&tokens), S_OK);
    tokens->ForwardEvent(ZELK::PSESVC::ISlotEvents::CARD_INSERTED, FakeSlots::Get("secpcsc:b"));
    SecSlot* slot = nullptr;
    EXPECT_EQ(events->wait(ZELK::PSESVC::WAIT_DONT_BLOCK, &slot), S_OK);
    EXPECT_EQ(slot, FakeSlots::Get("secpcsc:b"));
    if (slot)
        slot->Release();
    ZELK::PSESVC::ISlotEvents* sink = static_cast<ZELK::PSESVC::ZELKSlotEvents*>(events);
    tokens->UnregisterEventSink(sink);
    tokens->Release();
    events->Release();
}

}  // namespace
}  // namespace kestrin::service::test
