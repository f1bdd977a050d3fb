// Headless Chromium as a test peer: a temporary HOME whose NSS database
// trusts one test root for web sites, a fresh profile per page, host names
// mapped to 127.0.0.1, and the page's DOM read once its work is done.
#pragma once

#include <string>
#include <vector>

#include "test_process.h"

namespace kestrin::testsupport {

class Chromium {
public:
    Chromium();

    // Whether the browser is installed here.
    static bool Available();

    // Makes the NSS database and trusts `rootPem` to identify web sites; the
    // reason in `error` when it cannot.
    bool Trust(const std::string& rootPem, std::string& error);

    // Loads `url` with "enrol.test" and "other.test" resolving to 127.0.0.1
    // and answers the DOM the page leaves; empty when the browser did not
    // end within `seconds` (it is then killed).
    std::string DumpDom(const std::string& url, int seconds = 60);

    // Starts the browser on `url` as DumpDom does, but without virtual time
    // and left running until `browser` is stopped; the page reports through
    // the network.
    bool Open(const std::string& url, ChildProcess& browser);

private:
    std::vector<std::string> Arguments();

    TempFolder m_home;
};

}  // namespace kestrin::testsupport
