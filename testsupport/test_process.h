// Child processes and temporary folders of the test fixtures.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace kestrin::testsupport {

// A new folder below $TMPDIR (or /tmp), removed with everything in it by the destructor.
class TempFolder {
public:
    explicit TempFolder(const char* prefix);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// Runs a program to its end with extra environment variables; its standard
// output goes to `output` when given. Returns its exit status, or -1.
int RunProgram(const std::vector<std::string>& args, const std::map<std::string, std::string>& env,
               std::string* output = nullptr);

// A program left running; its standard output is readable line by line.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Start(const std::vector<std::string>& args, const std::map<std::string, std::string>& env);
    // One line of its output without the line end; false at its end or after `seconds`.
    bool ReadLine(std::string& line, int seconds);
    // Ends it by its process id and waits for it.
    void Stop();
    pid_t pid() const { return m_pid; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
    std::string m_buffer;
};

// A self-signed P-256 identity for "localhost" and 127.0.0.1, made by openssl
// in `folder`: "key.pem", "cert.pem" and "id.p12" (empty password). True when made.
bool MakeLocalhostIdentity(const std::string& folder);

// A TCP port of 127.0.0.1 that nothing listened on a moment ago.
int FreeLoopbackPort();

}  // namespace kestrin::testsupport
