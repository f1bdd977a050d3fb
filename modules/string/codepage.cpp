#include "codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cwchar>

#include "text.h"
#include "zelk_alloc.h"
#include "zelk_trace.h"
#include "zelk_utf.h"

namespace kestrin::strings {
namespace {

// The wide side of every iconv conversion: wchar_t as the C library lays it
// out (UTF-32 in the machine's byte order).
constexpr const char* kWideCharset = "WCHAR_T";

struct CodePageAlias {
    unsigned codePage;
    const char* charset;
};

constexpr CodePageAlias kAliases[] = {
    {0, "UTF-8"},     {2, "MACINTOSH"}, {65000, "UTF-7"}, {65001, "UTF-8"}, {1250, "CP1250"}, {1251, "CP1251"},
    {1252, "CP1252"}, {1253, "CP1253"}, {1254, "CP1254"}, {1255, "CP1255"}, {1256, "CP1256"}, {1257, "CP1257"},
    {1258, "CP1258"}, {874, "CP874"},   {932, "CP932"},   {936, "CP936"},   {949, "CP949"},   {950, "CP950"},
};

bool IsUtf8(unsigned codePage)
{
    return codePage == 0 || codePage == 65001;
}

// Opens a converter, or writes the error line and answers (iconv_t)-1.
iconv_t Open(const char* to, const char* from)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        SECTRACE_FormatLn(nullptr, 1, "iconv_open('%s','%s) failed!'\n", to, from);
    return cd;
}

// Runs the whole input through cd into a buffer of `size` bytes from
// sec_malloc that grows by `grow(bytes left)` when full, flushes the
// converter's state (stateful sets such as UTF-7 hold back output) and ends
// the text with a NUL of `terminator` bytes. NULL on failure.
template <class Grow>
char* Run(iconv_t cd, const char* input, size_t inputBytes, size_t size, size_t terminator, Grow grow)
{
    char* buffer = static_cast<char*>(sec_malloc(size));
    if (!buffer)
        return nullptr;
    char* in = const_cast<char*>(input);
    size_t inLeft = inputBytes;
    char* outPos = buffer;
    size_t outLeft = size;
    auto enlarge = [&](size_t more) {
        size_t written = static_cast<size_t>(outPos - buffer);
        char* bigger = more <= SIZE_MAX - size ? static_cast<char*>(sec_realloc(buffer, size + more)) : nullptr;
        if (!bigger)
            return false;
        buffer = bigger;
        size += more;
        outPos = buffer + written;
        outLeft = size - written;
        return true;
    };
    // Phase 0 converts the input, phase 1 flushes the converter's state.
    for (int phase = 0; phase < 2;) {
        size_t done =
            phase == 0 ? iconv(cd, &in, &inLeft, &outPos, &outLeft) : iconv(cd, nullptr, nullptr, &outPos, &outLeft);
        if (done != static_cast<size_t>(-1)) {
            ++phase;
            continue;
        }
        if (errno != E2BIG || !enlarge(grow(inLeft) + terminator)) {
            sec_free(buffer);
            return nullptr;
        }
    }
    if (outLeft < terminator && !enlarge(terminator)) {
        sec_free(buffer);
        return nullptr;
    }
    memset(outPos, 0, terminator);
    return buffer;
}

// UTF-8 to UTF-32 without iconv; a malformed sequence becomes U+FFFD.
wchar_t* Utf8ToWide(const char* text, size_t length)
{
    if (length >= SIZE_MAX / sizeof(wchar_t) - 1)
        return nullptr;
    auto* out = static_cast<wchar_t*>(sec_malloc((length + 1) * sizeof(wchar_t)));
    if (!out)
        return nullptr;
    size_t n = 0;
    for (const char* p = text; *p;) {
        uint32_t c;
        bool valid;
        p += kestrin::runtime::DecodeUtf8(p, &c, &valid);
        out[n++] = static_cast<wchar_t>(c);
    }
    out[n] = 0;
    return out;
}

// UTF-32 to UTF-8 without iconv; a value that is no character becomes U+FFFD.
char* WideToUtf8(const wchar_t* text)
{
    size_t bytes = 0;
    for (const wchar_t* p = text; *p; ++p)
        bytes += kestrin::runtime::Utf8Width(static_cast<uint32_t>(*p));
    auto* out = static_cast<char*>(sec_malloc(bytes + 1));
    if (!out)
        return nullptr;
    char* q = out;
    for (const wchar_t* p = text; *p; ++p)
        q += kestrin::runtime::EncodeUtf8(static_cast<uint32_t>(*p), q);
    *q = 0;
    return out;
}

}  // namespace

const char* CodePageCharset(unsigned codePage)
{
    if (codePage == 28591)
        codePage = 1252;
    for (const CodePageAlias& alias : kAliases) {
        if (alias.codePage == codePage)
            return alias.charset;
    }
    return "";
}

void String_Convert(const char* text, wchar_t** out, unsigned codePage)
{
    if (!out)
        return;
    if (!text) {
        *out = nullptr;
        return;
    }
    size_t length = strlen(text);
    if (IsUtf8(codePage)) {
        if (wchar_t* wide = Utf8ToWide(text, length))
            *out = wide;
        return;
    }
    if (length >= SIZE_MAX / 4 - 1)
        return;
    iconv_t cd = Open(kWideCharset, CodePageCharset(codePage));
    if (cd == reinterpret_cast<iconv_t>(-1))
        return;
    char* result = Run(cd, text, length, 4 * length + 4, sizeof(wchar_t), [](size_t left) { return 4 * left + 4; });
    iconv_close(cd);
    if (result)
        *out = reinterpret_cast<wchar_t*>(result);
}

void StringW_Convert(const wchar_t* text, char** out, unsigned codePage)
{
    if (!out)
        return;
    if (!text) {
        *out = nullptr;
        return;
    }
    if (IsUtf8(codePage)) {
        if (char* narrow = WideToUtf8(text))
            *out = narrow;
        return;
    }
    size_t length = wcslen(text);
    if (length >= SIZE_MAX / sizeof(wchar_t) - 1)
        return;
    iconv_t cd = Open(CodePageCharset(codePage), kWideCharset);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return;
    char* result = Run(cd, reinterpret_cast<const char*>(text), length * sizeof(wchar_t), length + 1, 1,
                       [](size_t left) { return 2 * left + 16; });
    iconv_close(cd);
    if (result)
        *out = result;
}

char* String_AppendConvert(char* text, const wchar_t* add, unsigned codePage)
{
    char* converted = nullptr;
    StringW_Convert(add, &converted, codePage);
    char* result = Append<char>(text, converted);
    sec_free(converted);
    return result;
}

wchar_t* StringW_AppendConvert(wchar_t* text, const char* add, unsigned codePage)
{
    wchar_t* converted = nullptr;
    String_Convert(add, &converted, codePage);
    wchar_t* result = Append<wchar_t>(text, converted);
    sec_free(converted);
    return result;
}

}  // namespace kestrin::strings
