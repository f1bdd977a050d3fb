#include "json_writer.h"

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
    if (length > kBufferSize - used_ || FAILED(status_))
        return rawSlow(bytes, length);
    std::memcpy(buffer_ + used_, bytes, length);
    used_ += length;
    return S_OK;
}

HRESULT JsonWriter::rawSlow(const char* bytes, size_t length)
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
    HRESULT hr = text("\"");
    if (FAILED(hr))
        return hr;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes);
    const unsigned char* end = p + length;
    while (p < end) {
        // Plain bytes go straight into the buffer, as many as it holds.
        size_t space = kBufferSize - used_;
        const unsigned char* stop = static_cast<size_t>(end - p) > space ? p + space : end;
        char* out = buffer_ + used_;
        const unsigned char* q = p;
        while (q < stop && !kEscape.v[*q])
            *out++ = static_cast<char>(*q++);
        used_ += static_cast<size_t>(q - p);
        p = q;
        if (p == end)
            break;
        char e = kEscape.v[*p];
        if (!e) {
            hr = flush();
            if (FAILED(hr))
                return hr;
            continue;
        }
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
    return text("\"");
}

HRESULT JsonWriter::number(int32_t value)
{
    char text[12];
    char* end = text + sizeof text;
    char* begin = end;
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
        *--begin = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude);
    if (value < 0)
        *--begin = '-';
    return raw(begin, static_cast<size_t>(end - begin));
}

HRESULT JsonWriter::memberName(size_t index, const char* name, size_t length)
{
    HRESULT hr = index ? text(",\n") : S_OK;
    if (FAILED(hr))
        return hr;
    hr = string(name, length);
    if (FAILED(hr))
        return hr;
    return text(" : ");
}

}  // namespace kestrin::base::json
