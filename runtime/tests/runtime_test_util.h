// Helpers shared by the runtime's tests.
#pragma once

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>

// The folder of the test program itself.
inline std::string test_program_dir()
{
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string p(path, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/'));
}

// A temporary folder removed with the object.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/zelktestXXXXXX";
        if (mkdtemp(tmpl))
            m_path = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};
