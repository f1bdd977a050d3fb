// Helpers of the policy tests: temporary folders, file access and the Python
// plistlib peer.
#pragma once

#include <string>

namespace kestrin::policy::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);
unsigned ModeOf(const std::string& path);

// Runs a Python program with plistlib imported; its standard output is
// returned and its exit status stored.
std::string RunPython(const std::string& program, int* status = nullptr);

}  // namespace kestrin::policy::test
