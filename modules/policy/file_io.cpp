#include "file_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <new>

namespace zelkpolicy {

namespace {

HRESULT FromErrno(int error) {
  if (error == EACCES || error == EPERM || error == EROFS) return E_ACCESSDENIED;
  if (error == ENOMEM) return E_OUTOFMEMORY;
  return E_FAIL;
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) close(fd);
  }
};

bool WriteAll(int fd, const char* data, size_t size) {
  while (size) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

HRESULT ReadWholeFile(const std::string& path, size_t limit, std::string* out) {
  Fd file;
  file.fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (file.fd < 0) return errno == ENOENT ? S_FALSE : FromErrno(errno);
  struct stat st;
  if (fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return E_FAIL;
  if (static_cast<unsigned long long>(st.st_size) > limit) return E_FAIL;
  std::string bytes;
  try {
    bytes.resize(static_cast<size_t>(st.st_size));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  // The file may change size while it is read: read to its end, within the limit.
  size_t used = 0;
  for (;;) {
    if (used == bytes.size()) {
      if (bytes.size() >= limit) {
        char probe;
        ssize_t n = read(file.fd, &probe, 1);
        if (n == 0) break;
        if (n < 0 && errno == EINTR) continue;
        return E_FAIL;
      }
      try {
        bytes.resize(std::min(limit, bytes.size() + 4096));
      } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
      }
    }
    ssize_t n = read(file.fd, bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FromErrno(errno);
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  bytes.resize(used);
  *out = std::move(bytes);
  return S_OK;
}

HRESULT MakeFolders(const std::string& path, mode_t mode) {
  if (path.empty()) return E_INVALIDARG;
  struct stat st;
  if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? S_OK : E_FAIL;
  std::string parent = FolderOf(path);
  if (parent != path && parent != "." && parent != "/") {
    HRESULT hr = MakeFolders(parent, mode);
    if (FAILED(hr)) return hr;
  }
  if (mkdir(path.c_str(), mode) != 0 && errno != EEXIST) return FromErrno(errno);
  return S_OK;
}

HRESULT AtomicWrite(const std::string& path, const std::string& bytes, mode_t mode) {
  std::string folder = FolderOf(path);
  std::string name = path.substr(path.find_last_of('/') + 1);
  std::string temp = folder + "/." + name + ".XXXXXX";
  Fd file;
  file.fd = mkostemp(temp.data(), O_CLOEXEC);
  if (file.fd < 0) return FromErrno(errno);
  bool written = fchmod(file.fd, mode) == 0 && WriteAll(file.fd, bytes.data(), bytes.size()) && fsync(file.fd) == 0;
  int error = errno;
  int fd = file.fd;
  file.fd = -1;
  if (close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written || rename(temp.c_str(), path.c_str()) != 0) {
    if (written) error = errno;
    unlink(temp.c_str());
    return FromErrno(error);
  }
  // The rename itself reaches the disk only with the folder.
  Fd dir;
  dir.fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir.fd >= 0) fsync(dir.fd);
  return S_OK;
}

FileLock::~FileLock() { Unlock(); }

HRESULT FileLock::Lock(const std::string& path, bool exclusive) {
  Unlock();
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) return FromErrno(errno);
  while (flock(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
    if (errno == EINTR) continue;
    int error = errno;
    close(fd);
    return FromErrno(error);
  }
  m_fd = fd;
  return S_OK;
}

void FileLock::Unlock() {
  if (m_fd >= 0) {
    close(m_fd);
    m_fd = -1;
  }
}

}  // namespace zelkpolicy
