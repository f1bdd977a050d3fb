// A fuzz target's own home: the user's and the system's configuration and
// the user's data in one temporary folder that goes when the process ends, and
// a Kerberos cache that does not exist, so that no target reads or changes
// the files of the user running it.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kestrin::fuzz {

// Makes "/tmp/kestrin-fuzz-<name>-XXXXXX" and points the environment at it,
// once per process; "" when the folder cannot be made.
inline std::string MakeTemporaryHome(const std::string& name)
{
    static std::string home;
    std::string folder = "/tmp/kestrin-fuzz-" + name + "-XXXXXX";
    if (!home.empty() || mkdtemp(folder.data()) == nullptr)
        return {};
    home = folder;
    std::atexit([] { std::filesystem::remove_all(home); });
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (home + "/system").c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("KRB5CCNAME", ("FILE:" + home + "/no-tickets").c_str(), 1);
    return home;
}

}  // namespace kestrin::fuzz
