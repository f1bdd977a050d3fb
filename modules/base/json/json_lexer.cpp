#include "json_lexer.h"

#include <cstring>

#include "json_chars.h"

namespace kestrin::base::json {

namespace {

bool IsSpace(unsigned char b)
{
    return JSON_CHAR_CLASS::is(JSON_CHAR_CLASS::SPACE, b);
}
bool IsDigit(unsigned char b)
{
    return JSON_CHAR_CLASS::is(JSON_CHAR_CLASS::DIGIT, b);
}

int HexValue(unsigned char b)
{
    if (b >= '0' && b <= '9')
        return b - '0';
    if (b >= 'a' && b <= 'f')
        return b - 'a' + 10;
    if (b >= 'A' && b <= 'F')
        return b - 'A' + 10;
    return -1;
}

}  // namespace

void SkipSpace(Cursor& c)
{
    while (c.pos < c.end && IsSpace(*c.pos))
        ++c.pos;
}

void SkipComments(Cursor& c)
{
    for (;;) {
        SkipSpace(c);
        if (c.peek() != '/')
            return;
        Cursor probe {c.pos + 1, c.end};
        SkipSpace(probe);
        if (probe.peek() != '/')
            return;
        const void* lf = std::memchr(probe.pos, '\n', static_cast<size_t>(probe.end - probe.pos));
        c.pos = lf ? static_cast<const unsigned char*>(lf) + 1 : c.end;
    }
}

bool Expect(Cursor& c, unsigned char ch)
{
    SkipSpace(c);
    if (c.peek() != ch)
        return false;
    ++c.pos;
    return true;
}

HRESULT ScanString(Cursor& c, const unsigned char** begin, const unsigned char** end, bool* escaped)
{
    if (!Expect(c, '"'))
        return E_FAIL;
    const unsigned char* p = c.pos;
    bool esc = false;
    constexpr uint32_t kContent = JSON_CHAR_CLASS::PLAIN | JSON_CHAR_CLASS::SPACE | JSON_CHAR_CLASS::NON_ASCII;
    while (p < c.end) {
        unsigned char b = *p;
        if (JSON_CHAR_CLASS::is(kContent, b)) {
            ++p;
        } else if (b == '"') {
            *begin = c.pos;
            *end = p;
            *escaped = esc;
            c.pos = p + 1;
            return S_OK;
        } else if (b == '\\' && p + 1 < c.end && JSON_CHAR_CLASS::is(JSON_CHAR_CLASS::ESCAPABLE, p[1])) {
            esc = true;
            p += 2;
        } else {
            return E_FAIL;
        }
    }
    return E_FAIL;
}

HRESULT DecodeString(const unsigned char* begin, const unsigned char* end, ByteBuffer& out)
{
    out.clear();
    // Decoding never makes the text longer, so one reservation suffices.
    HRESULT hr = out.reserve(static_cast<size_t>(end - begin) + 1);
    if (FAILED(hr))
        return hr;
    unsigned char* w = out.data();
    const unsigned char* p = begin;
    while (p < end) {
        const unsigned char* bs = static_cast<const unsigned char*>(std::memchr(p, '\\', static_cast<size_t>(end - p)));
        const unsigned char* stop = bs ? bs : end;
        std::memcpy(w, p, static_cast<size_t>(stop - p));
        w += stop - p;
        p = stop;
        if (!bs)
            break;
        if (p + 1 >= end)
            return E_FAIL;
        unsigned char e = p[1];
        p += 2;
        switch (e) {
        case '"':
        case '/':
        case '\\':
            *w++ = e;
            break;
        case 'b':
            *w++ = 8;
            break;
        case 'f':
            *w++ = 12;
            break;
        case 'n':
            *w++ = 10;
            break;
        case 'r':
            *w++ = 13;
            break;
        case 't':
            *w++ = 9;
            break;
        case 'u': {
            if (end - p < 4)
                return E_FAIL;
            unsigned cp = 0;
            for (int i = 0; i < 4; ++i) {
                int h = HexValue(p[i]);
                if (h < 0)
                    return E_FAIL;
                cp = (cp << 4) | static_cast<unsigned>(h);
            }
            p += 4;
            if (cp <= 0x7F) {
                *w++ = static_cast<unsigned char>(cp);
            } else if (cp <= 0x7FF) {
                *w++ = static_cast<unsigned char>(0xC0 | (cp >> 6));
                *w++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            } else {
                *w++ = static_cast<unsigned char>(0xE0 | (cp >> 12));
                *w++ = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
                *w++ = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            }
            break;
        }
        default:
            return E_FAIL;
        }
    }
    *w = 0;
    out.setSize(static_cast<size_t>(w - out.data()));
    return S_OK;
}

HRESULT ReadNumber(Cursor& c, int32_t* value)
{
    SkipSpace(c);
    bool negative = false;
    bool signThenSpace = false;
    int b = c.peek();
    if (b == '-' || b == '+') {
        negative = b == '-';
        ++c.pos;
        signThenSpace = c.pos < c.end && IsSpace(*c.pos);
        SkipSpace(c);
    }
    if (c.atEnd() || !IsDigit(*c.pos))
        return E_FAIL;
    // Accumulate the magnitude as a negative number so INT32_MIN fits.
    int64_t acc = 0;
    bool overflow = false;
    while (c.pos < c.end && IsDigit(*c.pos)) {
        if (!overflow) {
            acc = acc * 10 + (*c.pos - '0');
            if (acc > int64_t {INT32_MAX} + 1)
                overflow = true;
        }
        ++c.pos;
    }
    if (c.peek() == '.') {
        ++c.pos;
        if (c.atEnd() || !IsDigit(*c.pos))
            return E_FAIL;
        while (c.pos < c.end && IsDigit(*c.pos))
            ++c.pos;
    }
    if (signThenSpace) {
        *value = 0;
        return S_OK;
    }
    if (overflow || (!negative && acc > INT32_MAX))
        return E_FAIL;
    *value = static_cast<int32_t>(negative ? -acc : acc);
    return S_OK;
}

bool TakeWord(Cursor& c, const char* word, size_t length)
{
    if (static_cast<size_t>(c.end - c.pos) < length || std::memcmp(c.pos, word, length) != 0)
        return false;
    c.pos += length;
    return true;
}

}  // namespace kestrin::base::json
