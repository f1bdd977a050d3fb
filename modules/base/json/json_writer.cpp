#include "json_writer.h"

#include <cstdio>
#include <cstring>

namespace kestrin::base::json {

namespace {

// How each byte is written inside a string: 0 unchanged, a letter for a
// two-byte escape, 'u' for \u00XX.
constexpr char EscapeOf(unsigned char b)
{
    switch (b) {
    case 8:
        return 'b';
    case 9:
        return 't';
    case 10:
        return 'n';
    case 12:
        return 'f';
    case 13:
        return 'r';
    case '"':
        return '"';
    case '/':
        return '/';
    case '\\':
        return '\\';
    default:
        break;
    }
    // DEL is escaped too: the reader refuses it raw inside a string.
    return (b < 32 || b == 127) ? 'u' : 0;
}

struct EscapeTable {
    char v[256];
    constexpr EscapeTable() : v()
    {
        for (int b = 0; b < 256; ++b)
            v[b] = EscapeOf(static_cast<unsigned char>(b));
    }
};
constexpr EscapeTable kEscape;

}  // namespace

HRESULT JsonWriter::flush()
{
    if (FAILED(status_))
        return status_;
    if (used_) {
        status_ = sink_.write(buffer_, used_);
        used_ = 0;
    }
    return status_;
}

// Frees space for n bytes; flushing first means no append can run past the end.
HRESULT JsonWriter::room(size_t n)
{
    if (FAILED(status_))
        return status_;
    if (kBufferSize - used_ < n)
        return flush();
    return S_OK;
}

HRESULT JsonWriter::raw(const char* bytes, size_t length)
{
    HRESULT hr = room(length);
    if (FAILED(hr))
        return hr;
    if (length > kBufferSize) {
        status_ = sink_.write(bytes, length);
        return status_;
    }
    std::memcpy(buffer_ + used_, bytes, length);
    used_ += length;
    return S_OK;
}

HRESULT JsonWriter::string(const char* bytes, size_t length)
{
    HRESULT hr = raw("\"", 1);
    if (FAILED(hr))
        return hr;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    const unsigned char* end = p + length;
    while (p < end) {
        const unsigned char* run = p;
        while (p < end && !kEscape.v[*p])
            ++p;
        if (p > run) {
            hr = raw(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
            if (FAILED(hr))
                return hr;
        }
        if (p == end)
            break;
        char e = kEscape.v[*p];
        char seq[6] = {'\\', e, 0, 0, 0, 0};
        size_t n = 2;
        if (e == 'u') {
            static const char kHex[] = "0123456789abcdef";
            seq[2] = '0';
            seq[3] = '0';
            seq[4] = kHex[*p >> 4];
            seq[5] = kHex[*p & 15];
            n = 6;
        }
        hr = raw(seq, n);
        if (FAILED(hr))
            return hr;
        ++p;
    }
    return raw("\"", 1);
}

HRESULT JsonWriter::number(int32_t value)
{
    char text[16];
    int n = std::snprintf(text, sizeof text, "%d", value);
    return raw(text, static_cast<size_t>(n));
}

HRESULT JsonWriter::memberName(size_t index, const char* name, size_t length)
{
    HRESULT hr = index ? raw(",\n", 2) : S_OK;
    if (FAILED(hr))
        return hr;
    hr = string(name, length);
    if (FAILED(hr))
        return hr;
    return raw(" : ", 3);
}

}  // namespace kestrin::base::json
