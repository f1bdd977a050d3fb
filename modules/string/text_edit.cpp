// Texts made from other texts: replace, cut, append, case, line ends, delete
// and the in-place edits Chop and RemoveQuote (both widths).
#include <functional>

#include "text.h"

namespace kestrin::strings {

namespace {

// Left and Mid take their count as a signed 32-bit number: -1 means the whole
// rest of the text (the all-ones count of CopyN); other negative counts are
// not valid.
bool TakeCount(size_t n, size_t* count)
{
    const int32_t c = static_cast<int32_t>(static_cast<uint32_t>(n));
    if (c == -1) {
        *count = SIZE_MAX;
        return true;
    }
    if (c < 0)
        return false;
    *count = size_t(c);
    return true;
}

template <class C>
bool SameRun(const C* a, const C* b, size_t n)
{
    return std::memcmp(a, b, n * sizeof(C)) == 0;
}

template <class C, class Map>
HRESULT MapCase(const C* t, C** out, Map map)
{
    if (out == nullptr)
        return E_INVALIDARG;
    if (t == nullptr) {
        *out = NewText<C>(nullptr, 0);
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    if (*out != t) {
        *out = NewText(t, Len(t));
        if (*out == nullptr)
            return E_OUTOFMEMORY;
    }
    for (C* p = *out; *p != C(0); ++p)
        *p = map(*p);
    return S_OK;
}

}  // namespace

template <class C>
uint32_t Replace(const C* t, const C* from, const C* to, C** out)
{
    if (out == nullptr)
        return ZELK_STRING_NOTFOUND;
    const size_t len = Len(t);
    const size_t flen = Len(from);
    const size_t tlen = Len(to);
    size_t count = 0;
    if (len && flen) {
        for (size_t i = 0; i + flen <= len;) {
            if (SameRun(t + i, from, flen)) {
                ++count;
                i += flen;
            } else {
                ++i;
            }
        }
    }
    if (count == 0) {
        if (*out == t)
            return 0;
        *out = nullptr;
        if (t && (*out = NewText(t, len)) == nullptr)
            return ZELK_STRING_NOTFOUND;
        return 0;
    }
    *out = nullptr;
    // Every occurrence takes flen characters of len, so len - count * flen
    // cannot underflow; the growth by count * tlen is checked.
    const size_t kept = len - count * flen;
    if (tlen && count > (SIZE_MAX - 1 - kept) / tlen)
        return ZELK_STRING_NOTFOUND;
    const size_t newLen = kept + count * tlen;
    C* p = AllocChars<C>(newLen + 1);
    if (p == nullptr)
        return ZELK_STRING_NOTFOUND;
    size_t o = 0;
    for (size_t i = 0; i < len;) {
        if (i + flen <= len && SameRun(t + i, from, flen)) {
            if (tlen)
                std::memcpy(p + o, to, tlen * sizeof(C));
            o += tlen;
            i += flen;
        } else {
            p[o++] = t[i++];
        }
    }
    p[o] = C(0);
    *out = p;
    return uint32_t(count);
}

template <class C>
HRESULT Chop(C* t)
{
    if (t == nullptr)
        return E_INVALIDARG;
    size_t len = Len(t);
    size_t first = 0;
    while (first < len && IsWhite(t[first]))
        ++first;
    while (len > first && IsWhite(t[len - 1]))
        --len;
    const size_t n = len - first;
    if (first)
        std::memmove(t, t + first, n * sizeof(C));
    t[n] = C(0);
    return S_OK;
}

template <class C>
HRESULT Mid(const C* t, int start, size_t n, C** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    size_t count = 0;
    if (t == nullptr || !TakeCount(n, &count)) {
        *out = nullptr;
        return E_INVALIDARG;
    }
    const size_t from = start < 0 ? 0 : size_t(start);
    if (from > Len(t)) {
        *out = nullptr;
        return S_OK;
    }
    return CopyN(t + from, count, out);
}

template <class C>
HRESULT Left(const C* t, size_t n, C** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    size_t count = 0;
    if (!TakeCount(n, &count)) {
        *out = nullptr;
        return E_INVALIDARG;
    }
    return CopyN(t, count, out);
}

template <class C>
HRESULT Right(const C* t, size_t n, C** out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    if (t == nullptr)
        return E_INVALIDARG;
    if (n == 0)
        return S_OK;
    const size_t len = Len(t);
    const size_t k = n < len ? n : len;
    *out = NewText(t + len - k, k);
    return *out ? S_OK : E_OUTOFMEMORY;
}

template <class C>
C* Append(C* t, const C* add)
{
    if (add == nullptr)
        return t;
    if (t == nullptr)
        return NewText(add, Len(add));
    const size_t tlen = Len(t);
    const size_t alen = Len(add);
    if (alen == 0)
        return t;
    // `add` may lie inside `t` (a token of it, or all of it): remember where,
    // since the reallocation may move or free the old buffer.
    std::less_equal<const C*> le;
    const bool inside = le(t, add) && le(add, t + tlen);
    const size_t offset = inside ? size_t(add - t) : 0;
    if (alen > SIZE_MAX - 1 - tlen || tlen + alen + 1 > SIZE_MAX / sizeof(C))
        return t;
    // On failure the old buffer stays valid and is handed back unchanged.
    C* p = static_cast<C*>(sec_realloc(t, (tlen + alen + 1) * sizeof(C)));
    if (p == nullptr)
        return t;
    const C* src = inside ? p + offset : add;
    std::memmove(p + tlen, src, alen * sizeof(C));
    p[tlen + alen] = C(0);
    return p;
}

template <class C>
HRESULT MakeUpper(const C* t, C** out)
{
    return MapCase(t, out, ToUpper<C>);
}

template <class C>
HRESULT MakeLower(const C* t, C** out)
{
    return MapCase(t, out, ToLower<C>);
}

template <class C>
C* MakeCannon(const C* t, C** out)
{
    if (out == nullptr)
        return nullptr;
    const bool same = *out == t;
    if (t == nullptr) {
        *out = nullptr;
        return nullptr;
    }
    const size_t len = Len(t);
    size_t lf = 0;
    for (size_t i = 0; i < len; ++i)
        lf += t[i] == C('\n');
    C* p = lf <= SIZE_MAX - 1 - len ? AllocChars<C>(len + lf + 1) : nullptr;
    if (p == nullptr) {
        // The old text stays where it was; nothing is lost.
        *out = same ? const_cast<C*>(t) : nullptr;
        return nullptr;
    }
    size_t o = 0;
    for (size_t i = 0; i < len; ++i) {
        if (t[i] == C('\r'))
            continue;
        if (t[i] == C('\n'))
            p[o++] = C('\r');
        p[o++] = t[i];
    }
    p[o] = C(0);
    if (same)
        sec_free(const_cast<C*>(t));
    *out = p;
    return p;
}

template <class C>
size_t Delete(const C* t, C** out, size_t start, size_t n)
{
    if (out == nullptr || t == nullptr)
        return 0;
    const size_t len = Len(t);
    if (n == 0 || start >= len)
        return len;
    if (n > len - start)
        n = len - start;
    const size_t newLen = len - n;
    C* p = AllocChars<C>(newLen + 1);
    if (p == nullptr) {
        *out = nullptr;
        return 0;
    }
    std::memcpy(p, t, start * sizeof(C));
    std::memcpy(p + start, t + start + n, (len - start - n) * sizeof(C));
    p[newLen] = C(0);
    *out = p;
    return newLen;
}

template <class C>
HRESULT RemoveQuote(C* t)
{
    if (t == nullptr)
        return E_FAIL;
    const size_t len = Len(t);
    // A lone quote character is its own opening and closing: too short to
    // hold a pair, it stays as it is.
    if (len < 2)
        return S_FALSE;
    C close;
    switch (t[0]) {
    case C('"'):
        close = C('"');
        break;
    case C('\''):
        close = C('\'');
        break;
    case C('<'):
        close = C('>');
        break;
    default:
        return S_FALSE;
    }
    if (t[len - 1] != close)
        return S_FALSE;
    std::memmove(t, t + 1, (len - 2) * sizeof(C));
    t[len - 2] = C(0);
    t[len - 1] = C(0);
    return S_OK;
}

#define ZELK_INSTANTIATE(C)                                                                                            \
    template uint32_t Replace<C>(const C*, const C*, const C*, C**);                                                   \
    template HRESULT Chop<C>(C*);                                                                                      \
    template HRESULT Mid<C>(const C*, int, size_t, C**);                                                               \
    template HRESULT Left<C>(const C*, size_t, C**);                                                                   \
    template HRESULT Right<C>(const C*, size_t, C**);                                                                  \
    template C* Append<C>(C*, const C*);                                                                               \
    template HRESULT MakeUpper<C>(const C*, C**);                                                                      \
    template HRESULT MakeLower<C>(const C*, C**);                                                                      \
    template C* MakeCannon<C>(const C*, C**);                                                                          \
    template size_t Delete<C>(const C*, C**, size_t, size_t);                                                          \
    template HRESULT RemoveQuote<C>(C*);

ZELK_INSTANTIATE(char)
ZELK_INSTANTIATE(wchar_t)
#undef ZELK_INSTANTIATE

}  // namespace kestrin::strings
