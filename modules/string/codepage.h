// Slots 39 and 40 of "String.1" and "StringW.1": conversion between char
// text in a Windows code page and wide (UTF-32) text.
#pragma once

namespace kestrin::strings {

// Char text in `codePage` to a new wide text (sec_malloc). NULL text gives
// *out = NULL; a failed conversion leaves *out untouched.
void String_Convert(const char* text, wchar_t** out, unsigned codePage);
// Wide text to a new char text in `codePage`; as above.
void StringW_Convert(const wchar_t* text, char** out, unsigned codePage);

// Converts `add` to the width of `text` and appends it; returns the text to
// use from now on (`text` may have moved).
char* String_AppendConvert(char* text, const wchar_t* add, unsigned codePage);
wchar_t* StringW_AppendConvert(wchar_t* text, const char* add, unsigned codePage);

// The iconv character-set name of a code page ("" for an unknown one:
// the locale's own character set).
const char* CodePageCharset(unsigned codePage);

}  // namespace kestrin::strings
