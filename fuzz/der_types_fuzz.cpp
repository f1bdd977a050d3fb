// Every DER decoder of "SEC_COMMONTYPES_1": the first byte picks the type, the
// rest is its encoding. What a decoder takes must encode again, decode to an
// equal value and copy to an equal value; what it refuses must leave nothing.
// The integer type's 64-bit reader must agree with its own decoder on every
// value both take.
#include <cstdint>
#include <cstdlib>

#include "qev_tables.h"
#include "qev_values.h"
#include "qevcrypto.h"

namespace {

constexpr unsigned int kTypes[] = {
    SEC_TYPE_AlgId,
    SEC_TYPE_DName,
    SEC_TYPE_int,
    SEC_TYPE_IssuerAndSerial,
    SEC_TYPE_KeyInfo,
    SEC_TYPE_OctetString,
    SEC_TYPE_PersonalCertificateInfo,
    SEC_TYPE_SEQUENCE_OF_AlgId,
    SEC_TYPE_SEQUENCE_OF_Certificate,
    SEC_TYPE_SET_OF_Certificate,
    SEC_TYPE_SET_OF_DName,
    SEC_TYPE_SET_OF_PIN_Info,
    SEC_TYPE_SET_OF_PersonalCertificateInfo,
    SEC_TYPE_Certificate,
    SEC_TYPE_SECAttribute,
    SEC_TYPE_String,
    SEC_TYPE_SET_OF_String,
    SEC_TYPE_SET_OF_SecSlotInfo,
    SEC_TYPE_PrivateKeyInfo,
};
constexpr size_t kTypeCount = sizeof kTypes / sizeof kTypes[0];

API_COMMON* CommonTypes()
{
    static API_COMMON* types = [] {
        API_COMMON* table = qev_find_table("SEC_COMMONTYPES_1");
        if (table == nullptr)
            std::abort();
        return table;
    }();
    return types;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const SEC_TYPE_TABLE* type = SEC_TypeTable(CommonTypes(), kTypes[data[0] % kTypeCount]);
    const SEC_TYPE_TABLE* octets = SEC_TypeTable(CommonTypes(), SEC_TYPE_OctetString);
    OctetString der {size - 1, const_cast<uint8_t*>(data + 1)};
    void* value = nullptr;
    if (type == SEC_TypeTable(CommonTypes(), SEC_TYPE_int)) {
        int64_t wide = 0;
        const bool read = SUCCEEDED(static_cast<const SEC_INT_TYPE_TABLE*>(type)->decode_integer(&der, &wide));
        void* narrow = nullptr;
        const bool taken = SUCCEEDED(type->decode(&der, &narrow)) && narrow != nullptr;
        if (taken != (read && wide >= 0 && wide <= INT64_C(0xFFFFFFFF))
            || (taken && wide != static_cast<int64_t>(*static_cast<uint32_t*>(narrow))))
            std::abort();
        if (narrow != nullptr)
            type->free(narrow);
    }
    if (FAILED(type->decode(&der, &value))) {
        if (value != nullptr)
            std::abort();
        return 0;
    }
    if (value == nullptr)
        return 0;
    OctetString* again = nullptr;
    void* back = nullptr;
    void* copy = nullptr;
    if (FAILED(type->encode(value, &again)) || again == nullptr || FAILED(type->decode(again, &back))
        || type->compare(value, back) != 0 || FAILED(type->copy(value, &copy)) || type->compare(value, copy) != 0)
        std::abort();
    type->free(copy);
    type->free(back);
    octets->free(again);
    type->free(value);
    return 0;
}
