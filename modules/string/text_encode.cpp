// Base64 and hexadecimal texts of byte strings (through the crypto library's
// encoders, "SEC_ENCODE_1"), and byte strings of texts.
#include <openssl/crypto.h>

#include "codepage.h"
#include "qevcrypto_encode.h"
#include "text.h"
#include "zelk_module.h"

namespace kestrin::strings {

namespace {

API_COMMON* s_encode = nullptr;
CLoadAPI s_bindEncode(nullptr, SEC_ENCODE_API, &s_encode);

const SEC_ENCODE_TABLE* Encoder()
{
    return s_encode ? ZELK_ApiCast<SEC_ENCODE_TABLE>(s_encode) : nullptr;
}

// A new OctetString with an uninitialised data buffer of `size` bytes (at
// least one) and the length field set to `length`.
OctetString* NewOctetString(size_t size, uint64_t length)
{
    auto* os = static_cast<OctetString*>(sec_malloc(sizeof(OctetString)));
    if (os == nullptr)
        return nullptr;
    os->data = static_cast<unsigned char*>(sec_malloc(size ? size : 1));
    if (os->data == nullptr) {
        sec_free(os);
        return nullptr;
    }
    os->length = length;
    return os;
}

// Frees a byte string whose bytes may have been a secret.
void BurnOctetString(OctetString* os, size_t size)
{
    if (os && os->data)
        OPENSSL_cleanse(os->data, size);
    FreeOctetString(os);
}

// The wide text of the ASCII or UTF-8 text `t`, or NULL.
wchar_t* Widen(const char* t)
{
    wchar_t* w = nullptr;
    String_Convert(t, &w, 65001);
    return w;
}

// The UTF-8 text of `t`, or NULL.
char* Narrow(const wchar_t* t)
{
    char* n = nullptr;
    StringW_Convert(t, &n, 65001);
    return n;
}

// The wide twin of a char encoder: its text widened from UTF-8.
HRESULT EncodeWide(HRESULT (*encode)(OctetString*, char**), OctetString* data, wchar_t** out)
{
    char* text = nullptr;
    HRESULT hr = encode(data, out ? &text : nullptr);
    if (FAILED(hr))
        return hr;
    *out = Widen(text);
    sec_free(text);
    return *out ? S_OK : E_OUTOFMEMORY;
}

// The wide twin of a char decoder: the text narrowed to UTF-8 first.
HRESULT DecodeWide(HRESULT (*decode)(const char*, OctetString**), const wchar_t* t, OctetString** out)
{
    if (t == nullptr || out == nullptr)
        return E_FAIL;
    *out = nullptr;
    char* text = Narrow(t);
    if (text == nullptr)
        return E_FAIL;
    const HRESULT hr = decode(text, out);
    sec_free(text);
    return hr;
}

bool BadBytes(const OctetString* data)
{
    return data->length > 0 && data->data == nullptr;
}

}  // namespace

void FreeOctetString(OctetString* data)
{
    if (data == nullptr)
        return;
    sec_free(data->data);
    sec_free(data);
}

HRESULT String_Base64Encode(OctetString* data, char** out)
{
    if (data == nullptr || out == nullptr || BadBytes(data))
        return E_FAIL;
    const SEC_ENCODE_TABLE* enc = Encoder();
    if (enc == nullptr)
        return E_FAIL;
    const size_t size = SEC_Base64EncodeBufferSize(data->length);
    if (size == SIZE_MAX)
        return E_OUTOFMEMORY;
    char* work = static_cast<char*>(sec_malloc(size));
    if (work == nullptr)
        return E_OUTOFMEMORY;
    uint64_t reported = size;
    const HRESULT hr = enc->base64_encode(data->data, data->length, work, &reported, nullptr, nullptr, "\r\n");
    if (FAILED(hr) || reported == 0 || reported > size) {
        sec_free(work);
        return E_FAIL;
    }
    const size_t textLength = SEC_Base64TextLength(reported);
    work[textLength] = '\0';
    *out = NewText(work, textLength);
    sec_free(work);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT String_Base64Decode(const char* t, OctetString** out)
{
    if (t == nullptr || out == nullptr)
        return E_FAIL;
    *out = nullptr;
    const SEC_ENCODE_TABLE* enc = Encoder();
    if (enc == nullptr)
        return E_FAIL;
    const size_t len = Len(t);
    // Three bytes per four characters, and room to spare.
    const size_t size = len / 4 * 3 + (len % 4) * 3 / 4 + 60;
    char* text = NewText(t, len);
    if (text == nullptr)
        return E_OUTOFMEMORY;
    OctetString* os = NewOctetString(size, size);
    if (os == nullptr) {
        sec_free(text);
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = enc->base64_decode(text, len, os->data, &os->length, nullptr, nullptr);
    OPENSSL_cleanse(text, len);
    sec_free(text);
    if (FAILED(hr) || os->length > size) {
        BurnOctetString(os, size);
        return E_FAIL;
    }
    *out = os;
    return S_OK;
}

HRESULT String_HexEncode(OctetString* data, char** out)
{
    if (data == nullptr || out == nullptr || BadBytes(data))
        return E_FAIL;
    const SEC_ENCODE_TABLE* enc = Encoder();
    if (enc == nullptr)
        return E_FAIL;
    if (data->length > (SIZE_MAX - 1) / 2)
        return E_OUTOFMEMORY;
    char* buffer = AllocChars<char>(2 * data->length + 1);
    if (buffer == nullptr)
        return E_OUTOFMEMORY;
    if (FAILED(enc->hex_encode(data->data, data->length, buffer))) {
        sec_free(buffer);
        return E_FAIL;
    }
    *out = buffer;
    return S_OK;
}

HRESULT String_HexDecode(const char* t, OctetString** out)
{
    if (t == nullptr || out == nullptr)
        return E_FAIL;
    *out = nullptr;
    const SEC_ENCODE_TABLE* enc = Encoder();
    if (enc == nullptr)
        return E_FAIL;
    const size_t n = Len(t) / 2;
    OctetString* os = NewOctetString(n + 1, n);
    if (os == nullptr)
        return E_OUTOFMEMORY;
    const HRESULT hr = enc->hex_decode(t, os->data, &os->length, '\0', SEC_HEX_STRICT);
    if (FAILED(hr) || os->length > n) {
        BurnOctetString(os, n + 1);
        return FAILED(hr) ? hr : E_FAIL;
    }
    *out = os;
    return hr;
}

void String_OctetString2String(const OctetString* data, char** out)
{
    if (out == nullptr)
        return;
    *out = nullptr;
    if (data && data->data && data->length > 0)
        *out = NewText(reinterpret_cast<const char*>(data->data), data->length);
}

HRESULT String_String2OctetString(const char* t, OctetString** out)
{
    if (t == nullptr || out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    const size_t len = Len(t);
    OctetString* os = NewOctetString(len + 1, len + 1);
    if (os == nullptr)
        return E_OUTOFMEMORY;
    std::memcpy(os->data, t, len + 1);
    *out = os;
    return S_OK;
}

HRESULT StringW_Base64Encode(OctetString* data, wchar_t** out)
{
    return EncodeWide(String_Base64Encode, data, out);
}

HRESULT StringW_Base64Decode(const wchar_t* t, OctetString** out)
{
    return DecodeWide(String_Base64Decode, t, out);
}

HRESULT StringW_HexEncode(OctetString* data, wchar_t** out)
{
    return EncodeWide(String_HexEncode, data, out);
}

HRESULT StringW_HexDecode(const wchar_t* t, OctetString** out)
{
    return DecodeWide(String_HexDecode, t, out);
}

// The wide table has no byte-string conversions of its own.
void StringW_OctetString2String(const OctetString*, wchar_t**) {}

HRESULT StringW_String2OctetString(const wchar_t*, OctetString**)
{
    return E_NOTIMPL;
}

}  // namespace kestrin::strings
