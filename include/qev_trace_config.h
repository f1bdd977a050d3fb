// The crypto library's trace switch file, which the preferences write and the
// library reads, and the folder its trace files (".trc") go to. Line 5 of the
// file names the folder with "%HOME%" standing for the home directory.
#pragma once

#include <cstdlib>
#include <string>

constexpr const char* QEV_TRACE_HOME_TOKEN = "%HOME%";
constexpr const char* QEV_TRACE_FILE_SUFFIX = ".trc";

// $<variable>, else $HOME/<fallback>, joined with "kestrin"; "" without either.
inline std::string QevTraceUserFolder(const char* variable, const char* fallback)
{
    const char* base = std::getenv(variable);
    if (base && *base)
        return std::string(base) + "/kestrin";
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0')
        return std::string();
    return std::string(home) + "/" + fallback + "/kestrin";
}

// $XDG_CONFIG_HOME/kestrin/sectrace.ini.
inline std::string QevTraceConfigFile()
{
    const std::string folder = QevTraceUserFolder("XDG_CONFIG_HOME", ".config");
    return folder.empty() ? folder : folder + "/sectrace.ini";
}

// $XDG_STATE_HOME/kestrin/trace.
inline std::string QevTraceFolder()
{
    const std::string folder = QevTraceUserFolder("XDG_STATE_HOME", ".local/state");
    return folder.empty() ? folder : folder + "/trace";
}
