// Resource files: finding a bundle's file for a locale, reading and parsing
// it into a table of texts by key.
#pragma once

#include <atomic>

#include "zelk_holders.h"
#include "zelk_resloader.h"

namespace kestrin::resloader {

// One text of a loaded bundle: its UTF-8 form and its wide form, made on
// first request and published once (a racing second conversion is dropped).
struct StringX {
    char* text;
    std::atomic<wchar_t*> wide;
};

// The value helper of the text tables: the table adopts the entry itself and
// frees it with both forms.
class HashTableHelper_StringX final : public IHashTableHelper {
public:
    HRESULT Cpy(void* in, void** out) override;
    void Free(void* p) override;
};

// A new entry holding a copy of `text` (wide form empty); NULL when memory
// runs out.
StringX* StringX_New(const char* text);
// The wide form, made now when there is none yet; NULL when it cannot be made.
const wchar_t* StringX_Wide(StringX* entry);

typedef AuxRefPtr<HashTable_void> ResEntries;

// Finds the bundle's file (language_country, then language_<default
// country>, then en_US), reads and parses it. Exactly one output is used:
// `plain` (text to text) when it is not NULL, else `entries` (text to StringX).
HRESULT LoadResourcesEx(const wchar_t* language, const wchar_t* country, const wchar_t* bundle,
                        const wchar_t* directory, HashTable_void** plain, ResEntries* entries);

// The default resource folder of this module.
HRESULT GetCurrentPath(ZELK_RES_TEXT* directory);

}  // namespace kestrin::resloader
