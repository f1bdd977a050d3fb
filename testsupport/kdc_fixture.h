// A real MIT Kerberos KDC for tests: a realm in a temporary folder, served on a
// free 127.0.0.1 port by "krb5kdc -n", stopped by its process id. Principals
// "alice" (password "alicepw"), "alice/admin", "HTTP/localhost" and
// "QEV/localhost", each with a keytab; tickets go to a private credential cache.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "test_process.h"

namespace kestrin::testsupport {

class KdcFixture {
public:
    static constexpr const char* kRealm = "KESTRIN.TEST";
    static constexpr const char* kAlicePassword = "alicepw";

    KdcFixture();
    ~KdcFixture();
    KdcFixture(const KdcFixture&) = delete;
    KdcFixture& operator=(const KdcFixture&) = delete;

    // Makes the realm and starts the KDC; false (with `error`) when any step fails.
    bool Start(std::string& error);
    void Stop();

    // KRB5_CONFIG, KRB5_KDC_PROFILE and KRB5CCNAME of this realm.
    std::map<std::string, std::string> Environment() const;
    // Puts Environment() into this process, so that GSSAPI calls here use the realm.
    void ExportToProcess() const;
    // "alice", "HTTP" or "QEV": that principal's keytab.
    std::string Keytab(const std::string& name) const;
    // kinit -k -t of a principal into the private cache.
    bool Kinit(const std::string& principal, const std::string& keytab) const;
    const std::string& folder() const { return m_folder.path(); }

private:
    bool Admin(const std::string& query, std::string& error) const;

    TempFolder m_folder;
    ChildProcess m_kdc;
    int m_port = -1;
};

}  // namespace kestrin::testsupport
