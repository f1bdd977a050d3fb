#include "types_codec.h"

#include <cstdlib>
#include <cstring>

#include "sec_commontypes.h"
#include "types_values.h"

namespace kestrin::qevcrypto::codec {

namespace {

// Well-formed UTF-8 (RFC 3629: no overlong forms, no surrogates, at most
// U+10FFFF) without NUL.
bool IsText(const uint8_t* p, size_t n)
{
    size_t i = 0;
    while (i < n) {
        const uint8_t c = p[i];
        if (c == 0)
            return false;
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t extra;
        uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kSmallest[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

bool In::Element(uint8_t& tag, const uint8_t*& content, size_t& length)
{
    if (m_end - m_p < 2)
        return false;
    const uint8_t t = m_p[0];
    // High tag numbers are not used by any of the library's forms.
    if ((t & 0x1F) == 0x1F)
        return false;
    const uint8_t* p = m_p + 2;
    size_t len = m_p[1];
    if (len & 0x80) {
        const size_t n = len & 0x7F;
        if (n == 0 || n > sizeof(uint32_t) || static_cast<size_t>(m_end - p) < n || p[0] == 0)
            return false;
        len = 0;
        for (size_t i = 0; i < n; ++i)
            len = (len << 8) | p[i];
        p += n;
        // DER: the short form whenever it fits.
        if (len < 0x80)
            return false;
    }
    if (static_cast<size_t>(m_end - p) < len)
        return false;
    tag = t;
    content = p;
    length = len;
    m_p = p + len;
    return true;
}

bool In::Peek(uint8_t& tag) const
{
    if (m_p == m_end)
        return false;
    tag = *m_p;
    return true;
}

bool In::Next(uint8_t tag, const uint8_t*& content, size_t& length, const uint8_t** whole, size_t* wholeLength)
{
    const uint8_t* start = m_p;
    uint8_t t = 0;
    if (!Element(t, content, length) || t != tag) {
        m_p = start;
        return false;
    }
    if (whole != nullptr)
        *whole = start;
    if (wholeLength != nullptr)
        *wholeLength = static_cast<size_t>(m_p - start);
    return true;
}

bool In::Enter(uint8_t tag, In& inner)
{
    if ((tag & 0x20) == 0 || m_depth + 1 > kMaxDepth)
        return false;
    const uint8_t* content = nullptr;
    size_t length = 0;
    if (!Next(tag, content, length))
        return false;
    inner = In(content, length, m_depth + 1);
    return true;
}

bool In::NextAny(const uint8_t*& whole, size_t& wholeLength)
{
    const uint8_t* start = m_p;
    uint8_t tag = 0;
    const uint8_t* content = nullptr;
    size_t length = 0;
    if (!Element(tag, content, length))
        return false;
    if (tag & 0x20) {
        In inner(content, length, m_depth + 1);
        if (m_depth + 1 > kMaxDepth || !inner.SkipAny()) {
            m_p = start;
            return false;
        }
    }
    whole = start;
    wholeLength = static_cast<size_t>(m_p - start);
    return true;
}

bool In::SkipAny()
{
    while (!AtEnd()) {
        uint8_t tag = 0;
        const uint8_t* content = nullptr;
        size_t length = 0;
        if (!Element(tag, content, length))
            return false;
        if (tag & 0x20) {
            if (m_depth + 1 > kMaxDepth)
                return false;
            In inner(content, length, m_depth + 1);
            if (!inner.SkipAny())
                return false;
        }
    }
    return true;
}

void Tlv(Out& out, uint8_t tag, const uint8_t* content, size_t length)
{
    const size_t mark = out.size();
    if (length != 0)
        out.insert(out.end(), content, content + length);
    WrapFrom(out, mark, tag);
}

void WrapFrom(Out& out, size_t mark, uint8_t tag)
{
    const size_t length = out.size() - mark;
    uint8_t header[2 + sizeof(size_t)];
    size_t n = 0;
    header[n++] = tag;
    if (length < 0x80) {
        header[n++] = static_cast<uint8_t>(length);
    } else {
        size_t bytes = 0;
        for (size_t v = length; v != 0; v >>= 8)
            ++bytes;
        header[n++] = static_cast<uint8_t>(0x80 | bytes);
        for (size_t i = bytes; i > 0; --i)
            header[n++] = static_cast<uint8_t>(length >> (8 * (i - 1)));
    }
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(mark), header, header + n);
}

HRESULT WriteText(Out& out, const char* text)
{
    if (text == nullptr)
        return E_INVALIDARG;
    const size_t length = std::strlen(text);
    if (!IsText(reinterpret_cast<const uint8_t*>(text), length))
        return E_INVALIDARG;
    Tlv(out, TAG_UTF8_STRING, reinterpret_cast<const uint8_t*>(text), length);
    return S_OK;
}

HRESULT ReadText(In& in, char** text)
{
    *text = nullptr;
    const uint8_t* content = nullptr;
    size_t length = 0;
    if (!in.Next(TAG_UTF8_STRING, content, length) || !IsText(content, length))
        return E_INVALIDARG;
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy == nullptr)
        return E_OUTOFMEMORY;
    if (length != 0)
        std::memcpy(copy, content, length);
    copy[length] = '\0';
    *text = copy;
    return S_OK;
}

HRESULT WriteOptionalText(Out& out, unsigned int n, const char* text)
{
    if (text == nullptr)
        return S_OK;
    const size_t mark = out.size();
    HRESULT hr = WriteText(out, text);
    if (SUCCEEDED(hr))
        WrapFrom(out, mark, Explicit(n));
    return hr;
}

HRESULT ReadOptionalText(In& in, unsigned int n, char** text)
{
    *text = nullptr;
    if (!NextIs(in, Explicit(n)))
        return S_OK;
    In field(nullptr, 0, 0);
    if (!in.Enter(Explicit(n), field))
        return E_INVALIDARG;
    HRESULT hr = ReadText(field, text);
    if (SUCCEEDED(hr) && !field.AtEnd()) {
        commontypes::FreeString(*text);
        *text = nullptr;
        hr = E_INVALIDARG;
    }
    return hr;
}

bool NextIs(const In& in, uint8_t tag)
{
    uint8_t next = 0;
    return in.Peek(next) && next == tag;
}

void WriteUint32(Out& out, uint32_t value)
{
    uint8_t bytes[5];
    size_t n = 0;
    // A leading zero byte keeps values with the top bit set positive.
    bool started = false;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const uint8_t b = static_cast<uint8_t>(value >> shift);
        if (!started && b == 0 && shift != 0)
            continue;
        if (!started && (b & 0x80))
            bytes[n++] = 0;
        started = true;
        bytes[n++] = b;
    }
    Tlv(out, TAG_INTEGER, bytes, n);
}

bool ReadUint32(In& in, uint32_t& value)
{
    const uint8_t* content = nullptr;
    size_t length = 0;
    if (!in.Next(TAG_INTEGER, content, length) || length == 0 || length > 5)
        return false;
    // Negative, or not in the shortest form.
    if ((content[0] & 0x80) || (length > 1 && content[0] == 0 && !(content[1] & 0x80)))
        return false;
    if (length == 5 && content[0] != 0)
        return false;
    uint64_t v = 0;
    for (size_t i = 0; i < length; ++i)
        v = (v << 8) | content[i];
    value = static_cast<uint32_t>(v);
    return true;
}

void WriteBoolean(Out& out, bool value)
{
    const uint8_t byte = value ? 0xFF : 0x00;
    Tlv(out, TAG_BOOLEAN, &byte, 1);
}

bool ReadBoolean(In& in, bool& value)
{
    const uint8_t* content = nullptr;
    size_t length = 0;
    if (!in.Next(TAG_BOOLEAN, content, length) || length != 1 || (content[0] != 0 && content[0] != 0xFF))
        return false;
    value = content[0] != 0;
    return true;
}

const Codec* CodecOf(unsigned int typeIndex)
{
    switch (typeIndex) {
    case SEC_TYPE_AlgId:
        return &kAlgIdCodec;
    case SEC_TYPE_DName:
        return &kDNameCodec;
    case SEC_TYPE_int:
        return &kIntCodec;
    case SEC_TYPE_IssuerAndSerial:
        return &kIssuerAndSerialCodec;
    case SEC_TYPE_KeyInfo:
        return &kKeyInfoCodec;
    case SEC_TYPE_OctetString:
        return &kOctetStringCodec;
    case SEC_TYPE_PersonalCertificateInfo:
        return &kPersonalCertificateInfoCodec;
    case SEC_TYPE_SEQUENCE_OF_AlgId:
        return &kSequenceOfAlgIdCodec;
    case SEC_TYPE_SEQUENCE_OF_Certificate:
        return &kSequenceOfCertificateCodec;
    case SEC_TYPE_SET_OF_Certificate:
        return &kSetOfCertificateCodec;
    case SEC_TYPE_SET_OF_DName:
        return &kSetOfDNameCodec;
    case SEC_TYPE_SET_OF_PIN_Info:
        return &kSetOfPinInfoCodec;
    case SEC_TYPE_SET_OF_PersonalCertificateInfo:
        return &kSetOfPersonalCertificateInfoCodec;
    case SEC_TYPE_Certificate:
        return &kCertificateCodec;
    case SEC_TYPE_SECAttribute:
        return &kAttributeCodec;
    case SEC_TYPE_String:
        return &kStringCodec;
    case SEC_TYPE_SET_OF_String:
        return &kSetOfStringCodec;
    case SEC_TYPE_SET_OF_SecSlotInfo:
        return &kSetOfSecSlotInfoCodec;
    default:
        return nullptr;
    }
}

HRESULT EncodeWith(const Codec& codec, const void* value, OctetString** der)
{
    if (der == nullptr)
        return E_POINTER;
    *der = nullptr;
    if (value == nullptr)
        return S_OK;
    Out out;
    // Fewer reallocations (each wipes the buffer it leaves).
    out.reserve(1024);
    HRESULT hr = codec.encode(value, out);
    if (FAILED(hr))
        return hr;
    *der = values::NewOctets(out.data(), out.size());
    return *der != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT DecodeWith(const Codec& codec, bool list, const OctetString* der, void** out)
{
    if (out == nullptr)
        return E_POINTER;
    *out = nullptr;
    if (der == nullptr || (der->length != 0 && der->data == nullptr))
        return E_INVALIDARG;
    if (der->length == 0)
        return list ? S_OK : E_INVALIDARG;
    In in(der->data, static_cast<size_t>(der->length), 0);
    void* value = nullptr;
    HRESULT hr = codec.decode(in, &value);
    if (FAILED(hr))
        return hr;
    if (!in.AtEnd()) {
        codec.free(value);
        return E_INVALIDARG;
    }
    *out = value;
    return S_OK;
}

}  // namespace kestrin::qevcrypto::codec
