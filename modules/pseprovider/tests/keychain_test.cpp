// The key-store PSE: own certificates re-read from the key store, trusted
// roots from its trust settings, slot events on changes (also by another
// process), Kerberos tickets as application objects from a real KDC, and
// signing while the key store changes underneath. Each test that fills a key
// store does so in a child process with a key store of its own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kdc_fixture.h"
#include "keystore.h"
#include "provider_environment.h"
#include "qev_attributes.h"
#include "qev_results.h"
#include "test_pki.h"
#include "test_process.h"
#include "zelk_holders.h"
#include "zelk_loader.h"

namespace ZELK::ZELKPSE::test {
namespace {

using kestrin::keystore::KeyStore;
using Names = std::multiset<std::string>;

const SEC_TYPE_TABLE* Type(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

std::string CommonName(Certificate* certificate)
{
    char* name = nullptr;
    std::string text;
    if (certificate != nullptr && SUCCEEDED(certificate->getSubjectCommonName(&name)) && name != nullptr)
        text = name;
    Type(SEC_TYPE_String)->free(name);
    return text;
}

Names Own(PSE* pse)
{
    SET_OF_PersonalCertificateInfo* own = nullptr;
    pse->getOwnCertificate(nullptr, nullptr, &own);
    Names names;
    for (SET_OF_PersonalCertificateInfo* node = own; node != nullptr; node = node->next)
        names.insert(CommonName(node->element->certificate));
    Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(own);
    return names;
}

Names Trusted(PSE* pse)
{
    SET_OF_Certificate* list = nullptr;
    pse->getTrustedCertList(&list);
    Names names;
    for (SET_OF_Certificate* node = list; node != nullptr; node = node->next)
        names.insert(CommonName(node->element));
    Type(SEC_TYPE_SET_OF_Certificate)->free(list);
    return names;
}

class KeychainPSE : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        s_pki = TestHome() + "/pki";
        if (mkdir(s_pki.c_str(), 0700) == 0) {
            ASSERT_TRUE(MakeTestPki(s_pki));
        }
    }

    // In a child: a key store of its own for this process.
    static std::unique_ptr<KeyStore> FreshStore(const char* name)
    {
        std::string data = TestHome() + "/" + name;
        mkdir(data.c_str(), 0700);
        setenv("XDG_DATA_HOME", data.c_str(), 1);
        std::unique_ptr<KeyStore> store;
        KeyStore::Open(kestrin::keystore::Options {}, &store);
        return store;
    }

    static inline std::string s_pki;
};

TEST_F(KeychainPSE, AuthorityCertificatesGiveWayToEndEntities)
{
    IN_CHILD({
        std::unique_ptr<KeyStore> store = FreshStore("authorities");
        CHILD_CHECK(store != nullptr);
        for (const char* name : {"R", "I", "sign"})
            CHILD_CHECK(ImportIdentity(*store, s_pki, name));
        PSE* pse = NamedPSE("tokkeychain:cfg=KVWC+KVC");
        CHILD_CHECK(pse != nullptr);
        CHILD_CHECK(Own(pse) == Names {"sign"});
        CHILD_CHECK(Own(pse) == Names {"sign"});
        // Only authorities left: the one that issued another goes.
        kestrin::keystore::Fingerprint sha1 {};
        CHILD_CHECK(kestrin::keystore::CertificateSha1(ReadBytes(s_pki + "/sign.der"), &sha1) == S_OK);
        CHILD_CHECK(store->DeleteIdentity(sha1, kestrin::keystore::DeletePart::Both) == S_OK);
        CHILD_CHECK(Own(pse) == Names {"I"});
        unsigned long count = 0;
        CHILD_CHECK(pse->getSlots(nullptr, &count) == S_OK && count == 1);
        pse->Release();
    });
}

TEST_F(KeychainPSE, TrustedRootsComeFromTheTrustSettingsThatTrustThem)
{
    IN_CHILD({
        using kestrin::keystore::TrustDomain;
        using kestrin::keystore::TrustSetting;
        std::unique_ptr<KeyStore> store = FreshStore("trust");
        CHILD_CHECK(store != nullptr);
        CHILD_CHECK(ImportIdentity(*store, s_pki, "sign"));
        CHILD_CHECK(store->SetTrustSetting(TrustDomain::User, ReadBytes(s_pki + "/R.der"), TrustSetting::Trusted)
                    == S_OK);
        CHILD_CHECK(store->SetTrustSetting(TrustDomain::System, ReadBytes(s_pki + "/R.der"), TrustSetting::Trusted)
                    == S_OK);
        CHILD_CHECK(store->SetTrustSetting(TrustDomain::Admin, ReadBytes(s_pki + "/R2.der"), TrustSetting::Deny)
                    == S_OK);
        CHILD_CHECK(store->SetTrustSetting(TrustDomain::User, ReadBytes(s_pki + "/I2.der"), TrustSetting::Unspecified)
                    == S_OK);
        CHILD_CHECK(store->SetTrustSetting(TrustDomain::Admin, ReadBytes(s_pki + "/I.der"), TrustSetting::Trusted)
                    == S_OK);

        // "tokkeychain:-": no slot, no token, the trusted roots all the same.
        PSE* none = NamedPSE("tokkeychain:-");
        CHILD_CHECK(none != nullptr);
        CHILD_CHECK(Trusted(none) == (Names {"R", "R", "I"}));
        CHILD_CHECK(Own(none).empty());
        unsigned long count = 3;
        CHILD_CHECK(none->getSlots(nullptr, &count) == S_OK && count == 0);
        unsigned char digest[32] = {};
        unsigned char out[256];
        unsigned long length = sizeof out;
        CHILD_CHECK(none->encryptDigest(nullptr, nullptr, digest, sizeof digest, out, &length) == E_TOKEN_NOKEY);
        Certificate* denied = nullptr;
        std::vector<uint8_t> der = ReadBytes(s_pki + "/R2.der");
        OctetString bytes {der.size(), der.data()};
        CHILD_CHECK(Type(SEC_TYPE_Certificate)->decode(&bytes, reinterpret_cast<void**>(&denied)) == S_OK);
        CHILD_CHECK(none->isInTrustedCerts(denied) == 0);
        denied->Release();
        none->Release();
    });
}

TEST_F(KeychainPSE, SlotEventsReportChangesByAnotherProcessAndEndOnCancel)
{
    IN_CHILD({
        std::unique_ptr<KeyStore> store = FreshStore("events");
        CHILD_CHECK(store != nullptr);
        PSE* pse = NamedPSE("tokkeychain:cfg=KVWC+KVC");
        CHILD_CHECK(pse != nullptr);
        SecSlotEvents* events = nullptr;
        SecSlotEvents* second = nullptr;
        CHILD_CHECK(pse->getSlotEvents(&events) == S_OK && events != nullptr);
        CHILD_CHECK(pse->getSlotEvents(&second) == S_OK && second != nullptr && second != events);
        // The PSE may go first: its events keep it.
        pse->Release();

        SecSlot* slot = reinterpret_cast<SecSlot*>(0x1);
        CHILD_CHECK(events->wait(SLOT_EVENT_DONT_BLOCK, &slot) == SLOT_EVENT_NONE && slot == nullptr);

        std::string child = std::string(ZELK_FindOwnModuleDir()) + "/zelkpse_keystore_child";
        CHILD_CHECK(kestrin::testsupport::RunProgram({child, "import", s_pki + "/sign.p12"}, {}) == 0);
        CHILD_CHECK(events->wait(0, &slot) == S_OK && slot != nullptr);
        const char* name = nullptr;
        CHILD_CHECK(slot->getSlotName(&name) == S_OK && std::strcmp(name, "tokkeychain:cfg=KVWC+KVC") == 0);
        slot->Release();
        CHILD_CHECK(events->wait(SLOT_EVENT_DONT_BLOCK, &slot) == SLOT_EVENT_NONE);

        // The second object reports the same change on its own.
        CHILD_CHECK(second->wait(SLOT_EVENT_DONT_BLOCK, &slot) == S_OK && slot != nullptr);
        slot->Release();
        // A waiter on another thread ends when the object is cancelled.
        std::atomic<HRESULT> result {S_OK};
        std::thread waiter([&] {
            SecSlot* none = nullptr;
            result = second->wait(0, &none);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        CHILD_CHECK(second->cancel() == S_OK);
        waiter.join();
        CHILD_CHECK(result == SLOT_EVENT_CANCELLED);
        CHILD_CHECK(second->wait(SLOT_EVENT_DONT_BLOCK, &slot) == SLOT_EVENT_CANCELLED && slot == nullptr);
        second->Release();
        events->Release();
    });
}

TEST_F(KeychainPSE, KerberosTicketsAsApplicationObjects)
{
    kestrin::testsupport::KdcFixture kdc;
    std::string error;
    ASSERT_TRUE(kdc.Start(error)) << error;
    kdc.ExportToProcess();
    ASSERT_TRUE(kdc.Kinit("alice", kdc.Keytab("alice")));
    PSE* pse = NamedPSE("tokkeychain:-");
    ASSERT_NE(pse, nullptr);
    OctetString* blob = nullptr;
    ASSERT_EQ(pse->readApplObject("Kerberos-CN=localhost", &blob), S_OK);
    ASSERT_NE(blob, nullptr);
    // The target's length and text come first.
    const std::string target = "QEV/localhost";
    ASSERT_GT(blob->length, 4 + target.size());
    uint32_t length = 0;
    std::memcpy(&length, blob->data, sizeof length);
    EXPECT_EQ(length, target.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(blob->data) + 4, target.size()), target);
    Type(SEC_TYPE_OctetString)->free(blob);

    EXPECT_EQ(pse->readApplObject("kerberos-CN=localhost", &blob), E_PSE_NOTSUPPORTED);
    EXPECT_EQ(pse->readApplObject("CN=localhost", &blob), E_PSE_NOTSUPPORTED);
    EXPECT_EQ(pse->readApplObject("Kerberos-CN=localhost", nullptr), E_PSE_NOARG);
    // No ticket for an unknown service.
    EXPECT_EQ(pse->readApplObject("Kerberos-CN=nowhere.invalid", &blob), E_FAIL);
    EXPECT_EQ(blob, nullptr);
    pse->Release();
}

// Two threads sign while a third adds and deletes identities: each signer
// keeps the snapshot it took while the PSE swaps in new ones.
TEST_F(KeychainPSE, SigningWhileTheKeyStoreChanges)
{
    IN_CHILD({
        std::unique_ptr<KeyStore> store = FreshStore("signing");
        CHILD_CHECK(store != nullptr);
        CHILD_CHECK(ImportIdentity(*store, s_pki, "sign"));
        PSE* pse = NamedPSE("tokkeychain:cfg=KVWC+KVC");
        CHILD_CHECK(pse != nullptr);
        SET_OF_PersonalCertificateInfo* own = nullptr;
        CHILD_CHECK(pse->getOwnCertificate(nullptr, nullptr, &own) == S_OK && own != nullptr);
        std::string keyId = own->element->keyId;
        Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(own);

        std::atomic<bool> stop {false};
        std::atomic<int> signatures {0};
        std::atomic<int> failures {0};
        auto signer = [&] {
            SECAttribute attribute = Attribute(SEC_ATTR_KEY_ID, keyId.c_str());
            unsigned char digest[32] = {7};
            while (!stop) {
                unsigned char signature[256];
                unsigned long length = sizeof signature;
                if (pse->encryptDigest(nullptr, &attribute, digest, sizeof digest, signature, &length) == S_OK)
                    ++signatures;
                else
                    ++failures;
                Own(pse);
            }
        };
        std::thread a(signer);
        std::thread b(signer);
        std::thread changer([&] {
            for (int i = 0; i < 20; ++i) {
                const char* name = i % 2 ? "nonrep" : "encipher";
                ImportIdentity(*store, s_pki, name);
                kestrin::keystore::Fingerprint sha1 {};
                kestrin::keystore::CertificateSha1(ReadBytes(s_pki + "/" + name + ".der"), &sha1);
                store->DeleteIdentity(sha1, kestrin::keystore::DeletePart::Both);
            }
            stop = true;
        });
        changer.join();
        a.join();
        b.join();
        CHILD_CHECK(signatures > 0);
        CHILD_CHECK(failures == 0);
        pse->Release();
    });
}

}  // namespace
}  // namespace ZELK::ZELKPSE::test
