// Slots 36 and 37 of "String.1" and "StringW.1": wildcard matching and the
// specificity score used to rank patterns against a target name.
#pragma once

#include <cstdint>

namespace kestrin::strings {

// "*" matches any run (not the empty text), "?" and `wildcard` (when not 0)
// any one character; noCase compares ASCII letters without regard to case.
bool String_Match(const char* text, const char* pattern, signed char noCase, char wildcard);
bool StringW_Match(const wchar_t* text, const wchar_t* pattern, signed char noCase, wchar_t wildcard);

// 0 when the text does not match (case-insensitively); otherwise 4096 plus,
// per pattern character, -1 for "*", 256 for "?" and 4096 for a literal.
uint32_t String_MatchQuality(const char* text, const char* pattern);
uint32_t StringW_MatchQuality(const wchar_t* text, const wchar_t* pattern);

}  // namespace kestrin::strings
