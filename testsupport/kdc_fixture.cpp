#include "kdc_fixture.h"

#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace kestrin::testsupport {

KdcFixture::KdcFixture() : m_folder("kestrin-kdc-") {}

KdcFixture::~KdcFixture()
{
    Stop();
}

std::map<std::string, std::string> KdcFixture::Environment() const
{
    const std::string& dir = m_folder.path();
    return {{"KRB5_CONFIG", dir + "/krb5.conf"},
            {"KRB5_KDC_PROFILE", dir + "/kdc.conf"},
            {"KRB5CCNAME", "FILE:" + dir + "/ccache"},
            {"KRB5RCACHETYPE", "none"}};
}

void KdcFixture::ExportToProcess() const
{
    for (const auto& [name, value] : Environment())
        setenv(name.c_str(), value.c_str(), 1);
}

std::string KdcFixture::Keytab(const std::string& name) const
{
    return m_folder.path() + "/" + name + ".keytab";
}

bool KdcFixture::Admin(const std::string& query, std::string& error) const
{
    if (RunProgram({"kadmin.local", "-r", kRealm, "-q", query}, Environment()) == 0)
        return true;
    error = "kadmin.local failed: " + query;
    return false;
}

bool KdcFixture::Kinit(const std::string& principal, const std::string& keytab) const
{
    return RunProgram({"kinit", "-k", "-t", keytab, principal}, Environment()) == 0;
}

bool KdcFixture::Start(std::string& error)
{
    const std::string& dir = m_folder.path();
    m_port = FreeLoopbackPort();
    if (dir.empty() || m_port <= 0) {
        error = "no folder or port for the KDC";
        return false;
    }
    const std::string port = std::to_string(m_port);
    std::ofstream(dir + "/krb5.conf") << "[libdefaults]\n default_realm = " << kRealm
                                      << "\n dns_lookup_kdc = false\n dns_lookup_realm = false\n rdns = false\n"
                                         " dns_canonicalize_hostname = false\n udp_preference_limit = 1\n"
                                         "[realms]\n "
                                      << kRealm << " = {\n  kdc = 127.0.0.1:" << port
                                      << "\n }\n[domain_realm]\n localhost = " << kRealm << "\n";
    std::ofstream(dir + "/kdc.conf") << "[kdcdefaults]\n kdc_ports = " << port << "\n kdc_tcp_ports = " << port
                                     << "\n[realms]\n " << kRealm << " = {\n  database_name = " << dir
                                     << "/principal\n  key_stash_file = " << dir << "/stash\n  acl_file = " << dir
                                     << "/kadm5.acl\n }\n[logging]\n kdc = FILE:" << dir << "/kdc.log\n";
    std::ofstream(dir + "/kadm5.acl") << "*/admin@" << kRealm << " *\n";
    if (RunProgram({"kdb5_util", "create", "-s", "-r", kRealm, "-P", "master-pw"}, Environment()) != 0) {
        error = "kdb5_util create failed";
        return false;
    }
    if (!Admin("addprinc -pw " + std::string(kAlicePassword) + " alice", error)
        || !Admin("addprinc -pw admin-pw alice/admin", error) || !Admin("addprinc -randkey HTTP/localhost", error)
        || !Admin("addprinc -randkey QEV/localhost", error)
        || !Admin("ktadd -norandkey -k " + Keytab("alice") + " alice", error)
        || !Admin("ktadd -k " + Keytab("HTTP") + " HTTP/localhost", error)
        || !Admin("ktadd -k " + Keytab("QEV") + " QEV/localhost", error))
        return false;
    if (!m_kdc.Start({"krb5kdc", "-n"}, Environment())) {
        error = "krb5kdc did not start";
        return false;
    }
    // The KDC is ready once it hands out a ticket.
    for (int i = 0; i < 100; ++i) {
        if (Kinit("alice", Keytab("alice")))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    error = "the KDC gave no ticket";
    return false;
}

void KdcFixture::Stop()
{
    m_kdc.Stop();
}

}  // namespace kestrin::testsupport
