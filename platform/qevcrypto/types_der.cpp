#include "types_der.h"

namespace kestrin::qevcrypto::der {

void AppendTlv(ossl::SecretBytes& out, uint8_t tag, const uint8_t* content, size_t length)
{
    out.push_back(tag);
    if (length < 0x80) {
        out.push_back(static_cast<uint8_t>(length));
    } else {
        uint8_t bytes[sizeof(size_t)];
        int n = 0;
        for (size_t v = length; v != 0; v >>= 8)
            bytes[n++] = static_cast<uint8_t>(v & 0xFF);
        out.push_back(static_cast<uint8_t>(0x80 | n));
        while (n > 0)
            out.push_back(bytes[--n]);
    }
    if (length != 0)
        out.insert(out.end(), content, content + length);
}

bool Reader::Next(uint8_t& tag, const uint8_t*& content, size_t& length, const uint8_t** whole, size_t* wholeLength)
{
    const uint8_t* start = p;
    if (end - p < 2)
        return false;
    tag = *p++;
    size_t len = *p++;
    if (len & 0x80) {
        size_t n = len & 0x7F;
        if (n == 0 || n > sizeof(uint32_t) || static_cast<size_t>(end - p) < n)
            return false;
        len = 0;
        for (size_t i = 0; i < n; ++i)
            len = (len << 8) | *p++;
    }
    if (static_cast<size_t>(end - p) < len)
        return false;
    content = p;
    length = len;
    p += len;
    if (whole)
        *whole = start;
    if (wholeLength)
        *wholeLength = static_cast<size_t>(p - start);
    return true;
}

}  // namespace kestrin::qevcrypto::der
