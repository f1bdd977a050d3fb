// The running service: KestrinClient started with private XDG folders
// listens on the user's socket, serves sessions through the (fake) remoting
// stub over its one service PSE, hands that PSE to the (fake) PSE provider
// once, leaves a running instance's socket alone, shows the key store's
// identities as slots of that PSE, and stops in order on SIGTERM.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "keychain_identities.h"
#include "keystore.h"
#include "runtime_test_util.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_module.h"
#include "zelk_tunnel.h"

extern char** environ;

namespace kestrin::service::test {
namespace {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

size_t Count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// The exit status of `pid` once it ended within the limit; -1 otherwise.
int WaitExit(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    int status = 0;
    bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, limit);
    if (!ended)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The runtime of this test program, started once: the client's module is
// loaded once for every test.
class RuntimeEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(ZELK_Initialize(), 0); }
    void TearDown() override { ZELK_Finalize(); }
};
const auto* const s_runtime = ::testing::AddGlobalTestEnvironment(new RuntimeEnvironment);

class ServiceProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(m_dir.path().empty());
        m_run = m_dir.path() + "/run";
        std::string config = m_dir.path() + "/config";
        mkdir(m_run.c_str(), 0700);
        mkdir(config.c_str(), 0700);
        mkdir((config + "/kestrin").c_str(), 0700);
        m_settings = config + "/kestrin/settings.plist";
        SetTraceLevel(1);
        // The service and this test (its client) share the folders.
        setenv("XDG_RUNTIME_DIR", m_run.c_str(), 1);
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
        setenv("XDG_DATA_HOME", (m_dir.path() + "/data").c_str(), 1);
        setenv("XDG_STATE_HOME", (m_dir.path() + "/state").c_str(), 1);
        setenv("KESTRIN_FAKE_LOG", (m_dir.path() + "/provider.log").c_str(), 1);
        m_socket = m_run + "/kestrin/org.kestrin.client." + std::to_string(getuid());
    }
    void TearDown() override
    {
        for (pid_t pid : m_started) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // Starts KestrinClient headless with its standard error in `name`.err.
    pid_t Start(const std::string& name)
    {
        std::string program = test_program_dir() + "/../bin/KestrinClient";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        std::string err = m_dir.path() + "/" + name + ".err";
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        char headless[] = "--headless";
        char* argv[] = {program.data(), headless, nullptr};
        pid_t pid = -1;
        int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            return -1;
        m_started.push_back(pid);
        return pid;
    }
    void Forget(pid_t pid) { std::erase(m_started, pid); }

    // The policy "trace" "Level" in the user's settings, written whole at once.
    void SetTraceLevel(int level)
    {
        std::string temporary = m_settings + ".new";
        std::ofstream(temporary) << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>trace</key><dict>"
                                    "<key>Level</key><integer>"
                                 << level << "</integer></dict></dict></plist>";
        rename(temporary.c_str(), m_settings.c_str());
    }

    // One request on a new session; the reply as text.
    static std::string Ask(const char* request)
    {
        ITunnel* client = nullptr;
        if (ZELK_CreateObject("zelkcomsock", "zelk.comunix.client", IID_ITunnel, reinterpret_cast<void**>(&client))
            != 0)
            return "no client";
        unsigned char* reply = nullptr;
        unsigned long length = 0;
        std::string text = "failed";
        if (client->Transact(reinterpret_cast<unsigned char*>(const_cast<char*>(request)),
                             static_cast<unsigned long>(strlen(request)), &reply, &length)
            == 0)
            text.assign(reinterpret_cast<char*>(reply), length);
        sec_free(reply);
        client->Disconnect();
        client->Release();
        return text;
    }

    TempDir m_dir;
    std::string m_run;
    std::string m_socket;
    std::string m_settings;
    std::vector<pid_t> m_started;
};

TEST_F(ServiceProcess, ListensServesAndStopsInOrder)
{
    pid_t first = Start("first");
    ASSERT_GT(first, 0);
    struct stat info {};
    ASSERT_TRUE(WaitFor([&] { return lstat(m_socket.c_str(), &info) == 0; })) << ReadFile(m_dir.path() + "/first.err");
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    struct stat folder {};
    ASSERT_EQ(stat((m_run + "/kestrin").c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0700u);

    // Sessions at the same time: one stub each, all over the one service PSE.
    std::string replies[3];
    std::vector<std::thread> sessions;
    for (int i = 0; i < 3; ++i)
        sessions.emplace_back([&replies, i] { replies[i] = Ask("hello"); });
    for (auto& session : sessions)
        session.join();
    ASSERT_EQ(replies[0].rfind("PSE@", 0), 0u) << replies[0];
    EXPECT_EQ(replies[0].substr(replies[0].size() - 6), ":hello");
    EXPECT_EQ(replies[1], replies[0]);
    EXPECT_EQ(replies[2], replies[0]);
    EXPECT_EQ(ReadFile(m_dir.path() + "/provider.log"), "adopt PSE\n");

    // A second instance cannot take the socket and leaves it to the first.
    pid_t second = Start("second");
    ASSERT_GT(second, 0);
    EXPECT_NE(WaitExit(second), 0);
    Forget(second);
    EXPECT_EQ(lstat(m_socket.c_str(), &info), 0);
    EXPECT_EQ(Ask("again").substr(0, 4), "PSE@");

    ASSERT_EQ(kill(first, SIGTERM), 0);
    EXPECT_EQ(WaitExit(first), 0) << ReadFile(m_dir.path() + "/first.err");
    Forget(first);
    EXPECT_NE(lstat(m_socket.c_str(), &info), 0);

    std::string trace = ReadFile(m_dir.path() + "/first.err");
    EXPECT_EQ(Count(trace, "Kestrin Client Version: 3.0 SP 2 Patch Level 0"), 1u);
    EXPECT_EQ(Count(trace, "listening on " + m_socket), 1u);
    // The orderly tail: the server let go before the waits were cancelled.
    size_t disconnect = trace.find("{ Server::Disconnect");
    size_t lock = trace.find("{ CPSEFactory::LockServer");
    ASSERT_NE(disconnect, std::string::npos);
    ASSERT_NE(lock, std::string::npos);
    EXPECT_LT(disconnect, lock);
    // The second instance handed its own service PSE to its own provider
    // before it found the socket taken; each provider held its PSE until its
    // process ended (the sanitizer build's leak check shows that the service
    // let go of everything else).
    EXPECT_EQ(ReadFile(m_dir.path() + "/provider.log"), "adopt PSE\nadopt PSE\nrelease\nrelease\n");
}

TEST_F(ServiceProcess, TheTraceLevelFollowsThePolicy)
{
    SetTraceLevel(0);
    pid_t service = Start("service");
    ASSERT_GT(service, 0);
    struct stat info {};
    ASSERT_TRUE(WaitFor([&] { return lstat(m_socket.c_str(), &info) == 0; }));
    std::string err = m_dir.path() + "/service.err";
    EXPECT_EQ(ReadFile(err), "");

    SetTraceLevel(1);
    EXPECT_TRUE(WaitFor([&] {
        Ask("traced");
        return ReadFile(err).find("{ CPSEFactory::CreateInstance") != std::string::npos;
    }));
    ASSERT_EQ(kill(service, SIGTERM), 0);
    int status = WaitExit(service);
    std::string trace = ReadFile(err);
    // The tail of the trace shows where a failed stop ended.
    EXPECT_EQ(status, 0) << trace.substr(trace.size() > 4000 ? trace.size() - 4000 : 0);
    Forget(service);
}

// An identity added to the user's key store becomes a slot that clients see
// within moments, and goes when it is deleted; the system's own never shows.
TEST_F(ServiceProcess, KeyStoreIdentitiesAreSlotsOfTheServicePSE)
{
    const std::string ec = "ec -pkeyopt ec_paramgen_curve:P-256";
    KeychainIdentity alice, own;
    ASSERT_TRUE(MakeKeychainIdentity(m_dir.path(), "alice", ec, "/O=Kestrin Test/CN=Process Alice", "Alice", &alice));
    ASSERT_TRUE(MakeKeychainIdentity(m_dir.path(), "own", ec, "/O=Kestrin Test/CN=Enrolled", "QEV Kestrin x", &own));
    using namespace kestrin::keystore;
    std::unique_ptr<KeyStore> store;
    ASSERT_EQ(KeyStore::Open(Options {}, &store), S_OK);
    Pkcs12Import imported;
    ASSERT_EQ(store->ImportPkcs12(own.bytes, "secret", &imported), S_OK);

    pid_t service = Start("service");
    ASSERT_GT(service, 0);
    struct stat info {};
    ASSERT_TRUE(WaitFor([&] { return lstat(m_socket.c_str(), &info) == 0; }));
    EXPECT_EQ(Ask("slots").find("tokkeychain:"), std::string::npos);

    ASSERT_EQ(store->ImportPkcs12(alice.bytes, "secret", &imported), S_OK);
    ASSERT_TRUE(WaitFor([&] { return Ask("slots").find(alice.slot + "\n") != std::string::npos; })) << Ask("slots");
    EXPECT_EQ(Ask("slots").find(own.slot), std::string::npos);

    ASSERT_EQ(store->DeleteIdentity(imported.identity.sha1, DeletePart::Both), S_OK);
    EXPECT_TRUE(WaitFor([&] { return Ask("slots").find(alice.slot) == std::string::npos; })) << Ask("slots");

    ASSERT_EQ(kill(service, SIGTERM), 0);
    EXPECT_EQ(WaitExit(service), 0) << ReadFile(m_dir.path() + "/service.err");
    Forget(service);
}

}  // namespace
}  // namespace kestrin::service::test
