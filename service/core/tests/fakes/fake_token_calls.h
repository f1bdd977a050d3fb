// Scripted answers of the token manager's token operations and the
// connection broker, recording every call ("login tok|target", "action x").
#pragma once

#include <string>
#include <vector>

#include "zelk_result.h"

namespace kestrin::service::test {

struct TokenCalls {
    static void Reset();
    static void Add(const std::string& call);
    static std::vector<std::string> Calls();

    static HRESULT s_result;  // what Login, Logout and GetIsEnrolled answer
};

}  // namespace kestrin::service::test
