// Change notification inside the process and from other processes.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "pki.h"

namespace kestrin::keystore::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Collects the kinds reported to a callback.
class Recorder {
public:
    ChangeCallback Callback()
    {
        return [this](unsigned kinds) {
            std::lock_guard lock(mutex_);
            calls_.push_back(kinds);
            changed_.notify_all();
        };
    }
    bool WaitFor(unsigned kinds, std::chrono::milliseconds limit)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            for (unsigned k : calls_) {
                if (k & kinds)
                    return true;
            }
            return false;
        });
    }
    std::vector<unsigned> Calls()
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    void Clear()
    {
        std::lock_guard lock(mutex_);
        calls_.clear();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<unsigned> calls_;
};

class NotificationTest : public StoreTest {};

TEST_F(NotificationTest, CallbacksOfThisProcessByKind)
{
    Pki& pki = Pki::Get();
    pki.MakeEndEntity("ee-ec", "ec", "user01", "clientAuth");
    pki.ExportPkcs12("ec-default", "ee-ec", "QEV Kestrin (user01)", false);
    Recorder identities;
    Recorder trust;
    Subscription a;
    Subscription b;
    ASSERT_EQ(store_->Subscribe(kIdentitiesChanged, identities.Callback(), &a), S_OK);
    ASSERT_EQ(store_->Subscribe(kTrustChanged, trust.Callback(), &b), S_OK);
    EXPECT_TRUE(a.Active());

    ASSERT_EQ(store_->ImportPkcs12(pki.P12("ec-default"), "secret", nullptr), S_OK);
    ASSERT_EQ(store_->SetPassword("QEV Hearthgate", "hgt", Bytes {1}), S_OK);
    ASSERT_EQ(store_->SetTrustSetting(TrustDomain::User, pki.Der("ca"), TrustSetting::Trusted), S_OK);
    EXPECT_EQ(store_->DeleteIdentitiesByPrintName("nobody", NameMatch::Exact), S_FALSE);
    EXPECT_EQ(identities.Calls(), std::vector<unsigned> {kIdentitiesChanged});
    EXPECT_EQ(trust.Calls(), std::vector<unsigned> {kTrustChanged});

    a.Reset();
    EXPECT_FALSE(a.Active());
    ASSERT_EQ(store_->DeleteIdentitiesByPrintName("QEV Kestrin ", NameMatch::Prefix), S_OK);
    EXPECT_EQ(identities.Calls().size(), 1u);

    // Our own writes are not reported a second time by the folder watcher.
    std::this_thread::sleep_for(600ms);
    EXPECT_EQ(trust.Calls().size(), 1u);
    EXPECT_EQ(store_->Subscribe(0, identities.Callback(), &a), E_INVALIDARG);
}

TEST_F(NotificationTest, ACallbackMayUnregisterItself)
{
    Subscription sub;
    int calls = 0;
    ASSERT_EQ(store_->Subscribe(
                  kPasswordsChanged,
                  [&](unsigned) {
                      ++calls;
                      sub.Reset();
                  },
                  &sub),
              S_OK);
    ASSERT_EQ(store_->SetPassword("s", "a", Bytes {1}), S_OK);
    ASSERT_EQ(store_->SetPassword("s", "a", Bytes {2}), S_OK);
    EXPECT_EQ(calls, 1);
}

TEST_F(NotificationTest, AnotherProcessChangingTheStoreIsNoticed)
{
    Recorder recorder;
    Subscription sub;
    ASSERT_EQ(store_->Subscribe(kAllChanges, recorder.Callback(), &sub), S_OK);

    const Bytes ca = Pki::Get().Der("ca");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Options options;
        options.path = StorePath();
        std::unique_ptr<KeyStore> other;
        int rc = KeyStore::Open(options, &other) == S_OK ? 0 : 1;
        for (int i = 0; i < 20 && rc == 0; ++i) {
            if (other->SetPassword("child", std::to_string(i), Bytes {1}) != S_OK)
                rc = 1;
        }
        if (rc == 0 && other->SetPassword("QEV Hearthgate", "hgt", Bytes {'n', 'e', 'w'}) != S_OK)
            rc = 1;
        // This process changes no trust setting: a trust change seen there is this one.
        if (rc == 0 && other->SetTrustSetting(TrustDomain::User, ca, TrustSetting::Trusted) != S_OK)
            rc = 1;
        other.reset();
        _exit(rc);
    }
    // Both processes write at the same time; neither loses a change.
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(store_->SetPassword("parent", std::to_string(i), Bytes {2}), S_OK);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

    ASSERT_TRUE(recorder.WaitFor(kTrustChanged, 5s));
    for (unsigned kinds : recorder.Calls())
        EXPECT_EQ(kinds & ~(kPasswordsChanged | kTrustChanged), 0u);
    SecretBytes secret;
    ASSERT_EQ(store_->GetPassword("QEV Hearthgate", "hgt", &secret), S_OK);
    EXPECT_EQ(Bytes(secret.data(), secret.data() + secret.size()), (Bytes {'n', 'e', 'w'}));
    for (const char* service : {"child", "parent"}) {
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(store_->GetPassword(service, std::to_string(i), &secret), S_OK) << service << i;
        }
    }
}

TEST_F(NotificationTest, ABurstOfOutsideChangesIsCoalesced)
{
    std::unique_ptr<KeyStore> other = OpenStore();
    ASSERT_NE(other, nullptr);
    Recorder recorder;
    // The first call holds the watcher until the burst below is written, so
    // that the burst waits in the watcher's queue whatever the machine's speed.
    std::mutex gateMutex;
    std::condition_variable gateOpened;
    bool open = false;
    ChangeCallback record = recorder.Callback();
    Subscription sub;
    ASSERT_EQ(store_->Subscribe(
                  kTrustChanged | kPasswordsChanged,
                  [&](unsigned kinds) {
                      record(kinds);
                      std::unique_lock lock(gateMutex);
                      gateOpened.wait(lock, [&] { return open; });
                  },
                  &sub),
              S_OK);

    ASSERT_EQ(other->SetPassword("svc", "first", Bytes {1}), S_OK);
    ASSERT_TRUE(recorder.WaitFor(kPasswordsChanged, 5s));
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(other->SetPassword("svc", std::to_string(i), Bytes {1}), S_OK);
    }
    ASSERT_EQ(other->SetTrustSetting(TrustDomain::User, Pki::Get().Der("ca"), TrustSetting::Trusted), S_OK);
    {
        std::lock_guard lock(gateMutex);
        open = true;
    }
    gateOpened.notify_all();
    ASSERT_TRUE(recorder.WaitFor(kTrustChanged, 5s));
    std::this_thread::sleep_for(200ms);
    auto calls = recorder.Calls();
    EXPECT_LE(calls.size(), 3u);
    EXPECT_EQ(calls.back(), kTrustChanged | kPasswordsChanged);
}

}  // namespace
}  // namespace kestrin::keystore::test
