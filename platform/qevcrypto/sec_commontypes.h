// Shared pieces of the per-type tables of "SEC_COMMONTYPES_1": entries a type
// does not offer, and the wiping free used for values that may hold secrets.
#pragma once

#include <cstddef>

#include "qevcrypto.h"

namespace qev::commontypes {

inline HRESULT NoAddRef(void*)
{
    return E_NOTIMPL;
}
inline HRESULT NoNewNode(void**)
{
    return E_NOTIMPL;
}
inline HRESULT NoDecode(const OctetString*, void**)
{
    return E_NOTIMPL;
}
inline HRESULT NoEncode(const void*, OctetString**)
{
    return E_NOTIMPL;
}

// Wipes `size` bytes, then gives the buffer back to the library's allocator.
void WipeAndFree(void* buffer, size_t size);
// A copy of a NUL-terminated string from the library's allocator; NULL when
// memory runs out.
char* CopyString(const char* s);
// The string type's free: wiped, since strings carry PINs and passwords too.
void FreeString(char* s);
// 0 when both are NULL or equal.
int CompareStrings(const char* a, const char* b);

} // namespace qev::commontypes
