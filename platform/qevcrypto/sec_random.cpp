// "SEC_RANDOM_1": random values.
#include <openssl/crypto.h>

#include <cstdlib>

#include "ossl/ossl_random.h"
#include "qev_random.h"
#include "qev_tables.h"
#include "types_values.h"

namespace {

using namespace kestrin::qevcrypto;

// A caller asking for more is refused before anything is allocated.
constexpr uint64_t kMaxRandomBytes = 1u << 20;

constexpr char kTextAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr unsigned kAlphabetSize = sizeof kTextAlphabet - 1;
// Random bytes from this bound up are drawn again, so that every character
// is equally likely.
constexpr unsigned kUnbiasedBound = 256 - 256 % kAlphabetSize;

HRESULT RandomText(uint64_t length, char** result)
{
    *result = nullptr;
    if (length > kMaxRandomBytes)
        return E_INVALIDARG;
    char* text = static_cast<char*>(std::malloc(length + 1));
    if (text == nullptr)
        return E_OUTOFMEMORY;
    unsigned char pool[64];
    size_t used = sizeof pool;
    HRESULT hr = S_OK;
    for (uint64_t i = 0; i < length && SUCCEEDED(hr);) {
        if (used == sizeof pool) {
            hr = ossl::RandomBytes(pool, sizeof pool);
            used = 0;
            continue;
        }
        const unsigned char b = pool[used++];
        if (b < kUnbiasedBound)
            text[i++] = kTextAlphabet[b % kAlphabetSize];
    }
    OPENSSL_cleanse(pool, sizeof pool);
    if (FAILED(hr)) {
        OPENSSL_cleanse(text, length);
        std::free(text);
        return hr;
    }
    text[length] = '\0';
    *result = text;
    return S_OK;
}

HRESULT sec_random(int, uint64_t length, int form, void* out)
{
    if (out == nullptr)
        return E_POINTER;
    if (form == SEC_RANDOM_TEXT || form == SEC_RANDOM_UID_TEXT)
        return RandomText(length, static_cast<char**>(out));
    if (form != SEC_RANDOM_BYTES)
        return E_INVALIDARG;
    auto** result = static_cast<OctetString**>(out);
    *result = nullptr;
    if (length > kMaxRandomBytes)
        return E_INVALIDARG;
    OctetString* s = values::NewOctets(nullptr, 0);
    if (s == nullptr)
        return E_OUTOFMEMORY;
    std::free(s->data);
    s->data = static_cast<unsigned char*>(std::malloc(length + 1));
    if (s->data == nullptr) {
        std::free(s);
        return E_OUTOFMEMORY;
    }
    s->data[length] = 0;
    s->length = length;
    HRESULT hr = ossl::RandomBytes(s->data, length);
    if (FAILED(hr)) {
        values::FreeOctets(s);
        return hr;
    }
    *result = s;
    return S_OK;
}

HRESULT sec_random_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_RANDOM_1", "random values");
}

QevTable<> s_table("SEC_RANDOM_1", &sec_random_get_info, {{1, qev_slot(&sec_random)}});

}  // namespace
