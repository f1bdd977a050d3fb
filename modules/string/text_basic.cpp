// Length, copies, comparisons, searches and tests of texts (both widths).
#include <openssl/crypto.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "text.h"

namespace kestrin::strings {

namespace {

// Length of at most n characters of t; a buffer that ends before its NUL is
// read no further than n.
template <class C>
size_t BoundedLen(const C* t, size_t n)
{
    size_t i = 0;
    while (i < n && t[i] != C(0))
        ++i;
    return i;
}

template <class C>
int32_t Sign(C a, C b)
{
    using U = std::make_unsigned_t<C>;
    return U(a) < U(b) ? -1 : (U(a) > U(b) ? 1 : 0);
}

// Both texts not NULL: compares at most n characters. The char table answers
// the difference of the first differing bytes as strcmp does; the wide table
// answers -1, 0 or 1.
template <class C, class Map>
int32_t CompareChars(const C* a, const C* b, size_t n, Map map)
{
    for (size_t i = 0; i < n; ++i) {
        const C ca = map(a[i]);
        const C cb = map(b[i]);
        if (ca != cb || ca == C(0)) {
            if constexpr (sizeof(C) == 1)
                return int32_t(static_cast<unsigned char>(ca)) - int32_t(static_cast<unsigned char>(cb));
            else
                return Sign(ca, cb);
        }
    }
    return 0;
}

template <class C>
C Same(C c)
{
    return c;
}

template <class C, class Map>
int32_t CompareTexts(const C* a, const C* b, size_t n, Map map)
{
    if (a == nullptr)
        return b == nullptr ? 0 : -1;
    if (b == nullptr)
        return 1;
    return CompareChars(a, b, n, map);
}

template <class C>
bool IsSpaceChar(C c)
{
    using U = std::make_unsigned_t<C>;
    return IsWhite(c) || U(c) == 0xA0;
}

}  // namespace

template <class C>
C** SetNULL(C** p)
{
    if (p)
        *p = nullptr;
    return p;
}

template <class C>
size_t Length(const C* t)
{
    return Len(t);
}

template <class C>
HRESULT Copy(const C* t, C** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    if (*out == t)
        return S_OK;
    *out = nullptr;
    if (t == nullptr)
        return S_OK;
    *out = NewText(t, Len(t));
    return *out ? S_OK : E_OUTOFMEMORY;
}

template <class C>
HRESULT CopyN(const C* t, size_t n, C** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    if (n == SIZE_MAX)
        return Copy(t, out);
    if (*out == t) {
        if (t && BoundedLen(t, n) == n)
            (*out)[n] = C(0);
        return S_OK;
    }
    *out = nullptr;
    if (t == nullptr)
        return S_OK;
    // Only as much as the text holds: a short text in a large count needs no
    // large buffer.
    *out = NewText(t, BoundedLen(t, n));
    return *out ? S_OK : E_OUTOFMEMORY;
}

template <class C>
int32_t Compare(const C* a, const C* b)
{
    return CompareTexts(a, b, SIZE_MAX, Same<C>);
}

template <class C>
int32_t NCompare(const C* a, const C* b, int n)
{
    return CompareTexts(a, b, n > 0 ? size_t(n) : 0, Same<C>);
}

template <class C>
int32_t CompareNoCase(const C* a, const C* b)
{
    return CompareTexts(a, b, SIZE_MAX, ToLower<C>);
}

template <class C>
int32_t NCompareNoCase(const C* a, const C* b, int n)
{
    return CompareTexts(a, b, n > 0 ? size_t(n) : 0, ToLower<C>);
}

template <class C>
bool IsEmpty(const C* t)
{
    return t == nullptr || t[0] == C(0);
}

template <class C>
bool IsSpace(const C* t)
{
    return NIsSpace(t, SIZE_MAX);
}

template <class C>
bool NIsSpace(const C* t, size_t n)
{
    if (t == nullptr)
        return true;
    for (size_t i = 0; i < n && t[i] != C(0); ++i) {
        if (!IsSpaceChar(t[i]))
            return false;
    }
    return true;
}

template <class C>
uint32_t Find(const C* t, size_t start, const C* needle)
{
    if (t == nullptr || needle == nullptr)
        return ZELK_STRING_NOTFOUND;
    const size_t len = Len(t);
    const size_t nlen = Len(needle);
    if (start >= len || nlen > len - start)
        return ZELK_STRING_NOTFOUND;
    for (size_t i = start; i + nlen <= len; ++i) {
        if (std::equal(needle, needle + nlen, t + i))
            return uint32_t(i);
    }
    return ZELK_STRING_NOTFOUND;
}

template <class C>
uint32_t FindOneOf(const C* t, const C* set)
{
    if (t == nullptr || set == nullptr)
        return ZELK_STRING_NOTFOUND;
    for (size_t i = 0; t[i] != C(0); ++i) {
        for (const C* s = set; *s != C(0); ++s) {
            if (*s == t[i])
                return uint32_t(i);
        }
    }
    return ZELK_STRING_NOTFOUND;
}

template <class C>
uint32_t ReverseFind(const C* t, C c)
{
    if (t == nullptr)
        return ZELK_STRING_NOTFOUND;
    uint32_t found = ZELK_STRING_NOTFOUND;
    for (size_t i = 0; t[i] != C(0); ++i) {
        if (t[i] == c)
            found = uint32_t(i);
    }
    return found;
}

template <class C>
bool StartsWith(const C* t, const C* prefix)
{
    if (t == nullptr || IsEmpty(prefix))
        return false;
    const size_t n = Len(prefix);
    return CompareChars(t, prefix, n, Same<C>) == 0;
}

template <class C>
bool StartsWithNoCase(const C* t, const C* prefix)
{
    if (t == nullptr || IsEmpty(prefix))
        return false;
    const size_t n = Len(prefix);
    return CompareChars(t, prefix, n, ToLower<C>) == 0;
}

template <class C>
bool EndsWith(const C* t, const C* suffix)
{
    if (t == nullptr || suffix == nullptr)
        return false;
    const size_t len = Len(t);
    const size_t slen = Len(suffix);
    if (slen > len)
        return false;
    return std::equal(suffix, suffix + slen, t + len - slen);
}

template <class C>
void Burn(C* t)
{
    const size_t len = Len(t);
    if (len)
        OPENSSL_cleanse(t, len * sizeof(C));
}

template <class C>
HRESULT IntToString(unsigned long value, C** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    constexpr size_t kChars = 30;
    C* p = static_cast<C*>(sec_calloc(kChars, sizeof(C)));
    if (p == nullptr)
        return E_OUTOFMEMORY;
    // The low 32 bits, read as a signed number.
    const int v = static_cast<int>(static_cast<uint32_t>(value));
    if constexpr (sizeof(C) == 1)
        std::snprintf(p, kChars, "%d", v);
    else
        std::swprintf(p, kChars, L"%d", v);
    *out = p;
    return S_OK;
}

template <class C>
int64_t StringToInt(const C* t)
{
    if (t == nullptr)
        return -1;
    if constexpr (sizeof(C) == 1)
        return std::strtol(t, nullptr, 10);
    else
        return std::wcstol(t, nullptr, 10);
}

template <class C>
bool Is8Bit(const C* t)
{
    if (t == nullptr)
        return false;
    using U = std::make_unsigned_t<C>;
    for (; *t != C(0); ++t) {
        if (U(*t) > 0x7F)
            return true;
    }
    return false;
}

#define ZELK_INSTANTIATE(C)                                                                                            \
    template C** SetNULL<C>(C**);                                                                                      \
    template size_t Length<C>(const C*);                                                                               \
    template HRESULT Copy<C>(const C*, C**);                                                                           \
    template HRESULT CopyN<C>(const C*, size_t, C**);                                                                  \
    template int32_t Compare<C>(const C*, const C*);                                                                   \
    template int32_t NCompare<C>(const C*, const C*, int);                                                             \
    template int32_t CompareNoCase<C>(const C*, const C*);                                                             \
    template int32_t NCompareNoCase<C>(const C*, const C*, int);                                                       \
    template bool IsEmpty<C>(const C*);                                                                                \
    template bool IsSpace<C>(const C*);                                                                                \
    template bool NIsSpace<C>(const C*, size_t);                                                                       \
    template uint32_t Find<C>(const C*, size_t, const C*);                                                             \
    template uint32_t FindOneOf<C>(const C*, const C*);                                                                \
    template uint32_t ReverseFind<C>(const C*, C);                                                                     \
    template bool StartsWith<C>(const C*, const C*);                                                                   \
    template bool StartsWithNoCase<C>(const C*, const C*);                                                             \
    template bool EndsWith<C>(const C*, const C*);                                                                     \
    template void Burn<C>(C*);                                                                                         \
    template HRESULT IntToString<C>(unsigned long, C**);                                                               \
    template int64_t StringToInt<C>(const C*);                                                                         \
    template bool Is8Bit<C>(const C*);

ZELK_INSTANTIATE(char)
ZELK_INSTANTIATE(wchar_t)
#undef ZELK_INSTANTIATE

}  // namespace kestrin::strings
