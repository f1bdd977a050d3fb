// Octet strings, Base64, cipher sizes and the process ancestry.
#include <unistd.h>

#include <cstring>

#include "core_bindings.h"
#include "core_helpers.h"
#include "qevcrypto_encode.h"
#include "zelk_alloc.h"
#include "zelk_trace.h"

namespace kestrin::base {
namespace {

struct CipherSize {
    unsigned int code;
    unsigned long block;
    unsigned long key;
};

constexpr CipherSize kCipherSizes[] = {
    {1, 8, 56}, {2, 8, 168}, {4, 8, 128}, {7, 8, 192}, {10, 16, 128}, {11, 16, 192}, {12, 16, 256},
};

const CipherSize* FindCipher(unsigned int code)
{
    for (const CipherSize& c : kCipherSizes)
        if (c.code == code)
            return &c;
    return nullptr;
}

// One size of a cipher code; *out is cleared first once the arguments hold.
HRESULT CipherSizeOf(unsigned int code, unsigned long* out, unsigned long CipherSize::*size)
{
    if (code == 0 || out == nullptr)
        return E_INVALIDARG;
    *out = 0;
    const CipherSize* c = FindCipher(code);
    if (c == nullptr)
        return E_INVALIDARG;
    *out = c->*size;
    return S_OK;
}

// A fresh buffer for *out: a new octet string when *out is NULL, otherwise
// the old bytes are wiped and replaced. false when memory runs out.
bool Prepare(OctetString** out, size_t size, bool& created)
{
    created = *out == nullptr;
    if (created) {
        *out = static_cast<OctetString*>(sec_calloc(1, sizeof(OctetString)));
        if (*out == nullptr)
            return false;
    } else if ((*out)->data != nullptr) {
        sec_memzero((*out)->data, (*out)->length);
        sec_free((*out)->data);
    }
    (*out)->data = static_cast<unsigned char*>(sec_malloc(size));
    (*out)->length = size;
    if ((*out)->data == nullptr) {
        (*out)->length = 0;
        if (created) {
            sec_free(*out);
            *out = nullptr;
        }
        return false;
    }
    return true;
}

void Discard(OctetString** out, bool created)
{
    sec_memzero((*out)->data, (*out)->length);
    sec_free((*out)->data);
    (*out)->data = nullptr;
    (*out)->length = 0;
    if (created) {
        sec_free(*out);
        *out = nullptr;
    }
}

}  // namespace

void OctetString_Free(OctetString* s)
{
    if (s == nullptr)
        return;
    if (s->data != nullptr) {
        sec_memzero(s->data, s->length);
        sec_free(s->data);
    }
    sec_free(s);
}

void OctetString_ZeroTerminate(OctetString* s)
{
    if (s == nullptr || s->data == nullptr)
        return;
    if (s->length != 0 && s->data[s->length - 1] == 0)
        return;
    auto* grown = static_cast<unsigned char*>(sec_realloc(s->data, s->length + 1));
    if (grown == nullptr)
        return;
    grown[s->length] = 0;
    s->data = grown;
}

int OctetString_Create(unsigned long length, OctetString** out)
{
    if (out == nullptr)
        return -1;
    *out = static_cast<OctetString*>(sec_calloc(1, sizeof(OctetString)));
    if (*out == nullptr)
        return -1;
    (*out)->data = static_cast<unsigned char*>(sec_malloc(length == 0 ? 1 : length));
    if ((*out)->data == nullptr) {
        sec_free(*out);
        *out = nullptr;
        return -1;
    }
    (*out)->length = length;
    return 0;
}

int OctetString_CreateByBuffer(const void* data, unsigned long length, OctetString** out)
{
    if (out == nullptr || (data == nullptr && length != 0) || length == ~0ul)
        return -1;
    if (OctetString_Create(length + 1, out) != 0)
        return -1;
    if (length != 0)
        std::memcpy((*out)->data, data, length);
    (*out)->data[length] = 0;
    (*out)->length = length;
    return 0;
}

int OctetString_CreateByRange(const void* begin, const void* end, OctetString** out)
{
    if (out == nullptr)
        return -1;
    *out = nullptr;
    auto* b = static_cast<const unsigned char*>(begin);
    auto* e = static_cast<const unsigned char*>(end);
    if (e < b)
        return -1;
    return OctetString_CreateByBuffer(b, static_cast<unsigned long>(e - b), out);
}

HRESULT aux_enc_base64(const OctetString* in, OctetString** out)
{
    if (in == nullptr || out == nullptr || (in->data == nullptr && in->length != 0))
        return E_INVALIDARG;
    auto* encode = ZELK_ApiCast<SEC_ENCODE_TABLE>(fptr__encode);
    size_t size = SEC_Base64EncodeBufferSize(in->length);
    if (encode == nullptr || size == SIZE_MAX)
        return E_FAIL;
    bool created = false;
    if (!Prepare(out, size, created))
        return E_OUTOFMEMORY;
    uint64_t length = size;
    if (FAILED(encode->base64_encode(in->data, in->length, reinterpret_cast<char*>((*out)->data), &length, nullptr,
                                     nullptr, "\r\n"))) {
        Discard(out, created);
        return E_FAIL;
    }
    (*out)->length = SEC_Base64TextLength(length);
    return S_OK;
}

HRESULT aux_dec_base64(const OctetString* in, OctetString** out)
{
    if (in == nullptr || out == nullptr || (in->data == nullptr && in->length != 0))
        return E_INVALIDARG;
    auto* encode = ZELK_ApiCast<SEC_ENCODE_TABLE>(fptr__encode);
    if (encode == nullptr)
        return E_FAIL;
    size_t size = in->length / 4 * 3 + (in->length % 4) * 3 / 4 + 60;
    bool created = false;
    if (!Prepare(out, size, created))
        return E_OUTOFMEMORY;
    uint64_t length = size;
    if (FAILED(encode->base64_decode(reinterpret_cast<const char*>(in->data), in->length, (*out)->data, &length,
                                     nullptr, nullptr))) {
        Discard(out, created);
        return E_FAIL;
    }
    (*out)->length = length;
    return S_OK;
}

HRESULT aux_cipher_blocksize(unsigned int code, unsigned long* out)
{
    return CipherSizeOf(code, out, &CipherSize::block);
}

HRESULT aux_cipher_keysize(unsigned int code, unsigned long* out)
{
    return CipherSizeOf(code, out, &CipherSize::key);
}

// The walk towards the parent never leaves the calling process: the process
// lookup it would rely on tells nothing, so the caller's own id is the answer.
int aux_process_get_parent(int, bool)
{
    return static_cast<int>(getpid());
}

}  // namespace kestrin::base
