// Byte classes of the JSON reader's tokenizer, shared with the HTTP parser.
#pragma once

#include <array>
#include <cstdint>

namespace kestrin::base::json {

namespace detail {

constexpr uint32_t kDigit = 2;
constexpr uint32_t kSpace = 64;        // 9, 10, 13, 32
constexpr uint32_t kNonAscii = 256;    // 128..253
constexpr uint32_t kEscapable = 4096;  // ASCII without LF and CR
constexpr uint32_t kPlain = 8192;      // visible ASCII without '"' and '\'

constexpr std::array<uint32_t, 256> BuildCharClasses()
{
    std::array<uint32_t, 256> t {};
    for (int c = 0; c < 256; ++c) {
        uint32_t m = 0;
        if (c >= '0' && c <= '9')
            m |= kDigit;
        if (c == 9 || c == 10 || c == 13 || c == 32)
            m |= kSpace;
        if (c >= 128 && c <= 253)
            m |= kNonAscii;
        if (c <= 127 && c != 10 && c != 13)
            m |= kEscapable;
        if (c >= 33 && c <= 126 && c != '"' && c != '\\')
            m |= kPlain;
        t[static_cast<size_t>(c)] = m;
    }
    return t;
}

}  // namespace detail

struct JSON_CHAR_CLASS {
    static constexpr uint32_t DIGIT = detail::kDigit;
    static constexpr uint32_t SPACE = detail::kSpace;
    static constexpr uint32_t NON_ASCII = detail::kNonAscii;
    static constexpr uint32_t ESCAPABLE = detail::kEscapable;
    static constexpr uint32_t PLAIN = detail::kPlain;

    static constexpr std::array<uint32_t, 256> table = detail::BuildCharClasses();

    static constexpr bool is(uint32_t cls, unsigned char c) { return (table[c] & cls) != 0; }
    static constexpr bool is(uint32_t cls, char c) { return is(cls, static_cast<unsigned char>(c)); }
};

}  // namespace kestrin::base::json
