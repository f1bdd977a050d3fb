#include "test_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace kestrin::testsupport {

TempFolder::TempFolder(const char* prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + prefix + "XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) != nullptr)
        m_path = buffer.data();
}

TempFolder::~TempFolder()
{
    std::error_code ignored;
    if (!m_path.empty())
        std::filesystem::remove_all(m_path, ignored);
}

namespace {

std::vector<std::string> MergedEnvironment(const std::map<std::string, std::string>& extra)
{
    std::vector<std::string> out;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        if (extra.find(name) == extra.end())
            out.push_back(entry);
    }
    for (const auto& [name, value] : extra)
        out.push_back(name + "=" + value);
    return out;
}

pid_t Spawn(const std::vector<std::string>& args, const std::map<std::string, std::string>& env, int outFd)
{
    std::vector<std::string> envStrings = MergedEnvironment(env);
    std::vector<char*> argv, envp;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : envStrings)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int WaitFor(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int RunProgram(const std::vector<std::string>& args, const std::map<std::string, std::string>& env, std::string* output)
{
    int fds[2] = {-1, -1};
    if (output != nullptr && pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = Spawn(args, env, fds[1]);
    if (fds[1] >= 0)
        close(fds[1]);
    if (pid < 0) {
        if (fds[0] >= 0)
            close(fds[0]);
        return -1;
    }
    if (output != nullptr) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0)
                output->append(buffer, static_cast<size_t>(n));
        close(fds[0]);
    }
    return WaitFor(pid);
}

ChildProcess::~ChildProcess()
{
    Stop();
}

bool ChildProcess::Start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return false;
    m_pid = Spawn(args, env, fds[1]);
    close(fds[1]);
    m_out = fds[0];
    return m_pid > 0;
}

bool ChildProcess::ReadLine(std::string& line, int seconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        size_t end = m_buffer.find('\n');
        if (end != std::string::npos) {
            line = m_buffer.substr(0, end);
            m_buffer.erase(0, end + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (m_out < 0 || left.count() <= 0)
            return false;
        pollfd p {m_out, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[1024];
        ssize_t n = read(m_out, buffer, sizeof buffer);
        if (n <= 0)
            return false;
        m_buffer.append(buffer, static_cast<size_t>(n));
    }
}

void ChildProcess::Stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        WaitFor(m_pid);
        m_pid = -1;
    }
    if (m_out >= 0) {
        close(m_out);
        m_out = -1;
    }
}

bool MakeLocalhostIdentity(const std::string& folder)
{
    const std::string& d = folder;
    return RunProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                       "-keyout", d + "/key.pem", "-out", d + "/cert.pem", "-subj", "/CN=localhost", "-days", "2",
                       "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"},
                      {})
               == 0
           && RunProgram({"openssl", "pkcs12", "-export", "-inkey", d + "/key.pem", "-in", d + "/cert.pem", "-passout",
                          "pass:", "-out", d + "/id.p12"},
                         {})
                  == 0;
}

int FreeLoopbackPort()
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = -1;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
        && getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    close(s);
    return port;
}

}  // namespace kestrin::testsupport
