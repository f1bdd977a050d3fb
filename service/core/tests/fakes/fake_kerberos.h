// The Kerberos token for the connection broker's tests: tickets for any
// principal (or a scripted failure), the login verb's answer, and whether
// the process has Kerberos support at all.
#pragma once

#include <string>
#include <vector>

#include "zelk_result.h"

namespace kestrin::service::test {

struct FakeKerberos {
    static void Reset();
    static void Enabled(bool on);
    static void TicketResult(HRESULT result);
    static void ReauthResult(HRESULT result);
    // "ticket <principal>", "verb.reauth", "impersonate end", in order.
    static std::vector<std::string> Calls();
    static size_t Count(const std::string& call);
};

// The ticket and session key every ticket carries, and their algorithm.
inline constexpr const char* kFakeTicket = "ticket-bytes";
inline constexpr const char* kFakeSessionKey = "session-key";
inline constexpr unsigned kFakeKeyAlgorithm = 18;

}  // namespace kestrin::service::test
