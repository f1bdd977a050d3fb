#include "tracefiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "qev_trace_config.h"
#include "zelk_trace.h"

namespace kestrin::app {
namespace {

bool MakeFolders(const std::string& path)
{
    if (path.empty())
        return false;
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/')
            continue;
        const std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string Parent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool EndsWith(const char* name, const char* suffix)
{
    const size_t n = std::strlen(name);
    const size_t s = std::strlen(suffix);
    return n >= s && std::strcmp(name + n - s, suffix) == 0;
}

}  // namespace

std::string TraceConfigText(const std::string& folder, const char* home)
{
    std::string directory = folder;
    const size_t length = home ? std::strlen(home) : 0;
    if (length > 0 && directory.compare(0, length, home) == 0
        && (directory.size() == length || directory[length] == '/'))
        directory = QEV_TRACE_HOME_TOKEN + directory.substr(length);
    return "[trace]\nLevel = 5\nRotateFileSize = 10000000\nRotateFileNumber = 5\nDirectory = " + directory + "\n";
}

bool WriteTraceConfig()
{
    const std::string file = QevTraceConfigFile();
    if (file.empty() || !MakeFolders(Parent(file)))
        return false;
    const std::string text = TraceConfigText(QevTraceFolder(), std::getenv("HOME"));
    const std::string temporary = file + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = fchmod(fd, 0600) == 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temporary.c_str(), file.c_str()) != 0) {
        unlink(temporary.c_str());
        SECTRACE_FormatLn(nullptr, 1, "KestrinClient: the trace configuration could not be written");
        return false;
    }
    return true;
}

void RemoveTraceConfig()
{
    const std::string file = QevTraceConfigFile();
    if (!file.empty())
        unlink(file.c_str());
}

bool MakeTraceFolder()
{
    return MakeFolders(QevTraceFolder());
}

int DeleteTraceFiles()
{
    const std::string folder = QevTraceFolder();
    if (folder.empty())
        return 0;
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return 0;
    DIR* dir = fdopendir(fd);
    if (dir == nullptr) {
        close(fd);
        return 0;
    }
    int removed = 0;
    while (dirent* entry = readdir(dir)) {
        if (!EndsWith(entry->d_name, QEV_TRACE_FILE_SUFFIX))
            continue;
        struct stat info {};
        if (fstatat(fd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        if ((S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) && unlinkat(fd, entry->d_name, 0) == 0)
            ++removed;
    }
    closedir(dir);
    return removed;
}

}  // namespace kestrin::app
