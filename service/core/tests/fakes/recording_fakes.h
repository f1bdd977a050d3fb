// Recording stand-ins for what the service object creates: the managers and
// monitors of module "zelk", the socket server of "zelkcomsock", the PSE
// factory and the application's host object of "zelkgui". Every creation,
// call, stop and destruction is written to one log in order.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "zelk_result.h"

namespace kestrin::service::test {

struct Recorder {
    static void Reset();
    static void Add(const std::string& entry);
    static std::vector<std::string> Log();

    // Class names whose creation fails (0x80004005).
    static std::set<std::string> s_failing;
    // What the socket server's Connect answers.
    static HRESULT s_connectResult;
};

}  // namespace kestrin::service::test
