// The language table: Windows language identifiers to language and country.
#pragma once

#include "zelk_resloader.h"

namespace kestrin::resloader {

// Entries by primary language identifier 0 to 64.
constexpr unsigned int kLangCount = 65;

// Language and country of a language identifier (only its low 16 bits
// count: primary language in bits 0-9, sub-language in bits 10-15). An
// unknown or country-less sub-language gives the language's default country.
HRESULT GetLangID(unsigned int langId, ZELK_RES_TEXT* language, ZELK_RES_TEXT* country);

// The default country of a two-letter language code (any case), owned by the
// table; NULL for anything else or an unknown language.
const char* GetDefaultCountry(const wchar_t* language);

}  // namespace kestrin::resloader
