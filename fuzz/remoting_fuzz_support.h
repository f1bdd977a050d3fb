// What the remoting fuzz targets share: the crypto library's allocator and a
// value codec that keeps every value as the bytes that carried it (so that
// decoding never fails on its own and the remoting's own reading is what is
// fuzzed), and counted service objects of the kinds the PSE hands out.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kinds.h"
#include "qevcrypto.h"
#include "zelk_holders.h"
#include "zelk_module.h"

namespace remoting_fuzz {

inline HRESULT Info(const char**, const char**, const char**)
{
    return 0;
}

// Every value is an OctetString holding its bytes.
inline HRESULT Copy(const void* source, void** out)
{
    const auto* in = static_cast<const OctetString*>(source);
    auto* value = static_cast<OctetString*>(std::calloc(1, sizeof(OctetString)));
    if (value == nullptr)
        return E_OUTOFMEMORY;
    value->length = in->length;
    value->data = static_cast<unsigned char*>(std::malloc(in->length + 1));
    if (in->length != 0)
        std::memcpy(value->data, in->data, in->length);
    *out = value;
    return 0;
}
inline HRESULT Free(void* p)
{
    auto* value = static_cast<OctetString*>(p);
    if (value != nullptr)
        std::free(value->data);
    std::free(value);
    return 0;
}
inline HRESULT Decode(const OctetString* der, void** out)
{
    return Copy(der, out);
}
inline HRESULT Encode(const void* value, OctetString** der)
{
    return Copy(value, reinterpret_cast<void**>(der));
}

inline SEC_TYPE_TABLE s_bytes = {};

// Attribute chains: one attribute per byte (at most eight), its id the
// byte's low two bits, each owning a one-byte value.
inline HRESULT AttributeFree(void* p)
{
    for (auto* a = static_cast<SECAttribute*>(p); a != nullptr;) {
        SECAttribute* next = a->next;
        if (a->owned && a->value != nullptr && a->type != nullptr)
            a->type->free(a->value);
        std::free(a);
        a = next;
    }
    return 0;
}
inline HRESULT AttributeDecode(const OctetString* der, void** out)
{
    SECAttribute* head = nullptr;
    SECAttribute** tail = &head;
    for (uint64_t i = 0; i < der->length && i < 8; ++i) {
        auto* a = static_cast<SECAttribute*>(std::calloc(1, sizeof(SECAttribute)));
        a->id = der->data[i] & 3;
        a->answered = 1;
        OctetString byte {1, der->data + i};
        Copy(&byte, &a->value);
        a->type = &s_bytes;
        a->owned = 1;
        *tail = a;
        tail = &a->next;
    }
    *out = head;
    return 0;
}
inline HRESULT AttributeEncode(const void* value, OctetString** der)
{
    unsigned char ids[8];
    uint64_t n = 0;
    for (auto* a = static_cast<const SECAttribute*>(value); a != nullptr && n < 8; a = a->next)
        ids[n++] = static_cast<unsigned char>(a->id);
    OctetString bytes {n, ids};
    return Copy(&bytes, reinterpret_cast<void**>(der));
}

// Binds the allocator and the codec into this program's runtime, once.
inline void Setup()
{
    static SEC_FUNCTION_LIST list = {};
    static SEC_TYPE_TABLE attributes = {};
    static void* types[256] = {};
    if (sdk_f_list != nullptr)
        return;
    list.malloc = &std::malloc;
    list.calloc = &std::calloc;
    list.realloc = &std::realloc;
    list.free = &std::free;
    s_bytes.get_info = &Info;
    s_bytes.free = &Free;
    s_bytes.copy = &Copy;
    s_bytes.decode = &Decode;
    s_bytes.encode = &Encode;
    attributes.get_info = &Info;
    attributes.free = &AttributeFree;
    attributes.decode = &AttributeDecode;
    attributes.encode = &AttributeEncode;
    types[0] = reinterpret_cast<void*>(&Info);
    for (int i = 1; i < 256; ++i)
        types[i] = &s_bytes;
    types[SEC_TYPE_SECAttribute] = &attributes;
    sdk_f_list = &list;
    fptr__common_types = reinterpret_cast<API_COMMON*>(types);
}

// An object of the service handed to the client: the lifetime-only proxy
// classes, unconnected, are counted objects.
template <class P>
P* NewObject()
{
    return new P();
}

}  // namespace remoting_fuzz
