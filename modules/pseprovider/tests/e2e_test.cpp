// The whole road of a signature: a client program that links only the crypto
// library signs and decrypts with identities of the user's key store through
// "zelkpse", the remoting proxy, the socket and KestrinClient's service PSE;
// OpenSSL checks the results.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "keystore.h"
#include "test_process.h"
#include "zelk_loader.h"

extern char** environ;

namespace ZELK::ZELKPSE::test {
namespace {

using kestrin::testsupport::ChildProcess;
using kestrin::testsupport::RunProgram;
using kestrin::testsupport::TempFolder;

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool Shell(const std::string& command)
{
    return RunProgram({"sh", "-c", "(" + command + ") 2>/dev/null"}, {}) == 0;
}

// An identity made by openssl: certificate (PEM and DER), public key and
// PKCS#12 file (password "secret") in `folder`.
struct Identity {
    std::string base;
    std::string der() const { return base + ".der"; }
    std::string pub() const { return base + ".pub.pem"; }
    std::string p12() const { return base + ".p12"; }
};

bool MakeIdentity(const std::string& folder, const std::string& name, const std::string& key, Identity* out)
{
    out->base = folder + "/" + name;
    const std::string& b = out->base;
    return Shell("openssl req -x509 -newkey " + key + " -nodes -days 30 -subj '/O=Kestrin Test/CN=" + name
                 + "' -addext 'keyUsage=digitalSignature,keyEncipherment' -keyout '" + b + ".key' -out '" + b
                 + ".pem' && openssl pkcs12 -export -in '" + b + ".pem' -inkey '" + b
                 + ".key' -passout pass:secret -out '" + b + ".p12' && openssl x509 -in '" + b
                 + ".pem' -outform DER -out '" + b + ".der' && openssl x509 -in '" + b + ".pem' -noout -pubkey > '" + b
                 + ".pub.pem'");
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_home = m_folder.path() + "/home";
        ASSERT_EQ(mkdir(m_home.c_str(), 0700), 0);
        for (const char* sub : {"/run", "/data", "/config", "/state"})
            ASSERT_EQ(mkdir((m_home + sub).c_str(), 0700), 0);
        setenv("HOME", m_home.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (m_home + "/run").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_home + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (m_home + "/config").c_str(), 1);
        setenv("XDG_STATE_HOME", (m_home + "/state").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        unsetenv("QEV_KVWC_MODE");
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        m_socket = m_home + "/run/kestrin/org.kestrin.client." + std::to_string(getuid());
        m_tests = ZELK_FindOwnModuleDir();

        ASSERT_TRUE(MakeIdentity(m_folder.path(), "rsa", "rsa:2048", &m_rsa));
        ASSERT_TRUE(MakeIdentity(m_folder.path(), "ec", "ec -pkeyopt ec_paramgen_curve:P-256", &m_ec));
        std::unique_ptr<kestrin::keystore::KeyStore> store;
        ASSERT_EQ(kestrin::keystore::KeyStore::Open(kestrin::keystore::Options {}, &store), S_OK);
        for (const Identity* identity : {&m_rsa, &m_ec}) {
            std::ifstream in(identity->p12(), std::ios::binary);
            std::vector<uint8_t> bytes {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
            kestrin::keystore::Pkcs12Import imported;
            ASSERT_EQ(store->ImportPkcs12(bytes, "secret", &imported), S_OK);
        }
        std::ofstream(Path("data.bin")) << "The quick brown fox signs over the lazy socket.\n";
    }

    void TearDown() override
    {
        for (pid_t pid : m_services)
            Stop(pid);
    }

    std::string Path(const std::string& name) const { return m_folder.path() + "/" + name; }

    pid_t StartService(const std::string& name)
    {
        std::string program = m_tests + "/../bin/KestrinClient";
        std::string err = Path(name + ".err");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        char headless[] = "--headless";
        char* argv[] = {program.data(), headless, nullptr};
        pid_t pid = -1;
        int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            return -1;
        m_services.push_back(pid);
        return pid;
    }

    // SIGTERM, then SIGKILL when it has not ended in time; reaps it when it
    // is this process's child. Its exit status, -1 when it was killed or is
    // not this process's child.
    int Stop(pid_t pid)
    {
        kill(pid, SIGTERM);
        int status = -1;
        bool child = true;
        bool ended = WaitFor(
            [&] {
                int raw = 0;
                pid_t r = waitpid(pid, &raw, WNOHANG);
                if (r == pid && WIFEXITED(raw))
                    status = WEXITSTATUS(raw);
                if (r < 0)
                    child = false;
                return r == pid || (r < 0 && kill(pid, 0) != 0);
            },
            std::chrono::seconds(30));
        if (!ended) {
            kill(pid, SIGKILL);
            if (child)
                waitpid(pid, nullptr, 0);
        }
        std::erase(m_services, pid);
        return status;
    }

    // The service's socket accepts and answers the session handshake; the
    // service's process id as the socket reports it, -1 when it does not.
    pid_t Handshake() const
    {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", m_socket.c_str());
        pid_t pid = -1;
        uint32_t frame[2] = {sizeof(uint32_t), 0};
        uint32_t reply[2] = {0, 0};
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
            && write(fd, frame, sizeof frame) == sizeof frame && read(fd, reply, sizeof reply) == sizeof reply
            && reply[0] == sizeof(uint32_t) && reply[1] != 0) {
            ucred peer {};
            socklen_t length = sizeof peer;
            if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0)
                pid = peer.pid;
        }
        close(fd);
        return pid;
    }

    bool WaitForService() const
    {
        return WaitFor([&] { return Handshake() > 0; }, std::chrono::seconds(10));
    }

    // e2e_sign with the identity and steps; its output lines.
    std::vector<std::string> Client(const Identity& identity, const std::vector<std::string>& steps)
    {
        std::vector<std::string> args = {m_tests + "/e2e_sign", identity.der()};
        args.insert(args.end(), steps.begin(), steps.end());
        std::string output;
        RunProgram(args, {}, &output);
        std::vector<std::string> lines;
        std::istringstream in(output);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    bool Verifies(const Identity& identity, const std::string& data, const std::string& signature)
    {
        return RunProgram({"openssl", "dgst", "-sha256", "-verify", identity.pub(), "-signature", signature, data}, {},
                          nullptr)
               == 0;
    }

    TempFolder m_folder {"zelkpse-e2e"};
    std::string m_home;
    std::string m_socket;
    std::string m_tests;
    Identity m_rsa;
    Identity m_ec;
    std::vector<pid_t> m_services;
};

using Lines = std::vector<std::string>;

TEST_F(EndToEnd, SignaturesOfBothKeysVerifyWithOpenSSLAndDecryptionGivesThePlaintextBack)
{
    pid_t service = StartService("service");
    ASSERT_GT(service, 0);
    ASSERT_TRUE(WaitForService()) << ReadText(Path("service.err"));

    EXPECT_EQ(Client(m_rsa, {"sign", "rsa", Path("data.bin"), Path("rsa.sig")}),
              (Lines {"ok pse", "ok own", "ok sign"}));
    EXPECT_TRUE(Verifies(m_rsa, Path("data.bin"), Path("rsa.sig")));
    EXPECT_EQ(Client(m_ec, {"sign", "ec", Path("data.bin"), Path("ec.sig")}), (Lines {"ok pse", "ok own", "ok sign"}));
    EXPECT_TRUE(Verifies(m_ec, Path("data.bin"), Path("ec.sig")));

    // One byte changed: neither signature holds.
    std::string data = ReadText(Path("data.bin"));
    data[4] ^= 0x01;
    std::ofstream(Path("flipped.bin")) << data;
    EXPECT_FALSE(Verifies(m_rsa, Path("flipped.bin"), Path("rsa.sig")));
    EXPECT_FALSE(Verifies(m_ec, Path("flipped.bin"), Path("ec.sig")));

    std::ofstream(Path("secret.txt")) << "a session key";
    ASSERT_TRUE(Shell("openssl pkeyutl -encrypt -pubin -inkey '" + m_rsa.pub() + "' -in '" + Path("secret.txt")
                      + "' -out '" + Path("secret.enc") + "'"));
    EXPECT_EQ(Client(m_rsa, {"decrypt", Path("secret.enc"), Path("secret.out")}),
              (Lines {"ok pse", "ok own", "ok decrypt"}));
    EXPECT_EQ(ReadText(Path("secret.out")), "a session key");

    // The service let go of everything it held, its provider's PSE included
    // (the sanitizer build's leak check decides the status).
    EXPECT_EQ(Stop(service), 0) << ReadText(Path("service.err"));
}

TEST_F(EndToEnd, ASecondSignatureAfterTheServiceRestartedReconnects)
{
    pid_t first = StartService("first");
    ASSERT_GT(first, 0);
    ASSERT_TRUE(WaitForService()) << ReadText(Path("first.err"));

    ChildProcess client;
    ASSERT_TRUE(client.Start({m_tests + "/e2e_sign", m_rsa.der(), "sign", "rsa", Path("data.bin"), Path("one.sig"),
                              "wait", Path("go"), "sign", "rsa", Path("data.bin"), Path("two.sig")},
                             {}));
    std::string line;
    for (const char* expected : {"ok pse", "ok own", "ok sign"}) {
        ASSERT_TRUE(client.ReadLine(line, 60));
        EXPECT_EQ(line, expected);
    }
    Stop(first);
    pid_t second = StartService("second");
    ASSERT_GT(second, 0);
    ASSERT_TRUE(WaitForService()) << ReadText(Path("second.err"));
    std::ofstream(Path("go")) << "";
    ASSERT_TRUE(client.ReadLine(line, 60));
    EXPECT_EQ(line, "ok sign");
    EXPECT_TRUE(Verifies(m_rsa, Path("data.bin"), Path("one.sig")));
    EXPECT_TRUE(Verifies(m_rsa, Path("data.bin"), Path("two.sig")));
}

TEST_F(EndToEnd, TheFirstCallStartsTheServiceWhenNoneRuns)
{
    ASSERT_LT(Handshake(), 0);
    Lines first = Client(m_ec, {"sign", "ec", Path("data.bin"), Path("ec.sig")});
    // The client waits a moment for the service it started; a service that
    // takes longer on a loaded machine serves the next call.
    ASSERT_TRUE(WaitForService()) << testing::PrintToString(first);
    // The service started beside the libraries is no child of this process:
    // it is stopped by the process id its socket reports.
    pid_t started = Handshake();
    ASSERT_GT(started, 0);
    m_services.push_back(started);
    Lines lines = first.size() == 3 ? first : Client(m_ec, {"sign", "ec", Path("data.bin"), Path("ec.sig")});
    EXPECT_EQ(lines, (Lines {"ok pse", "ok own", "ok sign"}));
    EXPECT_TRUE(Verifies(m_ec, Path("data.bin"), Path("ec.sig")));
}

// What Python's json module reads in an answer of the control path: one line
// per profile entry ("<name>|<subject>") or, for a signature, "<status>|<error>"
// with the Base64 output decoded into `der`.
std::string PythonReads(const std::string& answer, const std::string& der = "")
{
    const std::string script = "import base64, json, sys\n"
                               "a = json.load(open(sys.argv[1]))\n"
                               "if 'profiles' in a:\n"
                               "    print(a['status'])\n"
                               "    for p in a['profiles']:\n"
                               "        print(p['name'] + '|' + p.get('subject', '-'))\n"
                               "else:\n"
                               "    print(str(a['status']) + '|' + a.get('error', '-'))\n"
                               "    if 'output' in a:\n"
                               "        open(sys.argv[2], 'wb').write(base64.b64decode(a['output'], validate=True))\n";
    std::string output;
    if (RunProgram({"python3", "-c", script, answer, der}, {}, &output) != 0)
        return "<not JSON>";
    return output;
}

TEST_F(EndToEnd, AClientProgramListsCertificatesAndSignsThroughTheControlPath)
{
    // A third identity whose key usage allows no signature.
    Identity encipher;
    ASSERT_TRUE(Shell("printf 'keyUsage=keyEncipherment\\n' > '" + Path("encipher.ext") + "'"));
    encipher.base = Path("encipher");
    ASSERT_TRUE(Shell("openssl req -new -newkey rsa:2048 -nodes -subj '/O=Kestrin Test/CN=encipher' -keyout '"
                      + encipher.base + ".key' -out '" + encipher.base + ".csr' && openssl x509 -req -in '"
                      + encipher.base + ".csr' -signkey '" + encipher.base + ".key' -days 30 -extfile '"
                      + Path("encipher.ext") + "' -out '" + encipher.base + ".pem' && openssl pkcs12 -export -in '"
                      + encipher.base + ".pem' -inkey '" + encipher.base + ".key' -passout pass:secret -out '"
                      + encipher.p12() + "'"));
    {
        std::unique_ptr<kestrin::keystore::KeyStore> store;
        ASSERT_EQ(kestrin::keystore::KeyStore::Open(kestrin::keystore::Options {}, &store), S_OK);
        std::ifstream in(encipher.p12(), std::ios::binary);
        std::vector<uint8_t> bytes {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        kestrin::keystore::Pkcs12Import imported;
        ASSERT_EQ(store->ImportPkcs12(bytes, "secret", &imported), S_OK);
    }
    pid_t service = StartService("service");
    ASSERT_GT(service, 0);
    ASSERT_TRUE(WaitForService()) << ReadText(Path("service.err"));

    std::ofstream(Path("all.json")) << "{}";
    std::ofstream(Path("sign.json")) << R"({"operation": "sign"})";
    std::ofstream(Path("capital.json")) << R"({"operation": "SIGN"})";
    EXPECT_EQ(Client(m_rsa, {"control", "app:e2e", "kvc/getprofiles", Path("all.json"), Path("all.out"), "control",
                             "app:e2e", "kvc/getprofiles", Path("sign.json"), Path("sign.out"), "control", "app:e2e",
                             "kvc/getprofiles", Path("capital.json"), Path("capital.out")}),
              (Lines {"ok pse", "ok control", "ok control", "ok control"}));
    const std::string all = PythonReads(Path("all.out"));
    const std::string signOnly = PythonReads(Path("sign.out"));
    EXPECT_EQ(all.rfind("0\n", 0), 0u) << all;
    for (const char* name : {"CN=rsa", "CN=ec", "CN=encipher"})
        EXPECT_NE(all.find(name), std::string::npos) << name << "\n" << all;
    EXPECT_NE(signOnly.find("CN=rsa"), std::string::npos) << signOnly;
    EXPECT_NE(signOnly.find("CN=ec"), std::string::npos) << signOnly;
    EXPECT_EQ(signOnly.find("CN=encipher"), std::string::npos) << signOnly;
    EXPECT_EQ(PythonReads(Path("capital.out")), all);

    // The RSA identity's entry names it for the signature.
    std::string rsaName;
    std::istringstream lines(all);
    for (std::string line; std::getline(lines, line);)
        if (line.find("CN=rsa") != std::string::npos)
            rsaName = line.substr(0, line.find('|'));
    ASSERT_FALSE(rsaName.empty()) << all;
    const std::string data = ReadText(Path("data.bin"));
    std::string input;
    ASSERT_EQ(RunProgram({"openssl", "base64", "-A", "-in", Path("data.bin")}, {}, &input), 0);
    std::ofstream(Path("mzt.json")) << R"({"id": "e2e", "profile": ")" << rsaName << R"(", "input": ")" << input
                                    << R"(", "description": "Contract 7"})";
    std::ofstream(Path("bad.json")) << R"({"profile": ")" << rsaName << R"(", "input": "%%%"})";
    std::ofstream(Path("none.json")) << R"({"profile": "[reauth]no such token", "input": ")" << input << R"("})";
    EXPECT_EQ(Client(m_rsa, {"control", "app:e2e", "mzt/sign", Path("mzt.json"),  Path("mzt.out"),
                             "control", "app:e2e", "mzt/sign", Path("bad.json"),  Path("bad.out"),
                             "control", "app:e2e", "mzt/sign", Path("none.json"), Path("none.out"),
                             "control", "app:e2e", "mzt/sign", Path("mzt.json"),  Path("again.out")}),
              (Lines {"ok pse", "ok control", "ok control", "ok control", "ok control"}));
    EXPECT_EQ(PythonReads(Path("mzt.out"), Path("mzt.der")), "0|-\n");
    std::string content;
    EXPECT_EQ(RunProgram({"openssl", "cms", "-verify", "-inform", "DER", "-in", Path("mzt.der"), "-CAfile",
                          m_rsa.base + ".pem", "-purpose", "any"},
                         {}, &content),
              0);
    EXPECT_EQ(content, data);
    EXPECT_EQ(PythonReads(Path("bad.out")), "12|failed to decode input\n");
    // A signer the layer does not find: its code as the status and in the text.
    const std::string none = PythonReads(Path("none.out"));
    const std::string status = none.substr(0, none.find('|'));
    EXPECT_NE(status, "0") << none;
    EXPECT_EQ(none, status + "|failed with rc=" + status + "\n");
    // The failures ended their requests: the next one signs.
    EXPECT_EQ(PythonReads(Path("again.out"), Path("again.der")), "0|-\n");
    EXPECT_EQ(Stop(service), 0) << ReadText(Path("service.err"));
}

}  // namespace
}  // namespace ZELK::ZELKPSE::test
