// "SEC_IO_1": files.
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "mem_files.h"
#include "qev_io.h"
#include "qev_tables.h"
#include "types_values.h"

namespace {

using namespace kestrin::qevcrypto;

HRESULT FromErrno(int error)
{
    if (error == ENOENT || error == ENOTDIR)
        return SEC_E_IO_NOT_FOUND;
    if (error == EACCES || error == EPERM)
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

// Room for `capacity` bytes and the NUL behind them.
bool Reserve(OctetString* s, uint64_t capacity)
{
    auto* bigger = static_cast<unsigned char*>(std::realloc(s->data, capacity + 1));
    if (bigger == nullptr)
        return false;
    s->data = bigger;
    return true;
}

// Reads to the end of the file, within the limit: the file may grow or shrink
// while it is read, and some files report no size at all. The bytes may be
// secret (key files): a failure wipes them with the value.
HRESULT ReadAll(int fd, uint64_t size, OctetString* s)
{
    uint64_t capacity = 0;
    uint64_t used = 0;
    for (;;) {
        if (used == capacity) {
            if (used < size) {
                if (!Reserve(s, size))
                    return E_OUTOFMEMORY;
                capacity = size;
                continue;
            }
            unsigned char probe;
            ssize_t n = read(fd, &probe, 1);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return FromErrno(errno) == E_ACCESSDENIED ? E_ACCESSDENIED : E_FAIL;
            if (n == 0)
                break;
            if (used >= SEC_IO_MAX_FILE_SIZE)
                return E_FAIL;
            uint64_t grown = std::min<uint64_t>(std::max<uint64_t>(capacity * 2, 4096), SEC_IO_MAX_FILE_SIZE);
            if (!Reserve(s, grown))
                return E_OUTOFMEMORY;
            capacity = grown;
            s->data[used++] = probe;
            s->length = used;
            continue;
        }
        ssize_t n = read(fd, s->data + used, capacity - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return FromErrno(errno) == E_ACCESSDENIED ? E_ACCESSDENIED : E_FAIL;
        if (n == 0)
            break;
        used += static_cast<uint64_t>(n);
        // Kept current, so that a failure wipes what was read.
        s->length = used;
    }
    s->data[used] = 0;
    s->length = used;
    return S_OK;
}

HRESULT sec_io_file2OctetString(const char* path, OctetString** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (path == nullptr || *path == 0)
        return E_INVALIDARG;
    if (memfiles::Exists(path)) {
        ossl::SecretBytes bytes;
        HRESULT hr = memfiles::Read(path, bytes);
        if (FAILED(hr))
            return hr;
        *out = values::NewOctets(bytes.data(), bytes.size());
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    Fd file;
    file.fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (file.fd < 0)
        return FromErrno(errno);
    struct stat st;
    if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode))
        return E_FAIL;
    uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size > SEC_IO_MAX_FILE_SIZE)
        return E_FAIL;
    OctetString* s = values::NewOctets(nullptr, 0);
    if (s == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = ReadAll(file.fd, size, s);
    if (FAILED(hr)) {
        values::FreeOctets(s);
        return hr;
    }
    *out = s;
    return S_OK;
}

// Longest path that cat_path makes.
constexpr size_t kMaxPath = 4096;

HRESULT sec_io_cat_path(const char* directory, const char* file, char** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (directory == nullptr || file == nullptr || *directory == 0 || *file == 0)
        return E_INVALIDARG;
    size_t dirLength = strnlen(directory, kMaxPath + 1);
    size_t fileLength = strnlen(file, kMaxPath + 1);
    while (dirLength > 0 && directory[dirLength - 1] == '/')
        --dirLength;
    while (*file == '/') {
        ++file;
        --fileLength;
    }
    if (dirLength + fileLength + 1 > kMaxPath)
        return E_INVALIDARG;
    auto* path = static_cast<char*>(std::malloc(dirLength + fileLength + 2));
    if (path == nullptr)
        return E_OUTOFMEMORY;
    std::memcpy(path, directory, dirLength);
    path[dirLength] = '/';
    std::memcpy(path + dirLength + 1, file, fileLength);
    path[dirLength + 1 + fileLength] = 0;
    *out = path;
    return S_OK;
}

HRESULT sec_io_Rename(const char* from, const char* to)
{
    if (from == nullptr || to == nullptr)
        return E_INVALIDARG;
    // The target is never replaced: a file there may be the only copy of keys.
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return S_OK;
    if (errno == EEXIST)
        return SEC_E_IO_EXISTS;
    return FromErrno(errno);
}

HRESULT sec_io_mem_reg(const char* name, const OctetString* data, char** created)
{
    return memfiles::Register(name, data, created);
}

HRESULT sec_io_mem_unreg(const char* name)
{
    return memfiles::Unregister(name);
}

HRESULT sec_io_OctetString2file(const char* path, const OctetString* data)
{
    if (path == nullptr || *path == 0 || data == nullptr || (data->data == nullptr && data->length != 0))
        return E_INVALIDARG;
    if (memfiles::Exists(path))
        return memfiles::Write(path, data);
    Fd file;
    file.fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0600);
    if (file.fd < 0)
        return FromErrno(errno);
    for (size_t done = 0; done < data->length;) {
        const ssize_t n = write(file.fd, data->data + done, data->length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return E_FAIL;
        done += static_cast<size_t>(n);
    }
    return S_OK;
}

HRESULT sec_io_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_IO_1", "files");
}

QevTable<> s_table("SEC_IO_1", &sec_io_get_info,
                   {{3, qev_slot(&sec_io_file2OctetString)},
                    {13, qev_slot(&sec_io_cat_path)},
                    {18, qev_slot(&sec_io_Rename)},
                    {19, qev_slot(&sec_io_mem_reg)},
                    {20, qev_slot(&sec_io_mem_unreg)},
                    {21, qev_slot(&sec_io_OctetString2file)}});

}  // namespace
