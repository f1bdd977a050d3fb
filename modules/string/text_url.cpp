// Percent-encoding of texts (RFC 3986 unreserved characters kept) and its
// decoding (form encoding: "+" is a blank).
#include <openssl/crypto.h>

#include "codepage.h"
#include "text.h"

namespace kestrin::strings {

namespace {

bool Unreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'
           || c == '.' || c == '~';
}

template <class C>
int HexValue(C c)
{
    if (c >= C('0') && c <= C('9'))
        return int(c - C('0'));
    if (c >= C('A') && c <= C('F'))
        return int(c - C('A')) + 10;
    if (c >= C('a') && c <= C('f'))
        return int(c - C('a')) + 10;
    return -1;
}

// Every escape gives one character whose value is the escaped byte; the wide
// table does no UTF-8 decoding.
template <class C>
HRESULT UrlDecode(const C* t, C** out)
{
    if (t == nullptr || out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    const size_t len = Len(t);
    C* p = AllocChars<C>(len + 1);
    if (p == nullptr)
        return E_OUTOFMEMORY;
    size_t o = 0;
    HRESULT hr = S_OK;
    for (size_t i = 0; i < len; ++i) {
        if (t[i] == C('+')) {
            p[o++] = C(' ');
        } else if (t[i] == C('%')) {
            // The text's end reads as a character that is not a digit.
            const int hi = HexValue(t[i + 1]);
            const int lo = hi < 0 ? -1 : HexValue(t[i + 2]);
            if (lo < 0) {
                hr = E_FAIL;
                break;
            }
            p[o++] = static_cast<C>(static_cast<unsigned char>(hi * 16 + lo));
            i += 2;
        } else {
            p[o++] = t[i];
        }
    }
    p[o] = C(0);
    *out = p;
    return hr;
}

}  // namespace

HRESULT String_URLEncode(const char* t, char** out)
{
    if (t == nullptr || out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    const size_t len = Len(t);
    size_t escapes = 0;
    for (size_t i = 0; i < len; ++i)
        escapes += !Unreserved(static_cast<unsigned char>(t[i]));
    if (escapes > (SIZE_MAX - 1 - len) / 2)
        return ZELK_E_URLENCODE_NOMEM;
    char* p = AllocChars<char>(len + 2 * escapes + 1);
    if (p == nullptr)
        return ZELK_E_URLENCODE_NOMEM;
    static const char kDigits[] = "0123456789ABCDEF";
    size_t o = 0;
    for (size_t i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(t[i]);
        if (Unreserved(c)) {
            p[o++] = char(c);
        } else {
            p[o++] = '%';
            p[o++] = kDigits[c >> 4];
            p[o++] = kDigits[c & 0x0F];
        }
    }
    p[o] = '\0';
    *out = p;
    return S_OK;
}

HRESULT String_URLDecode(const char* t, char** out)
{
    return UrlDecode(t, out);
}

HRESULT StringW_URLEncode(const wchar_t* t, char** out)
{
    if (t == nullptr || out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    char* utf8 = nullptr;
    StringW_Convert(t, &utf8, 65001);
    if (utf8 == nullptr)
        return E_FAIL;
    const HRESULT hr = String_URLEncode(utf8, out);
    // The text may be a form value such as a password.
    OPENSSL_cleanse(utf8, Len(utf8));
    sec_free(utf8);
    return hr;
}

HRESULT StringW_URLDecode(const wchar_t* t, wchar_t** out)
{
    return UrlDecode(t, out);
}

}  // namespace kestrin::strings
