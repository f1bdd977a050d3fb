// The in-memory tree of a preference file, kept as a libplist dictionary so
// that entries this store does not understand (arrays, dates, large integers)
// survive a rewrite unchanged. Lookups ignore case, trying the exact spelling
// first and otherwise the first matching entry in file order.
#pragma once

#include <plist/plist.h>

#include <cstdint>
#include <memory>
#include <string>

#include "key_path.h"
#include "zelk_result.h"

namespace kestrin::policy {

struct PlistFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// Parses an XML or binary property list whose top-level object is a
// dictionary; anything else is 0x80004005, and so is a binary list holding a
// text (string or key) with a NUL inside, which libplist cannot handle safely.
HRESULT ParsePlist(const std::string& bytes, PlistPtr* out);

// Whether a standard XML property-list reader takes `text` as written: valid
// UTF-8 of characters that XML 1.0 allows (no control character but tab, LF
// and CR, no surrogate, no U+FFFE or U+FFFF). A NULL text passes.
bool IsXmlText(const char* text);

// Serialises as an XML property list.
HRESULT PlistToXml(plist_t top, std::string* out);

PlistPtr NewDict();
PlistPtr CopyTree(plist_t node);

// The entry of `dict` named `name` without regard to case, or NULL; `spelling`
// receives its name as written.
plist_t FindEntry(plist_t dict, const char* name, std::string* spelling = nullptr);

// The dictionary of a key path. With `create`, missing components become new
// empty dictionaries under the caller's spelling, counted in `created`. A
// component that names a value that is not a dictionary ends the walk: NULL.
plist_t WalkDict(plist_t top, const KeyPath& path, bool create, size_t* created);

// Replaces the value of an existing entry (which keeps its spelling and place)
// or appends a new entry. Takes ownership of `value`.
void SetEntry(plist_t dict, const char* name, PlistPtr value);
bool RemoveEntry(plist_t dict, const char* name);

// The name of the sub-dictionary at `index`, counting sub-dictionaries only.
bool SubKeyAt(plist_t dict, long index, std::string* name);

// Readings of a value: numbers from integer, real, boolean and (by the decimal
// integer they start with) string entries; text from strings; bytes from data.
bool ReadNumber(plist_t node, uint32_t* value);
bool ReadText(plist_t node, std::string* value);
bool ReadData(plist_t node, std::string* value);

// The decimal integer a text starts with (after blanks and a sign), 0 when it
// starts with none, taken as 32 bits.
uint32_t LeadingInteger(const char* text);

// A number as the store writes it: the signed 32-bit integer of the same bits.
PlistPtr NewNumber(uint32_t value);

}  // namespace kestrin::policy
