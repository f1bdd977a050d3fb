// OctetString, the library's byte string, in "SEC_COMMONTYPES_1".
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qev_tables.h"
#include "sec_commontypes.h"

namespace {

using namespace kestrin::qevcrypto::commontypes;

HRESULT OctetStringInfo(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "OctetString", "byte string");
}

// The bytes may be key material: wiped before they go.
HRESULT OctetStringFree(void* value)
{
    auto* s = static_cast<OctetString*>(value);
    if (s == nullptr)
        return S_OK;
    WipeAndFree(s->data, s->data ? s->length : 0);
    std::free(s);
    return S_OK;
}

// The copy carries a NUL after its bytes, so that text in it can be read as such.
HRESULT OctetStringCopy(const void* src, void** dst)
{
    if (dst == nullptr)
        return E_POINTER;
    *dst = nullptr;
    auto* s = static_cast<const OctetString*>(src);
    if (s == nullptr)
        return S_OK;
    if (s->length > 0 && s->data == nullptr)
        return E_INVALIDARG;
    if (s->length >= SIZE_MAX)
        return E_OUTOFMEMORY;
    auto* copy = static_cast<OctetString*>(std::calloc(1, sizeof(OctetString)));
    if (copy == nullptr)
        return E_OUTOFMEMORY;
    copy->data = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(s->length) + 1));
    if (copy->data == nullptr) {
        std::free(copy);
        return E_OUTOFMEMORY;
    }
    if (s->length > 0)
        std::memcpy(copy->data, s->data, static_cast<size_t>(s->length));
    copy->data[s->length] = 0;
    copy->length = s->length;
    *dst = copy;
    return S_OK;
}

// Byte order first, then the shorter string is the smaller; 0 when equal.
int OctetStringCompare(const void* a, const void* b)
{
    auto* x = static_cast<const OctetString*>(a);
    auto* y = static_cast<const OctetString*>(b);
    if (x == nullptr || y == nullptr)
        return x == y ? 0 : (x == nullptr ? -1 : 1);
    uint64_t common = x->length < y->length ? x->length : y->length;
    if (common > 0) {
        int c = std::memcmp(x->data, y->data, static_cast<size_t>(common));
        if (c != 0)
            return c < 0 ? -1 : 1;
    }
    if (x->length == y->length)
        return 0;
    return x->length < y->length ? -1 : 1;
}

const SEC_TYPE_TABLE s_octetString = {
    {&OctetStringInfo},  &NoAddRef, &OctetStringFree, nullptr,   &OctetStringCopy,
    &OctetStringCompare, nullptr,   &NoNew,           &NoDecode, &NoEncode,
};

QevSlotFill s_fill("SEC_COMMONTYPES_1", SEC_TYPE_OctetString, const_cast<SEC_TYPE_TABLE*>(&s_octetString));

}  // namespace
