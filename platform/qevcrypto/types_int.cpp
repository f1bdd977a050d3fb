// The integer type `int` (35) in "SEC_COMMONTYPES_1": an unsigned 32-bit
// number on the heap, DER INTEGER 0 to 2^32-1; its entry 10 reads any DER
// INTEGER that fits 64 bits.
#include <cstdint>
#include <cstdlib>

#include "types_codec.h"
#include "types_table.h"
#include "types_values.h"

namespace kestrin::qevcrypto::values {
namespace {

void FreeInt(uint32_t* value)
{
    std::free(value);
}

uint32_t* CopyInt(const uint32_t* value)
{
    auto* copy = NewZeroed<uint32_t>();
    if (copy != nullptr)
        *copy = *value;
    return copy;
}

int CompareInt(const uint32_t* a, const uint32_t* b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : a == nullptr ? -1 : 1;
    return *a < *b ? -1 : *a > *b ? 1 : 0;
}

HRESULT EncodeIntValue(const void* value, codec::Out& out)
{
    codec::WriteUint32(out, *static_cast<const uint32_t*>(value));
    return S_OK;
}

HRESULT DecodeIntValue(codec::In& in, void** value)
{
    *value = nullptr;
    uint32_t number = 0;
    if (!codec::ReadUint32(in, number))
        return E_INVALIDARG;
    uint32_t* copy = CopyInt(&number);
    *value = copy;
    return copy != nullptr ? S_OK : E_OUTOFMEMORY;
}

void FreeIntValue(void* value)
{
    std::free(value);
}

HRESULT DecodeInteger(const OctetString* der, int64_t* value)
{
    if (value == nullptr)
        return E_POINTER;
    *value = 0;
    if (der == nullptr || der->data == nullptr)
        return E_INVALIDARG;
    // Short-form length only: nine bytes and more do not fit.
    const uint8_t* p = der->data;
    if (der->length < 3 || p[0] != 0x02 || p[1] > 8 || p[1] == 0 || der->length != 2u + p[1])
        return E_INVALIDARG;
    const uint8_t* content = p + 2;
    const size_t length = p[1];
    // Not in the fewest octets.
    if (length > 1 && ((content[0] == 0x00 && !(content[1] & 0x80)) || (content[0] == 0xFF && (content[1] & 0x80))))
        return E_INVALIDARG;
    uint64_t bits = (content[0] & 0x80) ? ~uint64_t {0} : 0;
    for (size_t i = 0; i < length; ++i)
        bits = (bits << 8) | content[i];
    *value = static_cast<int64_t>(bits);
    return S_OK;
}

HRESULT IntInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "int", "unsigned 32-bit number");
}

const SEC_INT_TYPE_TABLE s_int = {{{&IntInfo},
                                   &NoAddRef,
                                   &FreeEntry<uint32_t, FreeInt>,
                                   nullptr,
                                   &CopyEntry<uint32_t, CopyInt>,
                                   &CompareEntry<uint32_t, CompareInt>,
                                   nullptr,
                                   &NewEntry<uint32_t, false>,
                                   &codec::DecodeEntry<SEC_TYPE_int>,
                                   &codec::EncodeEntry<SEC_TYPE_int>},
                                  &DecodeInteger};

QevSlotFill s_fillInt("SEC_COMMONTYPES_1", SEC_TYPE_int, const_cast<SEC_INT_TYPE_TABLE*>(&s_int));

}  // namespace
}  // namespace kestrin::qevcrypto::values

namespace kestrin::qevcrypto::codec {

const Codec kIntCodec {&values::EncodeIntValue, &values::DecodeIntValue, &values::FreeIntValue};

}  // namespace kestrin::qevcrypto::codec
