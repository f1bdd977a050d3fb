// Slot 26 of "String.1" and "StringW.1": printf-style formatting into a
// buffer sized by a pre-scan of the format.
#pragma once

#include <cstdarg>

namespace kestrin::strings {

// Formats into a new buffer from sec_malloc (caller frees with sec_free).
// Nothing happens (and *out is not touched) when format or out is NULL.
// Conversions follow the text's own width: in a char format %s is a char
// text and %S / %ls a wide one (written as UTF-8); in a wide format %s, %S
// and %ls are wide and %hs a char (UTF-8) text.
void String_FormatV(const char* format, va_list args, char** out);
void StringW_FormatV(const wchar_t* format, va_list args, wchar_t** out);

}  // namespace kestrin::strings
