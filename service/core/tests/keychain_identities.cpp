#include "keychain_identities.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

#include "test_process.h"

namespace kestrin::service::test {

bool MakeKeychainIdentity(const std::string& folder, const std::string& name, const std::string& key,
                          const std::string& subject, const std::string& friendlyName, KeychainIdentity* out)
{
    const std::string base = folder + "/" + name;
    std::string command = "openssl req -x509 -newkey " + key + " -nodes -days 30 -subj '" + subject + "' -keyout '"
                          + base + ".key' -out '" + base + ".pem' && openssl pkcs12 -export -in '" + base
                          + ".pem' -inkey '" + base + ".key' -name '" + friendlyName + "' -passout pass:secret -out '"
                          + base + ".p12' && openssl x509 -in '" + base + ".pem' -outform DER -out '" + base + ".der'";
    if (testsupport::RunProgram({"sh", "-c", "(" + command + ") 2>/dev/null"}, {}) != 0)
        return false;
    std::string printed;
    if (testsupport::RunProgram({"openssl", "x509", "-in", base + ".pem", "-noout", "-fingerprint", "-sha1"}, {},
                                &printed)
        != 0)
        return false;
    // "SHA1 Fingerprint=AB:CD:..."
    size_t equals = printed.find('=');
    if (equals == std::string::npos)
        return false;
    std::string digest;
    for (char c : printed.substr(equals + 1))
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digest += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (digest.size() != 40)
        return false;
    std::ifstream in(base + ".p12", std::ios::binary);
    out->bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::ifstream der(base + ".der", std::ios::binary);
    out->certificate.assign(std::istreambuf_iterator<char>(der), std::istreambuf_iterator<char>());
    out->p12 = base + ".p12";
    out->slot = "tokkeychain:cert=" + digest;
    return !out->bytes.empty() && !out->certificate.empty();
}

}  // namespace kestrin::service::test
