// The trust store's key-store provider as the keychain monitor reaches it:
// it counts the marks of its list.
#pragma once

#include <atomic>

namespace kestrin::service::test {

struct FakeTrustKeychain {
    static std::atomic<int> s_dirtyMarks;
};

}  // namespace kestrin::service::test
