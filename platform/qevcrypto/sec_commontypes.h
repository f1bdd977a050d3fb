// Shared pieces of the per-type tables of "SEC_COMMONTYPES_1": the string
// helpers and the wiping free used for values that may hold secrets. Entries a
// type does not offer come from types_table.h.
#pragma once

#include <cstddef>

#include "qevcrypto.h"
#include "types_table.h"

namespace kestrin::qevcrypto::commontypes {

using kestrin::qevcrypto::values::NoAddRef;
using kestrin::qevcrypto::values::NoDecode;
using kestrin::qevcrypto::values::NoEncode;
using kestrin::qevcrypto::values::NoNew;

// The table of a type index as the library hands it out; NULL for none.
const SEC_TYPE_TABLE* TypeTable(unsigned int index);
// Wipes `size` bytes, then gives the buffer back to the library's allocator.
void WipeAndFree(void* buffer, size_t size);
// A copy of a NUL-terminated string from the library's allocator; NULL when
// memory runs out.
char* CopyString(const char* s);
// The string type's free: wiped, since strings carry PINs and passwords too.
void FreeString(char* s);
// 0 when both are NULL or equal.
int CompareStrings(const char* a, const char* b);

}  // namespace kestrin::qevcrypto::commontypes
