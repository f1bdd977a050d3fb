// Formatting: the pre-scan's estimates, the conversions in narrow and wide
// formats, and the guarantees that the buffer is never overrun or left
// unterminated.
#include "format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "zelk_alloc.h"
#include "zelk_format.h"
#include "zelk_module.h"

namespace {

// The allocator of the slots comes from the function list; tests without the
// crypto library get one over the C library.
void UseCAllocator()
{
    static SEC_FUNCTION_LIST list = {nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, malloc,  calloc,  realloc, free};
    if (!sdk_f_list)
        sdk_f_list = &list;
}

size_t Estimate(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t n = kestrin::runtime::FormatEstimate(format, args);
    va_end(args);
    return n;
}

size_t EstimateW(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t n = kestrin::runtime::FormatEstimate(format, args);
    va_end(args);
    return n;
}

// Formats through slot 26 of "String.1"; "<null>" when nothing came out.
std::string Format(const char* format, ...)
{
    UseCAllocator();
    va_list args;
    va_start(args, format);
    char* out = nullptr;
    kestrin::strings::String_FormatV(format, args, &out);
    va_end(args);
    std::string text = out ? out : "<null>";
    sec_free(out);
    return text;
}

std::wstring FormatW(const wchar_t* format, ...)
{
    UseCAllocator();
    va_list args;
    va_start(args, format);
    wchar_t* out = nullptr;
    kestrin::strings::StringW_FormatV(format, args, &out);
    va_end(args);
    std::wstring text = out ? out : L"<null>";
    sec_free(out);
    return text;
}

size_t FormatInto(char* buffer, size_t capacity, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t n = kestrin::runtime::FormatInto(buffer, capacity, format, args);
    va_end(args);
    return n;
}

size_t FormatIntoW(wchar_t* buffer, size_t capacity, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t n = kestrin::runtime::FormatInto(buffer, capacity, format, args);
    va_end(args);
    return n;
}

TEST(FormatEstimate, ListedEstimates)
{
    EXPECT_EQ(Estimate("ab%d", 7), 34u);
    EXPECT_EQ(Estimate("%5.2s", "0123456789"), 5u);
    EXPECT_EQ(Estimate("%s", static_cast<const char*>(nullptr)), 6u);
    EXPECT_EQ(Estimate("%s", ""), 1u);
    EXPECT_EQ(Estimate("%%"), 1u);
    EXPECT_EQ(Estimate("%#x", 1u), 34u);
    EXPECT_EQ(Estimate("%c", 'a'), 2u);
    EXPECT_EQ(Estimate("%n", static_cast<int*>(nullptr)), 0u);
}

// Every size prefix takes an argument of its own width, so the string that
// follows is the one measured and printed.
TEST(FormatEstimate, SizePrefixesKeepStep)
{
    const char* tail = "tail-of-17-chars!";
    EXPECT_EQ(Estimate("%I64d%s", INT64_C(1) << 40, tail), 32u + 17u);
    EXPECT_EQ(Format("%I64d%s", INT64_C(1) << 40, tail), "1099511627776tail-of-17-chars!");
    EXPECT_EQ(Format("%lld|%s", INT64_C(-5), tail), std::string("-5|") + tail);
    EXPECT_EQ(Format("%zu|%s", SIZE_MAX, tail), std::to_string(SIZE_MAX) + "|" + tail);
    EXPECT_EQ(Format("%jd|%s", INTMAX_MIN, tail), std::to_string(INTMAX_MIN) + "|" + tail);
    EXPECT_EQ(Format("%td|%s", static_cast<ptrdiff_t>(-3), tail), std::string("-3|") + tail);
    EXPECT_EQ(Format("%hhd|%hhu|%s", 300, 511, tail), std::string("44|255|") + tail);
    EXPECT_EQ(Format("%hd|%s", 70000, tail), std::string("4464|") + tail);
    EXPECT_EQ(Format("%Lf|%s", 1.5L, tail), std::string("1.500000|") + tail);
    EXPECT_EQ(Format("%Le|%s", 1.5L, tail), std::string("1.500000e+00|") + tail);
    EXPECT_EQ(Format("%FNld|%s", 9L, tail), std::string("9|") + tail);
    EXPECT_EQ(Format("%*.*d|%s", 6, 3, 7, tail), std::string("   007|") + tail);
    EXPECT_EQ(Format("%q%s", tail), tail);
}

// A precision bounds what is read: the buffer below has no terminator.
TEST(FormatEstimate, PrecisionBoundsTheRead)
{
    auto* narrow = static_cast<char*>(malloc(3));
    memcpy(narrow, "abc", 3);
    EXPECT_EQ(Estimate("%.*s", 3, narrow), 3u);
    EXPECT_EQ(Format("[%.*s]", 3, narrow), "[abc]");
    EXPECT_EQ(Format("[%.2s]", narrow), "[ab]");
    free(narrow);

    auto* wide = static_cast<wchar_t*>(malloc(3 * sizeof(wchar_t)));
    wmemcpy(wide, L"xyz", 3);
    EXPECT_EQ(EstimateW(L"%.*s", 3, wide), 3u);
    EXPECT_EQ(FormatW(L"[%.*s]", 3, wide), L"[xyz]");
    EXPECT_EQ(Format("[%.*S]", 3, wide), "[xyz]");
    free(wide);

    // "é" is two bytes: a bound of three bytes reads "aé" and stops.
    auto* utf8 = static_cast<char*>(malloc(3));
    memcpy(utf8, "a\xC3\xA9", 3);
    EXPECT_EQ(FormatW(L"[%.*hs]", 3, utf8), L"[a\u00E9]");
    free(utf8);
}

TEST(Format, NumbersAgreeWithTheCLibrary)
{
    struct Case {
        const char* format;
        long long value;
    };
    const Case cases[] = {
        {"%lld", LLONG_MIN}, {"%+lld", 5},     {"% lld", 5},        {"%-8lld|", -3}, {"%08lld", -3},
        {"%.5lld", 42},      {"%llx", 0xBEEF}, {"%#llX", 0xBEEF},   {"%#llo", 8},    {"%llu", -1},
        {"%20.10lld", 77},   {"%-+6lld|", 1},  {"%lli", 123456789},
    };
    for (const Case& c : cases) {
        char expected[128];
        snprintf(expected, sizeof expected, c.format, c.value);
        EXPECT_EQ(Format(c.format, c.value), expected) << c.format;
    }
    char expected[128];
    snprintf(expected, sizeof expected, "%e|%.3f|%g|%10.2E|%a", 12345.678, -0.5, 1e-10, 3.25, 1.0);
    EXPECT_EQ(Format("%e|%.3f|%g|%10.2E|%a", 12345.678, -0.5, 1e-10, 3.25, 1.0), expected);
    void* pointer = reinterpret_cast<void*>(0x1234);
    snprintf(expected, sizeof expected, "%p", pointer);
    EXPECT_EQ(Format("%p", pointer), expected);
}

// Large values fit the estimate: nothing is cut.
TEST(Format, LargeValuesAreNotCut)
{
    char expected[512];
    snprintf(expected, sizeof expected, "%f", -1.7976931348623157e308);
    EXPECT_EQ(Format("%f", -1.7976931348623157e308), expected);
    snprintf(expected, sizeof expected, "%.200e", 1.5);
    EXPECT_EQ(Format("%.200e", 1.5), expected);
    snprintf(expected, sizeof expected, "%+.40d", 5);
    EXPECT_EQ(Format("%+.40d", 5), expected);
    EXPECT_EQ(Format("%40s|", "x"), std::string(39, ' ') + "x|");
}

TEST(Format, TextsInNarrowFormats)
{
    EXPECT_EQ(Format("%s and %s", "one", "two"), "one and two");
    EXPECT_EQ(Format("[%5s][%-5s][%.2s]", "ab", "ab", "abc"), "[   ab][ab   ][ab]");
    EXPECT_EQ(Format("%s", static_cast<const char*>(nullptr)), "(null)");
    // A wide argument is written as UTF-8, whatever the process's locale.
    EXPECT_EQ(Format("%S|%ls|%hs", L"h\u00E9\U0001F600", L"\u20AC", "n"), "h\xC3\xA9\xF0\x9F\x98\x80|\xE2\x82\xAC|n");
    EXPECT_EQ(Format("%c%C%lc", 'a', static_cast<wint_t>(0xE9), static_cast<wint_t>(0x20AC)), "a\xC3\xA9\xE2\x82\xAC");
    // A value that is no character becomes U+FFFD.
    const wchar_t bad[] = {0xD800, 0x110000, 0};
    EXPECT_EQ(Format("%S", bad), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(Format("%3S|", L"\u00E9"), " \xC3\xA9|");
}

TEST(Format, TextsInWideFormats)
{
    // In a wide format %s and %S are wide, %hs is a char (UTF-8) text.
    EXPECT_EQ(FormatW(L"%s|%S|%ls|%hs|%hS", L"w\u00E9", L"W", L"l", "n\xC3\xA9\xF0\x9F\x98\x80", "h"),
              L"w\u00E9|W|l|n\u00E9\U0001F600|h");
    EXPECT_EQ(FormatW(L"%c%C%hc|%d|%5.1f|%-3s|", L'\u00E9', L'x', 'y', -12, 2.25, L"a"), L"\u00E9xy|-12|  2.2|a  |");
    EXPECT_EQ(FormatW(L"%hs", "\xFF"
                              "a"),
              L"\uFFFDa");
    EXPECT_EQ(FormatW(L"%I64u%%", UINT64_C(18446744073709551615)), L"18446744073709551615%");
    EXPECT_EQ(FormatW(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)");
}

TEST(Format, CutOutputIsTerminated)
{
    char narrow[6];
    memset(narrow, 'x', sizeof narrow);
    EXPECT_EQ(FormatInto(narrow, sizeof narrow, "%s", "abcdefgh"), 5u);
    EXPECT_STREQ(narrow, "abcde");
    // A cut inside a UTF-8 sequence drops the partial sequence.
    EXPECT_EQ(FormatInto(narrow, sizeof narrow, "abcd%s", "\xC3\xA9"), 4u);
    EXPECT_STREQ(narrow, "abcd");

    wchar_t wide[4];
    wmemset(wide, L'x', 4);
    EXPECT_EQ(FormatIntoW(wide, 4, L"%s%d", L"ab", 12345), 3u);
    EXPECT_EQ(std::wstring(wide), L"ab1");
}

TEST(Format, RejectedAndMissingFormats)
{
    UseCAllocator();
    char* out = reinterpret_cast<char*>(0x1);
    va_list none {};
    kestrin::strings::String_FormatV(nullptr, none, &out);
    EXPECT_EQ(out, reinterpret_cast<char*>(0x1));

    // A width beyond the limit rejects the whole format instead of allocating it.
    EXPECT_EQ(Estimate("%99999999d", 1), kestrin::runtime::kFormatInvalid);
    EXPECT_EQ(Format("%*d", 1 << 30, 1), "<null>");
    EXPECT_EQ(Format("%.*s", 1 << 30, "a"), "<null>");
    // A negative width from the argument list left-justifies; a negative precision is none.
    EXPECT_EQ(Format("%*d|%.*s", -4, 7, -1, "abc"), "7   |abc");
    // A format that ends inside a conversion ends there.
    EXPECT_EQ(Format("abc%"), "abc");
    EXPECT_EQ(Format("abc%-5l"), "abc");
    EXPECT_EQ(Format("%n|", static_cast<int*>(nullptr)), "|");
}

}  // namespace
