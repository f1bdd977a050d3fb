// Files through the crypto library: "SEC_IO_1".
#pragma once

#include <cstdint>

#include "qevcrypto.h"

constexpr const char* SEC_IO_API = "SEC_IO_1";

// Largest file that slot 3 reads; a larger one is refused before anything is
// allocated for it.
constexpr uint64_t SEC_IO_MAX_FILE_SIZE = 64u << 20;

// The file does not exist (or a folder on its path does not).
constexpr HRESULT SEC_E_IO_NOT_FOUND = ZELK_RC(0x80070002);

// The target of a rename exists already.
constexpr HRESULT SEC_E_IO_EXISTS = ZELK_RC(0x80070050);

extern "C" {

struct SEC_IO_TABLE : API_COMMON {
    void* reserved1;
    void* reserved2;
    // 3: reads the whole file into a new octet string (the bytes followed by a
    // NUL that the length does not count; freed with the octet-string type's
    // free). *out is NULL on every failure: SEC_E_IO_NOT_FOUND, 0x80070005 when
    // it may not be read, 0x80004005 when it is not a regular file, is larger
    // than SEC_IO_MAX_FILE_SIZE or cannot be read, E_INVALIDARG, E_POINTER,
    // E_OUTOFMEMORY.
    HRESULT (*file2OctetString)(const char* path, OctetString** out);
    void* reserved4[9];  // 4 to 12
    // 13: `directory` and `file` joined by one "/" into a new text from the
    // library's allocator.
    HRESULT (*cat_path)(const char* directory, const char* file, char** out);
    void* reserved14[4];  // 14 to 17
    // 18: renames `from` to `to`, never replacing an existing `to`: 0;
    // 0x80070050 when `to` exists, SEC_E_IO_NOT_FOUND when `from` (or a folder
    // of either path) does not, 0x80070005 when it may not be renamed,
    // E_INVALIDARG for a NULL path, 0x80004005 otherwise.
    HRESULT (*Rename)(const char* from, const char* to);
    // 19: registers an in-memory file holding a copy of `data` (NULL: empty)
    // under `name`, or under a new name "mem://N" when `name` is NULL or
    // empty; *created (optional) receives the name (library allocator).
    // 0x80070050 when the name is taken. Slot 3 reads such a file, slot 21
    // writes it, and security contexts name PSE images by it (attribute 847).
    HRESULT (*mem_reg)(const char* name, const OctetString* data, char** created);
    // 20: removes an in-memory file and wipes its bytes; SEC_E_IO_NOT_FOUND
    // when there is none of that name.
    HRESULT (*mem_unreg)(const char* name);
    // 21: replaces the bytes of a registered in-memory file, else writes the
    // file at `path` (created with mode 0600 or truncated).
    HRESULT (*OctetString2file)(const char* path, const OctetString* data);
};

}  // extern "C"
