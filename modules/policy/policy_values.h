// Values handed to callers: text and byte strings from the crypto library's
// allocator, which the caller frees (text with its free, an OctetString with
// the type's free function).
#pragma once

#include <string>

#include "qevcrypto.h"
#include "zelk_result.h"

namespace kestrin::policy {

// The module name that traces of this deliverable carry.
inline constexpr const char* kTraceModule = "zelkpolicy";

// 0 and a new NUL-terminated copy; 0x8007000E when it cannot be allocated.
HRESULT NewText(const std::string& text, char** out);
HRESULT NewText(const char* text, char** out);

// 0 and a new OctetString holding a copy of the bytes (with a NUL after them,
// as the library's own octet strings have); 0x8007000E when out of memory.
HRESULT NewOctetString(const std::string& bytes, OctetString** out);

// Binary values a store accepts; larger ones would not fit a preference file.
bool AcceptableBytes(const OctetString* bytes);

// Copies `text` into `name` (at most `size` bytes, always terminated).
void CopyName(const std::string& text, char* name, long size);

}  // namespace kestrin::policy
