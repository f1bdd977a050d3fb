// The active client of the service's tests: a client record of the real
// model, made the calling thread's active client.
#pragma once

#include <string>

#include "zelk_gui.h"

namespace kestrin::service::test {

// A URL, a description and a dialog (one reference, may be NULL); no active
// client when `url` is empty.
struct FakeClient {
    static void Set(const std::string& url, const std::string& description, ZELK::PSESVC::ICredUI* dialog);
    static void Clear();
};

}  // namespace kestrin::service::test
