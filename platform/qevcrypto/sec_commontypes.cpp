// "SEC_COMMONTYPES_1": slot k is the function table of the value type of index
// k. The types fill their slots from their own source files (types_*.cpp); a
// slot that no type fills stays NULL, so a caller never mistakes a function
// for a table.
#include "sec_commontypes.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <cstring>

#include "qev_tables.h"

namespace {

HRESULT sec_commontypes_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_COMMONTYPES_1", "per-type function tables");
}

constexpr size_t kSlots = 256;

struct Slots {
    Slots() { slots[0] = qev_slot(&sec_commontypes_get_info); }
    void* slots[kSlots] = {};
};

Slots s_slots;
QevTableRegistration s_registration("SEC_COMMONTYPES_1", s_slots.slots, kSlots);

}  // namespace

namespace kestrin::qevcrypto::commontypes {

const SEC_TYPE_TABLE* TypeTable(unsigned int index)
{
    if (index == 0 || index >= kSlots)
        return nullptr;
    return static_cast<const SEC_TYPE_TABLE*>(s_slots.slots[index]);
}

void WipeAndFree(void* buffer, size_t size)
{
    if (buffer == nullptr)
        return;
    OPENSSL_cleanse(buffer, size);
    std::free(buffer);
}

char* CopyString(const char* s)
{
    size_t length = std::strlen(s);
    auto* copy = static_cast<char*>(std::malloc(length + 1));
    if (copy != nullptr)
        std::memcpy(copy, s, length + 1);
    return copy;
}

void FreeString(char* s)
{
    if (s != nullptr)
        WipeAndFree(s, std::strlen(s));
}

int CompareStrings(const char* a, const char* b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    return std::strcmp(a, b);
}

}  // namespace kestrin::qevcrypto::commontypes
