// The DER forms of the values of "SEC_COMMONTYPES_1" that travel between
// processes: a strict reader and a writer, each type's codec, and the table
// entries 8 (decode) and 9 (encode) built from them.
//
// Decoding refuses what DER does not allow and what the library does not take
// from outside: trailing bytes, lengths beyond the input or written longer
// than needed, nesting of the library's own structures deeper than 8, lists
// of more than 4096 elements and texts that hold a NUL. A refused input gives
// E_INVALIDARG and no value. A NULL value encodes as no bytes (0, *der NULL).
#pragma once

#include <cstddef>
#include <cstdint>

#include "ossl/ossl_util.h"
#include "qev_records.h"
#include "qevcrypto.h"

namespace kestrin::qevcrypto::codec {

constexpr unsigned int kMaxDepth = 8;
constexpr size_t kMaxListLength = 4096;

constexpr uint8_t TAG_BOOLEAN = 0x01;
constexpr uint8_t TAG_INTEGER = 0x02;
constexpr uint8_t TAG_BIT_STRING = 0x03;
constexpr uint8_t TAG_OCTET_STRING = 0x04;
constexpr uint8_t TAG_OID = 0x06;
constexpr uint8_t TAG_UTF8_STRING = 0x0C;
constexpr uint8_t TAG_SEQUENCE = 0x30;
constexpr uint8_t TAG_SET = 0x31;
// [n] EXPLICIT: constructed, context-specific.
constexpr uint8_t Explicit(unsigned int n)
{
    return static_cast<uint8_t>(0xA0 | n);
}

using Out = ossl::SecretBytes;

// Reads the elements of one level of an encoding.
class In {
public:
    In(const uint8_t* data, size_t length, unsigned int depth) : m_p(data), m_end(data + length), m_depth(depth) {}

    bool AtEnd() const { return m_p == m_end; }
    unsigned int Depth() const { return m_depth; }
    // The tag of the next element without reading it; false at the end.
    bool Peek(uint8_t& tag) const;
    // The next element, which must carry `tag`: its contents, and its whole
    // encoding when asked.
    bool Next(uint8_t tag, const uint8_t*& content, size_t& length, const uint8_t** whole = nullptr,
              size_t* wholeLength = nullptr);
    // Steps into the next element, which must be constructed and carry `tag`;
    // false beyond the depth limit.
    bool Enter(uint8_t tag, In& inner);
    // Any one element, its insides checked as SkipAny does: its whole encoding.
    bool NextAny(const uint8_t*& whole, size_t& wholeLength);
    // Checks that the rest of this level is well-formed DER whatever it holds
    // (for values carried as they are, such as algorithm parameters).
    bool SkipAny();

private:
    bool Element(uint8_t& tag, const uint8_t*& content, size_t& length);

    const uint8_t* m_p;
    const uint8_t* m_end;
    unsigned int m_depth;
};

void Tlv(Out& out, uint8_t tag, const uint8_t* content, size_t length);
// Wraps what `body` appended after `mark` in a tag and length.
void WrapFrom(Out& out, size_t mark, uint8_t tag);

// Texts: UTF-8 without NUL.
HRESULT WriteText(Out& out, const char* text);
HRESULT ReadText(In& in, char** text);
// [n] EXPLICIT UTF8String OPTIONAL: nothing for NULL, and NULL when absent.
HRESULT WriteOptionalText(Out& out, unsigned int n, const char* text);
HRESULT ReadOptionalText(In& in, unsigned int n, char** text);
// Whether the next element carries `tag`.
bool NextIs(const In& in, uint8_t tag);
// INTEGER 0 to 2^32-1, in its shortest form.
void WriteUint32(Out& out, uint32_t value);
bool ReadUint32(In& in, uint32_t& value);
void WriteBoolean(Out& out, bool value);
bool ReadBoolean(In& in, bool& value);

// One value type's codec over a reader and a writer.
struct Codec {
    HRESULT (*encode)(const void* value, Out& out);  // appends one element; the value is not NULL
    HRESULT (*decode)(In& in, void** value);         // reads one element
    void (*free)(void* value);
};

// The codec of a type index; NULL for types without one.
const Codec* CodecOf(unsigned int typeIndex);

// Entry 9 and entry 8 over a codec. Lists decode no bytes as the empty list.
HRESULT EncodeWith(const Codec& codec, const void* value, OctetString** der);
HRESULT DecodeWith(const Codec& codec, bool list, const OctetString* der, void** out);

template <unsigned int Index>
HRESULT EncodeEntry(const void* value, OctetString** der)
{
    return EncodeWith(*CodecOf(Index), value, der);
}

template <unsigned int Index, bool List = false>
HRESULT DecodeEntry(const OctetString* der, void** out)
{
    return DecodeWith(*CodecOf(Index), List, der, out);
}

// Typed codecs of the types that others hold.
HRESULT EncodeAlgId(const AlgId* value, Out& out);
HRESULT DecodeAlgId(In& in, AlgId** value);
HRESULT EncodeDName(const DName* value, Out& out);
HRESULT DecodeDName(In& in, DName** value);
HRESULT EncodeCertificate(const Certificate* value, Out& out);
HRESULT DecodeCertificate(In& in, Certificate** value);
HRESULT EncodeIssuerAndSerial(const IssuerAndSerial* value, Out& out);
HRESULT DecodeIssuerAndSerial(In& in, IssuerAndSerial** value);

// The codecs of each type (types_*.cpp).
extern const Codec kAlgIdCodec;
extern const Codec kDNameCodec;
extern const Codec kIntCodec;
extern const Codec kIssuerAndSerialCodec;
extern const Codec kKeyInfoCodec;
extern const Codec kOctetStringCodec;
extern const Codec kPersonalCertificateInfoCodec;
extern const Codec kSequenceOfAlgIdCodec;
extern const Codec kSequenceOfCertificateCodec;
extern const Codec kSetOfCertificateCodec;
extern const Codec kSetOfDNameCodec;
extern const Codec kSetOfPinInfoCodec;
extern const Codec kSetOfPersonalCertificateInfoCodec;
extern const Codec kCertificateCodec;
extern const Codec kAttributeCodec;
extern const Codec kStringCodec;
extern const Codec kSetOfStringCodec;
extern const Codec kSetOfSecSlotInfoCodec;

}  // namespace kestrin::qevcrypto::codec
