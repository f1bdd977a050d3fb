// File operations of the file stores: whole-file reads through the crypto
// library, folder creation, atomic replacement and advisory lock files.
#pragma once

#include <sys/types.h>

#include <string>

#include "zelk_result.h"

namespace kestrin::policy {

// Preference files are small: a value larger than this would not fit one.
constexpr size_t kMaxPolicyFileSize = 16u << 20;

// Reads the whole file with the crypto library's file reader ("SEC_IO_1", bound
// when the runtime starts; its size limit applies). 0 with the bytes; 1 when
// the file does not exist; 0x80070005 when it may not be read; 0x80004005 when
// it is not a regular file, too large, unreadable, or the table is not bound.
HRESULT ReadWholeFile(const std::string& path, std::string* out);

// Creates the folder and any missing parents with `mode`. 0 when it exists.
HRESULT MakeFolders(const std::string& path, mode_t mode);

// Writes a temporary file beside `path`, flushes it to disk and renames it over
// `path`, so readers see either the old or the new content, never a mix.
HRESULT AtomicWrite(const std::string& path, const std::string& bytes, mode_t mode);

// Removes the temporary files that AtomicWrite left beside `path` in earlier
// processes that stopped before their rename: same folder, same name pattern,
// regular files last changed more than `age` ago. Callers hold the save lock,
// so no live writer of this store is between its write and its rename.
void RemoveStaleTemporaries(const std::string& path, int ageSeconds);

// An exclusive or shared flock on a lock file, held for the object's life.
class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Creates the lock file when missing and waits for the lock.
    HRESULT Lock(const std::string& path, bool exclusive);
    void Unlock();

private:
    int m_fd = -1;
};

}  // namespace kestrin::policy
