#include "chromium_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <vector>

namespace kestrin::testsupport {

namespace {

constexpr char kBrowser[] = "/usr/bin/chromium";

}  // namespace

Chromium::Chromium() : m_home("kestrin-chromium-") {}

bool Chromium::Available()
{
    return access(kBrowser, X_OK) == 0 && access("/usr/bin/certutil", X_OK) == 0;
}

bool Chromium::Trust(const std::string& rootPem, std::string& error)
{
    const std::string pki = m_home.path() + "/.pki";
    const std::string db = "sql:" + pki + "/nssdb";
    if (m_home.path().empty() || mkdir(pki.c_str(), 0700) != 0 || mkdir((pki + "/nssdb").c_str(), 0700) != 0) {
        error = "no NSS database folder";
        return false;
    }
    if (RunProgram({"certutil", "-N", "-d", db, "--empty-password"}, {}) != 0) {
        error = "certutil -N failed";
        return false;
    }
    // "C,,": a CA trusted to issue server certificates, nothing else.
    if (RunProgram({"certutil", "-A", "-d", db, "-n", "Kestrin Test Root", "-t", "C,,", "-i", rootPem}, {}) != 0) {
        error = "certutil -A failed";
        return false;
    }
    return true;
}

std::vector<std::string> Chromium::Arguments()
{
    static int s_profiles = 0;
    const std::string profile = m_home.path() + "/profile-" + std::to_string(++s_profiles);
    return {kBrowser,
            "--headless",
            "--no-sandbox",
            "--disable-gpu",
            "--disable-quic",
            "--no-first-run",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--user-data-dir=" + profile,
            "--host-resolver-rules=MAP enrol.test 127.0.0.1, MAP other.test 127.0.0.1"};
}

bool Chromium::Open(const std::string& url, ChildProcess& browser)
{
    std::vector<std::string> args = Arguments();
    args.push_back(url);
    return browser.Start(args, {{"HOME", m_home.path()}});
}

std::string Chromium::DumpDom(const std::string& url, int seconds)
{
    std::vector<std::string> args = Arguments();
    args.insert(args.end(), {"--virtual-time-budget=20000", "--dump-dom", url});
    const std::map<std::string, std::string> env {{"HOME", m_home.path()}};
    ChildProcess browser;
    if (!browser.Start(args, env))
        return "";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::string dom;
    std::string line;
    bool ended = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        if (!browser.ReadLine(line, static_cast<int>(left.count()))) {
            ended = std::chrono::steady_clock::now() < deadline;
            break;
        }
        dom += line + "\n";
    }
    browser.Stop();
    return ended ? dom : "";
}

}  // namespace kestrin::testsupport
