#include "test_util.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kestrin::policy::test {

TempDir::TempDir()
{
    char pattern[] = "/tmp/kestrin-policy-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool Exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

unsigned ModeOf(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

std::string RunPython(const std::string& program, int* status)
{
    TempDir dir;
    std::string script = dir / "peer.py";
    WriteFile(script, "import plistlib, sys, json, base64, os\n" + program);
    std::string command = std::string(KESTRIN_PYTHON3) + " " + script;
    FILE* pipe = popen(command.c_str(), "r");
    std::string out;
    if (!pipe) {
        if (status)
            *status = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, n);
    int rc = pclose(pipe);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

}  // namespace kestrin::policy::test
