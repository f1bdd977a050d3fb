// "SEC_ENCODE_1" slots 1 to 4: hexadecimal and Base64 texts of bytes, and
// back. The Base64 alphabet is the standard one (RFC 4648) with "=" padding;
// OpenSSL encodes the 48-byte blocks that make one line.
#include <openssl/evp.h>

#include <cstring>

#include "qev_tables.h"
#include "qevcrypto_encode.h"

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

HRESULT sec_hex_encode(const unsigned char* data, size_t length, char* buffer)
{
    if (buffer == nullptr || (data == nullptr && length > 0))
        return SEC_E_ENCODE_ARG;
    for (size_t i = 0; i < length; ++i) {
        buffer[2 * i] = kHexDigits[data[i] >> 4];
        buffer[2 * i + 1] = kHexDigits[data[i] & 0x0F];
    }
    buffer[2 * length] = '\0';
    return S_OK;
}

HRESULT sec_hex_decode(const char* text, unsigned char* data, uint64_t* length, char separator, int flags)
{
    if (text == nullptr || length == nullptr || (data == nullptr && *length > 0))
        return SEC_E_ENCODE_ARG;
    const uint64_t capacity = *length;
    uint64_t count = 0;
    int high = -1;
    for (const char* p = text; *p != '\0'; ++p) {
        const int v = HexValue(*p);
        if (v < 0) {
            // Separators and (unless strict) blanks may stand between byte pairs only.
            const bool skippable = (separator != '\0' && *p == separator) || (!(flags & SEC_HEX_STRICT) && IsBlank(*p));
            if (!skippable || high >= 0)
                return SEC_E_ENCODE_BADTEXT;
            continue;
        }
        if (high < 0) {
            high = v;
            continue;
        }
        if (count == capacity)
            return SEC_E_ENCODE_NOROOM;
        data[count++] = static_cast<unsigned char>(high << 4 | v);
        high = -1;
    }
    if (high >= 0)
        return SEC_E_ENCODE_BADTEXT;
    *length = count;
    return S_OK;
}

HRESULT sec_base64_encode(const unsigned char* data, size_t length, char* buffer, uint64_t* bufferLength, void*, void*,
                          const char* separator)
{
    if (buffer == nullptr || bufferLength == nullptr || (data == nullptr && length > 0))
        return SEC_E_ENCODE_ARG;
    constexpr size_t kBlock = SEC_BASE64_LINE / 4 * 3;
    const size_t sepLength = separator ? std::strlen(separator) : 0;
    const size_t lines = length / kBlock + (length % kBlock != 0);
    const size_t chars = length / 3 * 4 + (length % 3 != 0 ? 4 : 0);
    size_t textLength = 0;
    if (length > SIZE_MAX / 2 || __builtin_mul_overflow(lines > 1 ? lines - 1 : 0, sepLength, &textLength)
        || __builtin_add_overflow(textLength, chars, &textLength) || textLength >= *bufferLength)
        return SEC_E_ENCODE_NOROOM;
    char* o = buffer;
    for (size_t done = 0; done < length; done += kBlock) {
        if (done > 0 && sepLength) {
            std::memcpy(o, separator, sepLength);
            o += sepLength;
        }
        const size_t n = length - done < kBlock ? length - done : kBlock;
        o += EVP_EncodeBlock(reinterpret_cast<unsigned char*>(o), data + done, static_cast<int>(n));
    }
    *o = '\0';
    // The reported length counts the NUL behind the text.
    *bufferLength = textLength + 1;
    return S_OK;
}

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Reads the text front to back and writes at most three bytes per four
// characters behind the read position, so `data` may be the text itself.
HRESULT sec_base64_decode(const char* text, size_t textLength, unsigned char* data, uint64_t* length, void*, void*)
{
    if (text == nullptr || length == nullptr || (data == nullptr && *length > 0))
        return SEC_E_ENCODE_ARG;
    const uint64_t capacity = *length;
    uint64_t count = 0;
    uint32_t quad = 0;
    int filled = 0;
    int padding = 0;
    for (size_t i = 0; i < textLength; ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            // Padding closes the last group of four, after at least two characters.
            if (filled + padding < 2)
                return SEC_E_ENCODE_BADTEXT;
            ++padding;
        } else {
            const int v = Base64Value(c);
            if (v < 0 || padding > 0)
                return SEC_E_ENCODE_BADTEXT;
            quad = quad << 6 | uint32_t(v);
            ++filled;
        }
        if (filled + padding < 4)
            continue;
        const int bytes = filled - 1;
        quad <<= 6 * padding;
        if (capacity - count < uint64_t(bytes))
            return SEC_E_ENCODE_NOROOM;
        for (int b = 0; b < bytes; ++b)
            data[count++] = static_cast<unsigned char>(quad >> (16 - 8 * b));
        const bool padded = padding > 0;
        quad = 0;
        filled = 0;
        padding = 0;
        if (padded) {
            // Nothing but line breaks may follow the padding.
            for (size_t j = i + 1; j < textLength; ++j)
                if (text[j] != '\r' && text[j] != '\n')
                    return SEC_E_ENCODE_BADTEXT;
            break;
        }
    }
    // A group of fewer than four characters is cut off.
    if (filled + padding != 0)
        return SEC_E_ENCODE_BADTEXT;
    *length = count;
    return S_OK;
}

QevSlotFill s_hexEncode(SEC_ENCODE_API, 1, qev_slot(&sec_hex_encode));
QevSlotFill s_hexDecode(SEC_ENCODE_API, 2, qev_slot(&sec_hex_decode));
QevSlotFill s_base64Encode(SEC_ENCODE_API, 3, qev_slot(&sec_base64_encode));
QevSlotFill s_base64Decode(SEC_ENCODE_API, 4, qev_slot(&sec_base64_decode));

}  // namespace
