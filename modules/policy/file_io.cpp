#include "file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "qev_io.h"
#include "zelk_holders.h"
#include "zelk_module.h"

namespace kestrin::policy {

namespace {

HRESULT FromErrno(int error)
{
    if (error == EACCES || error == EPERM || error == EROFS)
        return E_ACCESSDENIED;
    if (error == ENOMEM)
        return E_OUTOFMEMORY;
    return E_FAIL;
}

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size) {
        ssize_t n = write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string FolderOf(const std::string& path)
{
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// The name mkostemp gives a temporary file of `name`: "." + name + "." and six
// letters or digits.
constexpr size_t kTemporarySuffix = 6;

std::string TemporaryPattern(const std::string& path, std::string* folder)
{
    *folder = FolderOf(path);
    return "." + path.substr(path.find_last_of('/') + 1) + ".";
}

bool IsTemporaryOf(const char* entry, const std::string& prefix)
{
    size_t length = strlen(entry);
    if (length != prefix.size() + kTemporarySuffix || prefix.compare(0, prefix.size(), entry, prefix.size()) != 0)
        return false;
    for (size_t i = prefix.size(); i < length; ++i) {
        if (!isalnum(static_cast<unsigned char>(entry[i])))
            return false;
    }
    return true;
}

API_COMMON* fptr__io = nullptr;
CLoadAPI OnDemand_Load_SEC_IO(nullptr, SEC_IO_API, &fptr__io);

}  // namespace

HRESULT ReadWholeFile(const std::string& path, std::string* out)
{
    API_COMMON* table = fptr__io;
    if (!table)
        return E_FAIL;
    AuxPtr<OctetString> bytes;
    HRESULT hr = ZELK_ApiCast<SEC_IO_TABLE>(table)->file2OctetString(path.c_str(), &bytes);
    if (hr == SEC_E_IO_NOT_FOUND)
        return S_FALSE;
    if (FAILED(hr))
        return hr == E_ACCESSDENIED || hr == E_OUTOFMEMORY ? hr : E_FAIL;
    if (!bytes || !bytes->data)
        return E_FAIL;
    try {
        out->assign(reinterpret_cast<const char*>(bytes->data), static_cast<size_t>(bytes->length));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT MakeFolders(const std::string& path, mode_t mode)
{
    if (path.empty())
        return E_INVALIDARG;
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? S_OK : E_FAIL;
    std::string parent = FolderOf(path);
    if (parent != path && parent != "." && parent != "/") {
        HRESULT hr = MakeFolders(parent, mode);
        if (FAILED(hr))
            return hr;
    }
    if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST)
        return FromErrno(errno);
    return S_OK;
}

HRESULT AtomicWrite(const std::string& path, const std::string& bytes, mode_t mode)
{
    std::string folder;
    std::string temp = TemporaryPattern(path, &folder);
    temp = folder + "/" + temp + std::string(kTemporarySuffix, 'X');
    Fd file;
    file.fd = mkostemp(temp.data(), O_CLOEXEC);
    if (file.fd < 0)
        return FromErrno(errno);
    bool written = fchmod(file.fd, mode) == 0 && WriteAll(file.fd, bytes.data(), bytes.size()) && fsync(file.fd) == 0;
    int error = errno;
    int fd = file.fd;
    file.fd = -1;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written || rename(temp.c_str(), path.c_str()) != 0) {
        if (written)
            error = errno;
        unlink(temp.c_str());
        return FromErrno(error);
    }
    // The rename itself reaches the disk only with the folder.
    Fd dir;
    dir.fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir.fd >= 0)
        fsync(dir.fd);
    return S_OK;
}

void RemoveStaleTemporaries(const std::string& path, int ageSeconds)
{
    std::string folder;
    std::string prefix = TemporaryPattern(path, &folder);
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        return;
    time_t limit = time(nullptr) - ageSeconds;
    int dirFd = dirfd(dir);
    while (struct dirent* entry = readdir(dir)) {
        if (!IsTemporaryOf(entry->d_name, prefix))
            continue;
        struct stat st;
        if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)
            || st.st_mtime >= limit)
            continue;
        unlinkat(dirFd, entry->d_name, 0);
    }
    closedir(dir);
}

FileLock::~FileLock()
{
    Unlock();
}

HRESULT FileLock::Lock(const std::string& path, bool exclusive)
{
    Unlock();
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0)
        return FromErrno(errno);
    while (flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno == EINTR)
            continue;
        int error = errno;
        close(fd);
        return FromErrno(error);
    }
    m_fd = fd;
    return S_OK;
}

void FileLock::Unlock()
{
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

}  // namespace kestrin::policy
