// The configuration model "zelk.cfg.policy" of the service's tests: a
// model that records every SetDWORD of the status, and can be absent.
#pragma once

#include <vector>

#include "zelk_result.h"

namespace kestrin::service::test {

struct FakeCfgPolicy {
    // Whether the class can be created (true at start).
    static void SetPresent(bool present);
    // The values given to SetDWORD(0, value), oldest first; Clear forgets them.
    static std::vector<HRESULT> Reports();
    static void Clear();
};

}  // namespace kestrin::service::test
