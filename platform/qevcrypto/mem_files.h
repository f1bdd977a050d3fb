// The library's in-memory files: byte images registered under a name, read
// and written like files by "SEC_IO_1" and named as PSE images by security
// contexts. Their bytes are wiped when they are replaced or unregistered.
#pragma once

#include "ossl/ossl_util.h"
#include "qevcrypto.h"

namespace kestrin::qevcrypto::memfiles {

// Registers a copy of `data` (NULL: empty) under `name`, or under a new name
// "mem://N" for a NULL or empty name, which *created receives (library
// allocator) when given. SEC_E_IO_EXISTS when the name is taken.
HRESULT Register(const char* name, const OctetString* data, char** created);
// Removes and wipes a file; SEC_E_IO_NOT_FOUND when none has that name.
HRESULT Unregister(const char* name);
// Whether a file has that name.
bool Exists(const char* name);
// Replaces the bytes of a registered file.
HRESULT Write(const char* name, const OctetString* data);
// A copy of the bytes of a registered file.
HRESULT Read(const char* name, ossl::SecretBytes& out);

}  // namespace kestrin::qevcrypto::memfiles
