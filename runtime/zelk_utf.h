// UTF-8 <-> UTF-32 (wchar_t) steps shared by the formatter, the code-page
// conversion and the trace front end. Narrow text is UTF-8, wide text UTF-32.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin::runtime {

constexpr char32_t kReplacementChar = 0xFFFD;

// A scalar value that UTF-8 and UTF-32 can carry (no surrogates, at most U+10FFFF).
constexpr bool IsScalarValue(uint32_t c)
{
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// Bytes that EncodeUtf8 writes for c (an invalid value is written as U+FFFD).
constexpr size_t Utf8Width(uint32_t c)
{
    if (!IsScalarValue(c))
        return 3;
    return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
}

// Writes c as UTF-8 into out (room for 4 bytes); returns the bytes written.
inline size_t EncodeUtf8(uint32_t c, char* out)
{
    if (!IsScalarValue(c))
        c = kReplacementChar;
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (c >> 18));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

// Decodes one character at s (s[0] must not be NUL). Returns the bytes
// consumed (at least 1, never past a NUL) and stores the character in *c;
// *valid is false for a malformed, overlong or truncated sequence, which
// consumes one byte and yields U+FFFD.
inline size_t DecodeUtf8(const char* s, uint32_t* c, bool* valid)
{
    const auto* u = reinterpret_cast<const unsigned char*>(s);
    uint32_t lead = u[0];
    size_t n;
    uint32_t value;
    uint32_t min;
    if (lead < 0x80) {
        *c = lead;
        *valid = true;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        n = 2, value = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        n = 3, value = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        n = 4, value = lead & 0x07, min = 0x10000;
    } else {
        n = 0, value = 0, min = 0;
    }
    bool ok = n != 0;
    for (size_t i = 1; ok && i < n; ++i) {
        if ((u[i] & 0xC0) != 0x80)
            ok = false;
        else
            value = (value << 6) | (u[i] & 0x3F);
    }
    if (ok && (value < min || !IsScalarValue(value)))
        ok = false;
    *valid = ok;
    if (!ok) {
        *c = kReplacementChar;
        return 1;
    }
    *c = value;
    return n;
}

}  // namespace kestrin::runtime
