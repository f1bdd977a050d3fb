// The system's printf-style formatter for narrow (UTF-8) and wide (UTF-32)
// formats. One parser serves both the pre-scan that sizes the buffer and the
// formatter, so the two always take the same arguments.
//
// Conversions follow the text's own width: in a char format %s is a char
// text, %S / %ls a wide one (written as UTF-8); in a wide format %s, %S and
// %ls are wide, %hs a char text (read as UTF-8); %c / %C likewise. Size
// prefixes: hh, h, l, ll, I64, L, z, j, t (F and N are ignored). Integers:
// d i o u x X p; floating point: e E f g G a A (L: long double); n takes its
// pointer and writes nothing. An unknown conversion takes no argument and
// writes nothing. A width or precision above kFormatMaxWidth rejects the format.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace kestrin::runtime {

constexpr size_t kFormatMaxWidth = 1u << 20;
constexpr size_t kFormatInvalid = static_cast<size_t>(-1);

// Upper bound of the output length in characters; kFormatInvalid when the
// format is rejected. Consumes a copy of args only.
size_t FormatEstimate(const char* format, va_list args);
size_t FormatEstimate(const wchar_t* format, va_list args);

// Formats into buffer (capacity characters, terminator included, at least 1),
// cutting the output at capacity - 1 characters; always terminates. A narrow
// output cut inside a UTF-8 sequence drops the partial sequence. Returns the
// characters written, without the terminator.
size_t FormatInto(char* buffer, size_t capacity, const char* format, va_list args);
size_t FormatInto(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);

// Pre-scan, one buffer of estimate + 1 characters from alloc, format.
// NULL for a NULL or rejected format and when alloc fails.
char* FormatAlloc(const char* format, va_list args, void* (*alloc)(size_t));
wchar_t* FormatAlloc(const wchar_t* format, va_list args, void* (*alloc)(size_t));

}  // namespace kestrin::runtime
