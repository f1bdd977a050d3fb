#include "match.h"

namespace kestrin::strings {
namespace {

template <class C>
bool IsEmptyText(const C* t)
{
    return !t || !*t;
}

template <class C>
C Upper(C c)
{
    return (c >= C('a') && c <= C('z')) ? C(c - C('a') + C('A')) : c;
}

// Glob matching without recursion: on a mismatch the text position behind
// the last "*" advances by one, so no pattern costs more than
// length(text) x length(pattern) steps.
template <class C>
bool MatchImpl(const C* text, const C* pattern, bool noCase, C wildcard)
{
    if (IsEmptyText(pattern))
        return IsEmptyText(text);
    if (IsEmptyText(text))
        return false;

    const C* t = text;
    const C* p = pattern;
    const C* starPattern = nullptr;
    const C* starText = nullptr;
    while (*t) {
        if (*p == C('*')) {
            starPattern = p++;
            starText = t;
            continue;
        }
        if (*p && (*p == C('?') || (wildcard && *p == wildcard) || *p == *t || (noCase && Upper(*p) == Upper(*t)))) {
            ++p;
            ++t;
            continue;
        }
        if (!starPattern)
            return false;
        p = starPattern + 1;
        t = ++starText;
    }
    while (*p == C('*'))
        ++p;
    return !*p;
}

template <class C>
uint32_t QualityImpl(const C* text, const C* pattern)
{
    if (!MatchImpl(text, pattern, true, C(0)))
        return 0;
    uint32_t score = 4096;
    for (const C* p = pattern; p && *p; ++p) {
        if (*p == C('*'))
            score -= 1;
        else if (*p == C('?'))
            score += 256;
        else
            score += 4096;
    }
    return score;
}

}  // namespace

bool String_Match(const char* text, const char* pattern, signed char noCase, char wildcard)
{
    return MatchImpl(text, pattern, noCase != 0, wildcard);
}

bool StringW_Match(const wchar_t* text, const wchar_t* pattern, signed char noCase, wchar_t wildcard)
{
    return MatchImpl(text, pattern, noCase != 0, wildcard);
}

uint32_t String_MatchQuality(const char* text, const char* pattern)
{
    return QualityImpl(text, pattern);
}

uint32_t StringW_MatchQuality(const wchar_t* text, const wchar_t* pattern)
{
    return QualityImpl(text, pattern);
}

}  // namespace kestrin::strings
