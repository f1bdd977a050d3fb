// The integer type `int` (35) in "SEC_COMMONTYPES_1": an unsigned 32-bit
// number on the heap, DER INTEGER 0 to 2^32-1.
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

HRESULT IntInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "int", "unsigned 32-bit number");
}

const SEC_TYPE_TABLE s_int = {{&IntInfo},
                              &NoAddRef,
                              &FreeEntry<uint32_t, FreeInt>,
                              nullptr,
                              &CopyEntry<uint32_t, CopyInt>,
                              &CompareEntry<uint32_t, CompareInt>,
                              nullptr,
                              &NewEntry<uint32_t, false>,
                              &codec::DecodeEntry<SEC_TYPE_int>,
                              &codec::EncodeEntry<SEC_TYPE_int>};

QevSlotFill s_fillInt("SEC_COMMONTYPES_1", SEC_TYPE_int, const_cast<SEC_TYPE_TABLE*>(&s_int));

}  // namespace
}  // namespace kestrin::qevcrypto::values

namespace kestrin::qevcrypto::codec {

const Codec kIntCodec {&values::EncodeIntValue, &values::DecodeIntValue, &values::FreeIntValue};

}  // namespace kestrin::qevcrypto::codec
