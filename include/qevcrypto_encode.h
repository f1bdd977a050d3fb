// The crypto library's text encoders, table "SEC_ENCODE_1", as the string
// module and the library share them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qevcrypto.h"

constexpr const char* SEC_ENCODE_API = "SEC_ENCODE_1";

// Answers of the encoders: the text is not valid hexadecimal or Base64, or the
// result does not fit the capacity the caller gave.
constexpr HRESULT SEC_E_ENCODE_BADTEXT = ZELK_RC(0xA0100310);
constexpr HRESULT SEC_E_ENCODE_NOROOM = ZELK_RC(0xA0100311);
constexpr HRESULT SEC_E_ENCODE_ARG = ZELK_RC(0xA0100312);

// Flag of the hexadecimal decoder: every character must be a hexadecimal digit
// (or the separator), and the digits must pair up. Without it, white space
// between the digits is skipped as well.
constexpr int SEC_HEX_STRICT = 1;

// Base64 texts are written in lines of this many characters, separated by the
// caller's separator (none after the last line).
constexpr size_t SEC_BASE64_LINE = 64;

// The Base64 encoder's length contract. The encoder is given the buffer's size
// in *length and answers in *length the length of the text plus one: the text
// is followed by its NUL, and the reported length counts that NUL. The text is
// therefore SEC_Base64TextLength(reported) characters long; a caller that
// writes a NUL at reported - 1 writes it over the NUL, not over the last
// character.
constexpr uint64_t SEC_Base64TextLength(uint64_t reported)
{
    return reported == 0 ? 0 : reported - 1;
}

// A buffer for the Base64 text of `length` bytes in lines separated by a
// two-character separator: 64 characters and the separator per 48 bytes,
// plus the NUL. SIZE_MAX when the size does not fit.
constexpr size_t SEC_Base64EncodeBufferSize(size_t length)
{
    const size_t lines = length / 48 + 1;
    if (lines > (SIZE_MAX - 1) / (SEC_BASE64_LINE + 2))
        return SIZE_MAX;
    return lines * (SEC_BASE64_LINE + 2) + 1;
}

// The arguments of the one fingerprint form (entry 5): SHA-1 as 40 digits.
constexpr int SEC_FINGERPRINT_DIGITS = 40;
constexpr int SEC_FINGERPRINT_GROUP = 32;
constexpr int SEC_FINGERPRINT_SHA1 = 5;

extern "C" {

struct SEC_ENCODE_TABLE : API_COMMON {
    // 1: `buffer` (2 x length + 1 bytes) receives the lower-case hexadecimal
    // text of the bytes and its NUL.
    HRESULT (*hex_encode)(const unsigned char* data, size_t length, char* buffer);
    // 2: decodes the hexadecimal text into `data`; *length gives the capacity
    // in bytes and receives the decoded count. `separator` (0: none) may stand
    // between byte pairs; `flags` see SEC_HEX_STRICT.
    HRESULT (*hex_decode)(const char* text, unsigned char* data, uint64_t* length, char separator, int flags);
    // 3: writes the Base64 text of the bytes into `buffer`, whose size *length
    // gives, in lines of 64 characters separated by `separator` (NULL: one
    // line), and answers the length as SEC_Base64TextLength describes.
    HRESULT(*base64_encode)
    (const unsigned char* data, size_t length, char* buffer, uint64_t* bufferLength, void* reserved1, void* reserved2,
     const char* separator);
    // 4: decodes `textLength` characters of Base64 text (line breaks CR and LF
    // are skipped) into `data`; *length gives the capacity in bytes and
    // receives the decoded count. `data` may be the text's own buffer.
    HRESULT(*base64_decode)
    (const char* text, size_t textLength, unsigned char* data, uint64_t* length, void* reserved1, void* reserved2);
    // 5: the fingerprint text of the bytes into *text (library allocator).
    // The one form served: digits 40, group 32, algorithm 5 (SHA-1), giving 40
    // upper-case hexadecimal digits without separator; any other form is
    // 0x80000003.
    HRESULT (*fingerprint)(const unsigned char* data, size_t length, int digits, int group, int algorithm, char** text);
};

}  // extern "C"
