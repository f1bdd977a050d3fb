// OctetString, the library's byte string, in "SEC_COMMONTYPES_1".
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qev_tables.h"
#include "sec_commontypes.h"
#include "types_codec.h"
#include "types_values.h"

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

HRESULT EncodeOctetString(const void* value, kestrin::qevcrypto::codec::Out& out)
{
    auto* s = static_cast<const OctetString*>(value);
    if (s->length > 0 && s->data == nullptr)
        return E_INVALIDARG;
    kestrin::qevcrypto::codec::Tlv(out, kestrin::qevcrypto::codec::TAG_OCTET_STRING, s->data,
                                   static_cast<size_t>(s->length));
    return S_OK;
}

HRESULT DecodeOctetString(kestrin::qevcrypto::codec::In& in, void** value)
{
    *value = nullptr;
    const uint8_t* content = nullptr;
    size_t length = 0;
    if (!in.Next(kestrin::qevcrypto::codec::TAG_OCTET_STRING, content, length))
        return E_INVALIDARG;
    *value = kestrin::qevcrypto::values::NewOctets(content, length);
    return *value != nullptr ? S_OK : E_OUTOFMEMORY;
}

void FreeOctetString(void* value)
{
    OctetStringFree(value);
}

const SEC_TYPE_TABLE s_octetString = {
    {&OctetStringInfo},
    &NoAddRef,
    &OctetStringFree,
    nullptr,
    &OctetStringCopy,
    &OctetStringCompare,
    nullptr,
    &NoNew,
    &kestrin::qevcrypto::codec::DecodeEntry<SEC_TYPE_OctetString>,
    &kestrin::qevcrypto::codec::EncodeEntry<SEC_TYPE_OctetString>,
};

QevSlotFill s_fill("SEC_COMMONTYPES_1", SEC_TYPE_OctetString, const_cast<SEC_TYPE_TABLE*>(&s_octetString));

}  // namespace

namespace kestrin::qevcrypto::codec {

const Codec kOctetStringCodec {&EncodeOctetString, &DecodeOctetString, &FreeOctetString};

}  // namespace kestrin::qevcrypto::codec
