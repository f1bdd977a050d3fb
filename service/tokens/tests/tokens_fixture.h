// The runtime around each test in a temporary home: preference files
// (XDG_CONFIG_HOME, XDG_CONFIG_DIRS) and user data (XDG_DATA_HOME), and
// certificates made with the openssl tool.
#pragma once

#include <string>
#include <vector>

#include "qev_values.h"
#include "service_fixture.h"

namespace kestrin::service::test {

class TokensTest : public ServiceTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the user's preference file from a Python dictionary literal
    // (plistlib); before the first use of the policies.
    void Plist(const std::string& dict);
    // A self-signed certificate "CN=<name>" (EC P-256) in the folder:
    // <name>.der and <name>.pem.
    std::vector<uint8_t> MakeCertificate(const std::string& name);
    // The crypto library's certificate of DER bytes (one reference), NULL
    // when they do not decode.
    static Certificate* Decode(const std::vector<uint8_t>& der);
    // Subject texts of a certificate list, in order.
    static std::vector<std::string> Subjects(const SET_OF_Certificate* list);
    static void FreeList(SET_OF_Certificate* list);

    std::string m_dir;
};

// Output of a shell command (with its standard error), trailing newline cut.
std::string Shell(const std::string& command);

}  // namespace kestrin::service::test
