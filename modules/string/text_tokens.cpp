// Splitting texts at delimiters (both widths).
#include "text.h"

namespace kestrin::strings {

namespace {

// The first occurrence of the non-empty `delim` in `t`, or NULL.
template <class C>
const C* FirstOf(const C* t, const C* delim)
{
    const size_t dlen = Len(delim);
    for (const C* p = t; *p != C(0); ++p) {
        size_t i = 0;
        while (i < dlen && p[i] == delim[i])
            ++i;
        if (i == dlen)
            return p;
    }
    return nullptr;
}

}  // namespace

template <class C>
const C* ExtractToken(const C* t, const C* delim, C** out)
{
    if (out)
        *out = nullptr;
    if (t == nullptr)
        return nullptr;
    const C* hit = IsEmpty(delim) ? nullptr : FirstOf(t, delim);
    if (hit == nullptr) {
        if (out)
            *out = NewText(t, Len(t));
        return nullptr;
    }
    if (out)
        *out = NewText(t, size_t(hit - t));
    return hit + Len(delim);
}

template <class C>
const C* ExtractTokens(const C* t, const C** delims, unsigned count, C** out)
{
    if (out)
        *out = nullptr;
    if (t == nullptr || delims == nullptr || out == nullptr)
        return nullptr;
    const C* chosen = nullptr;
    const C* at = nullptr;
    for (unsigned i = 0; i < count; ++i) {
        if (IsEmpty(delims[i]))
            continue;
        const C* hit = FirstOf(t, delims[i]);
        if (hit && (at == nullptr || hit < at)) {
            at = hit;
            chosen = delims[i];
        }
    }
    const C* rest = ExtractToken(t, chosen, out);
    if (*out)
        Chop(*out);
    if (rest == nullptr)
        return nullptr;
    while (IsWhite(*rest))
        ++rest;
    return *rest == C(0) ? nullptr : rest;
}

template <class C>
void ExtractTokenByIdx(const C* t, unsigned index, C** out)
{
    if (out == nullptr)
        return;
    *out = nullptr;
    if (IsEmpty(t))
        return;
    // The first character is the separator of the tokens that follow it.
    const C separator[2] = {t[0], C(0)};
    const C* p = t + 1;
    for (unsigned i = 0; i < index; ++i) {
        p = ExtractToken<C>(p, separator, nullptr);
        if (p == nullptr)
            return;
    }
    ExtractToken<C>(p, separator, out);
}

#define ZELK_INSTANTIATE(C)                                                                                            \
    template const C* ExtractToken<C>(const C*, const C*, C**);                                                        \
    template const C* ExtractTokens<C>(const C*, const C**, unsigned, C**);                                            \
    template void ExtractTokenByIdx<C>(const C*, unsigned, C**);

ZELK_INSTANTIATE(char)
ZELK_INSTANTIATE(wchar_t)
#undef ZELK_INSTANTIATE

}  // namespace kestrin::strings
