#include "policy_folders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace kestrin::policy {

namespace {

// Relative entries are ignored, as the XDG rules ask.
bool Absolute(const char* path)
{
    return path && path[0] == '/';
}

std::string HomeFolder()
{
    const char* home = getenv("HOME");
    if (Absolute(home))
        return home;
    struct passwd entry;
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && Absolute(found->pw_dir)) {
        return found->pw_dir;
    }
    return "/";
}

}  // namespace

std::string UserPolicyFolder()
{
    const char* config = getenv("XDG_CONFIG_HOME");
    std::string base = Absolute(config) ? std::string(config) : HomeFolder() + "/.config";
    return base + "/" + kPolicyFolderName;
}

std::string SystemPolicyFolder()
{
    const char* dirs = getenv("XDG_CONFIG_DIRS");
    std::vector<std::string> candidates;
    if (dirs) {
        std::string list(dirs);
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(':', start);
            if (end == std::string::npos)
                end = list.size();
            std::string entry = list.substr(start, end - start);
            if (Absolute(entry.c_str()))
                candidates.push_back(entry + "/" + kPolicyFolderName);
            start = end + 1;
        }
    }
    if (candidates.empty())
        candidates.push_back(std::string("/etc/xdg/") + kPolicyFolderName);
    for (const std::string& folder : candidates) {
        if (access((folder + "/settings.plist").c_str(), F_OK) == 0)
            return folder;
    }
    return candidates.front();
}

}  // namespace kestrin::policy
