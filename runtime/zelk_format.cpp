#include "zelk_format.h"

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <type_traits>

#include "zelk_utf.h"

namespace kestrin::runtime {
namespace {

// A va_list that helpers can advance through a reference.
struct ArgList {
    va_list ap;
};

enum class Size { None, HH, H, L, LL, BigL, Z, J, T };
enum class Kind { None, Signed, Unsigned, Pointer, Float, NarrowText, WideText, NarrowChar, WideChar, Count };

struct Directive {
    bool minus = false;
    bool plus = false;
    bool space = false;
    bool zero = false;
    unsigned hashes = 0;
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
    Size size = Size::None;
    char conv = 0;
    Kind kind = Kind::None;
    bool rejected = false;
};

struct Arg {
    long long i = 0;
    unsigned long long u = 0;
    double d = 0;
    long double ld = 0;
    const void* p = nullptr;
    uint32_t c = 0;
};

template <class C>
size_t ReadNumber(const C*& p, bool* overflow)
{
    size_t n = 0;
    while (*p >= '0' && *p <= '9') {
        if (n > kFormatMaxWidth)
            *overflow = true;
        else
            n = n * 10 + static_cast<size_t>(*p - '0');
        ++p;
    }
    return n;
}

// Reads one conversion after its "%" and takes its arguments. The pre-scan and
// the formatter both come through here, so they never fall out of step.
template <class C>
const C* ParseConversion(const C* p, ArgList& args, Directive& s, Arg& a)
{
    constexpr bool wideFormat = std::is_same_v<C, wchar_t>;
    bool overflow = false;
    for (;; ++p) {
        C ch = *p;
        if (ch == '#') {
            ++s.hashes;
        } else if (ch == '-') {
            s.minus = true;
        } else if (ch == '+') {
            s.plus = true;
        } else if (ch == ' ') {
            s.space = true;
        } else if (ch == '0') {
            s.zero = true;
        } else if (ch == '*') {
            long long w = va_arg(args.ap, int);
            if (w < 0) {
                s.minus = true;
                w = -w;
            }
            s.width = static_cast<size_t>(w);
        } else {
            break;
        }
    }
    size_t digits = ReadNumber(p, &overflow);
    if (s.width == 0)
        s.width = digits;
    if (*p == '.') {
        ++p;
        s.hasPrecision = true;
        if (*p == '*') {
            ++p;
            int v = va_arg(args.ap, int);
            if (v < 0)
                s.hasPrecision = false;
            else
                s.precision = static_cast<size_t>(v);
        } else {
            s.precision = ReadNumber(p, &overflow);
        }
    }
    if (overflow || s.width > kFormatMaxWidth || s.precision > kFormatMaxWidth)
        s.rejected = true;

    for (;;) {
        C ch = *p;
        if (ch == 'h') {
            s.size = s.size == Size::H ? Size::HH : Size::H;
        } else if (ch == 'l') {
            s.size = s.size == Size::L ? Size::LL : Size::L;
        } else if (ch == 'I' && p[1] == '6' && p[2] == '4') {
            s.size = Size::LL;
            p += 2;
        } else if (ch == 'L') {
            s.size = Size::BigL;
        } else if (ch == 'z') {
            s.size = Size::Z;
        } else if (ch == 'j') {
            s.size = Size::J;
        } else if (ch == 't') {
            s.size = Size::T;
        } else if (ch != 'F' && ch != 'N') {
            break;
        }
        ++p;
    }

    C conv = *p;
    if (conv == 0)
        return p;
    ++p;
    bool narrowBySize = s.size == Size::H || s.size == Size::HH;
    bool wideBySize = s.size == Size::L || s.size == Size::LL;
    switch (conv) {
    case 's':
    case 'S':
    case 'c':
    case 'C': {
        bool wide = wideFormat ? !narrowBySize : (wideBySize || (conv == 'S' || conv == 'C')) && !narrowBySize;
        bool text = conv == 's' || conv == 'S';
        s.kind = text ? (wide ? Kind::WideText : Kind::NarrowText) : (wide ? Kind::WideChar : Kind::NarrowChar);
        break;
    }
    case 'd':
    case 'i':
        s.kind = Kind::Signed;
        break;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
        s.kind = Kind::Unsigned;
        break;
    case 'p':
        s.kind = Kind::Pointer;
        break;
    case 'e':
    case 'E':
    case 'f':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
        s.kind = Kind::Float;
        break;
    case 'n':
        s.kind = Kind::Count;
        break;
    default:
        s.kind = Kind::None;
        break;
    }
    if (s.kind != Kind::None)
        s.conv = static_cast<char>(conv);

    switch (s.kind) {
    case Kind::Signed:
        switch (s.size) {
        case Size::HH:
            a.i = static_cast<signed char>(va_arg(args.ap, int));
            break;
        case Size::H:
            a.i = static_cast<short>(va_arg(args.ap, int));
            break;
        case Size::L:
            a.i = va_arg(args.ap, long);
            break;
        case Size::LL:
        case Size::BigL:
            a.i = va_arg(args.ap, long long);
            break;
        case Size::Z:
            a.i = va_arg(args.ap, ssize_t);
            break;
        case Size::J:
            a.i = va_arg(args.ap, intmax_t);
            break;
        case Size::T:
            a.i = va_arg(args.ap, ptrdiff_t);
            break;
        case Size::None:
            a.i = va_arg(args.ap, int);
            break;
        }
        break;
    case Kind::Unsigned:
        switch (s.size) {
        case Size::HH:
            a.u = static_cast<unsigned char>(va_arg(args.ap, unsigned));
            break;
        case Size::H:
            a.u = static_cast<unsigned short>(va_arg(args.ap, unsigned));
            break;
        case Size::L:
            a.u = va_arg(args.ap, unsigned long);
            break;
        case Size::LL:
        case Size::BigL:
            a.u = va_arg(args.ap, unsigned long long);
            break;
        case Size::Z:
            a.u = va_arg(args.ap, size_t);
            break;
        case Size::J:
            a.u = va_arg(args.ap, uintmax_t);
            break;
        case Size::T:
            a.u = static_cast<size_t>(va_arg(args.ap, ptrdiff_t));
            break;
        case Size::None:
            a.u = va_arg(args.ap, unsigned);
            break;
        }
        break;
    case Kind::Float:
        if (s.size == Size::BigL)
            a.ld = va_arg(args.ap, long double);
        else
            a.d = va_arg(args.ap, double);
        break;
    case Kind::Pointer:
    case Kind::Count:
    case Kind::NarrowText:
    case Kind::WideText:
        a.p = va_arg(args.ap, const void*);
        break;
    case Kind::NarrowChar:
        a.c = static_cast<unsigned char>(va_arg(args.ap, int));
        break;
    case Kind::WideChar:
        a.c = static_cast<uint32_t>(va_arg(args.ap, wint_t));
        break;
    case Kind::None:
        break;
    }
    return p;
}

// Output units of a char text; the precision bounds the bytes read, and a
// wide output decodes UTF-8 (never reading past the bound or the NUL).
template <class O, class F>
void TextUnits(const char* s, bool hasPrecision, size_t precision, F&& f)
{
    size_t limit = hasPrecision ? precision : SIZE_MAX;
    if constexpr (sizeof(O) == 1) {
        for (size_t i = 0; i < limit && s[i]; ++i)
            f(static_cast<O>(s[i]));
    } else {
        size_t i = 0;
        while (i < limit && s[i]) {
            char window[5] = {};
            for (size_t k = 0; k < 4 && i + k < limit && s[i + k]; ++k)
                window[k] = s[i + k];
            uint32_t c;
            bool valid;
            i += DecodeUtf8(window, &c, &valid);
            f(static_cast<O>(c));
        }
    }
}

// Output units of a wide text; the precision bounds the characters read, and
// a narrow output writes UTF-8.
template <class O, class F>
void TextUnits(const wchar_t* s, bool hasPrecision, size_t precision, F&& f)
{
    size_t limit = hasPrecision ? precision : SIZE_MAX;
    for (size_t i = 0; i < limit && s[i]; ++i) {
        if constexpr (sizeof(O) == sizeof(wchar_t)) {
            f(static_cast<O>(s[i]));
        } else {
            char bytes[4];
            size_t n = EncodeUtf8(static_cast<uint32_t>(s[i]), bytes);
            for (size_t k = 0; k < n; ++k)
                f(bytes[k]);
        }
    }
}

// The units of a text or character conversion, before padding.
template <class O, class F>
void ArgUnits(const Directive& s, const Arg& a, F&& f)
{
    switch (s.kind) {
    case Kind::NarrowText:
        TextUnits<O>(a.p ? static_cast<const char*>(a.p) : "(null)", s.hasPrecision, s.precision, f);
        break;
    case Kind::WideText:
        if (a.p)
            TextUnits<O>(static_cast<const wchar_t*>(a.p), s.hasPrecision, s.precision, f);
        else
            TextUnits<O>("(null)", s.hasPrecision, s.precision, f);
        break;
    case Kind::NarrowChar:
        if constexpr (sizeof(O) == 1)
            f(static_cast<O>(a.c));
        else
            f(static_cast<O>(a.c < 0x80 ? a.c : kReplacementChar));
        break;
    case Kind::WideChar:
        if constexpr (sizeof(O) == 1) {
            char bytes[4];
            size_t n = EncodeUtf8(a.c, bytes);
            for (size_t k = 0; k < n; ++k)
                f(bytes[k]);
        } else {
            f(static_cast<O>(a.c));
        }
        break;
    default:
        break;
    }
}

// Numbers go through the C library with a rebuilt narrow conversion; in
// the C locale their text is ASCII.
template <class F>
void NumberUnits(const Directive& s, const Arg& a, F&& f)
{
    char pattern[64];
    char* q = pattern;
    *q++ = '%';
    if (s.minus)
        *q++ = '-';
    if (s.plus)
        *q++ = '+';
    if (s.space)
        *q++ = ' ';
    if (s.zero)
        *q++ = '0';
    if (s.hashes)
        *q++ = '#';
    q += snprintf(q, 16, "%zu", s.width);
    if (s.hasPrecision)
        q += snprintf(q, 16, ".%zu", s.precision);
    if (s.kind == Kind::Signed || s.kind == Kind::Unsigned) {
        *q++ = 'l';
        *q++ = 'l';
    } else if (s.kind == Kind::Float && s.size == Size::BigL) {
        *q++ = 'L';
    }
    *q++ = s.conv;
    *q = 0;

    auto print = [&](char* buffer, size_t size) {
        switch (s.kind) {
        case Kind::Signed:
            return snprintf(buffer, size, pattern, a.i);
        case Kind::Unsigned:
            return snprintf(buffer, size, pattern, a.u);
        case Kind::Pointer:
            return snprintf(buffer, size, pattern, a.p);
        case Kind::Float:
            return s.size == Size::BigL ? snprintf(buffer, size, pattern, a.ld) : snprintf(buffer, size, pattern, a.d);
        default:
            return -1;
        }
    };
    char local[256];
    int n = print(local, sizeof local);
    if (n < 0)
        return;
    char* text = local;
    char* heap = nullptr;
    if (static_cast<size_t>(n) >= sizeof local) {
        heap = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
        if (!heap)
            return;
        print(heap, static_cast<size_t>(n) + 1);
        text = heap;
    }
    for (int i = 0; i < n; ++i)
        f(text[i]);
    free(heap);
}

template <class O>
size_t CountUnits(const Directive& s, const Arg& a)
{
    size_t n = 0;
    ArgUnits<O>(s, a, [&](O) { ++n; });
    return n;
}

size_t Max(size_t a, size_t b)
{
    return a > b ? a : b;
}

// Estimates, in output characters, generous enough that output is not cut.
template <class C>
struct Estimator {
    size_t total = 0;
    bool rejected = false;

    void Literal(C) { ++total; }

    void Conversion(const Directive& s, const Arg& a)
    {
        if (s.rejected)
            rejected = true;
        if (s.kind == Kind::None || s.kind == Kind::Count || s.rejected)
            return;
        total += 2 * s.hashes;
        size_t precision = s.hasPrecision ? s.precision : 0;
        switch (s.kind) {
        case Kind::NarrowText:
        case Kind::WideText: {
            size_t n = CountUnits<C>(s, a);
            total += Max(s.width, n == 0 ? 1 : n);
            break;
        }
        case Kind::NarrowChar:
        case Kind::WideChar:
            total += Max(s.width, sizeof(C) == 1 && s.kind == Kind::WideChar ? 4 : 2);
            break;
        case Kind::Signed:
        case Kind::Unsigned:
        case Kind::Pointer:
            total += Max(s.width + precision + 2, 32);
            break;
        case Kind::Float: {
            size_t digits = s.hasPrecision ? s.precision : 6;
            if (s.conv == 'f')
                total += Max(s.width + digits + (s.size == Size::BigL ? 4940 : 320), 128);
            else
                total += Max(s.width + digits + 40, 128);
            break;
        }
        default:
            break;
        }
    }
};

template <class C>
struct Writer {
    C* buffer;
    size_t limit;
    size_t pos = 0;
    bool cut = false;

    void Put(C c)
    {
        if (pos < limit)
            buffer[pos++] = c;
        else
            cut = true;
    }

    void Literal(C c) { Put(c); }

    void Pad(size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            Put(' ');
    }

    void Conversion(const Directive& s, const Arg& a)
    {
        if (s.rejected)
            return;
        switch (s.kind) {
        case Kind::NarrowText:
        case Kind::WideText:
        case Kind::NarrowChar:
        case Kind::WideChar: {
            size_t n = CountUnits<C>(s, a);
            size_t pad = s.width > n ? s.width - n : 0;
            if (!s.minus)
                Pad(pad);
            ArgUnits<C>(s, a, [this](C c) { Put(c); });
            if (s.minus)
                Pad(pad);
            break;
        }
        case Kind::Signed:
        case Kind::Unsigned:
        case Kind::Pointer:
        case Kind::Float:
            NumberUnits(s, a, [this](char c) { Put(static_cast<C>(c)); });
            break;
        default:
            break;
        }
    }

    // A narrow output cut inside a UTF-8 sequence loses the partial sequence.
    size_t Finish()
    {
        if constexpr (sizeof(C) == 1) {
            if (cut) {
                size_t i = pos;
                size_t trail = 0;
                while (i > 0 && trail < 3 && (static_cast<unsigned char>(buffer[i - 1]) & 0xC0) == 0x80) {
                    --i;
                    ++trail;
                }
                if (i > 0) {
                    auto lead = static_cast<unsigned char>(buffer[i - 1]);
                    size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
                    if (need > trail + 1)
                        pos = i - 1;
                }
            }
        }
        buffer[pos] = 0;
        return pos;
    }
};

template <class C, class Out>
void Walk(const C* f, ArgList& args, Out& out)
{
    while (*f) {
        if (*f != '%') {
            out.Literal(*f++);
            continue;
        }
        if (f[1] == '%') {
            out.Literal('%');
            f += 2;
            continue;
        }
        Directive s;
        Arg a;
        f = ParseConversion(f + 1, args, s, a);
        out.Conversion(s, a);
    }
}

template <class C>
size_t EstimateImpl(const C* format, va_list args)
{
    if (!format)
        return kFormatInvalid;
    ArgList list;
    va_copy(list.ap, args);
    Estimator<C> e;
    Walk(format, list, e);
    va_end(list.ap);
    return e.rejected ? kFormatInvalid : e.total;
}

template <class C>
size_t FormatIntoImpl(C* buffer, size_t capacity, const C* format, va_list args)
{
    if (!buffer || capacity == 0)
        return 0;
    Writer<C> w {buffer, capacity - 1};
    if (format) {
        ArgList list;
        va_copy(list.ap, args);
        Walk(format, list, w);
        va_end(list.ap);
    }
    return w.Finish();
}

template <class C>
C* FormatAllocImpl(const C* format, va_list args, void* (*alloc)(size_t))
{
    size_t estimate = EstimateImpl(format, args);
    if (estimate == kFormatInvalid || estimate >= SIZE_MAX / sizeof(C) - 1)
        return nullptr;
    auto* buffer = static_cast<C*>(alloc((estimate + 1) * sizeof(C)));
    if (!buffer)
        return nullptr;
    FormatIntoImpl(buffer, estimate + 1, format, args);
    return buffer;
}

}  // namespace

size_t FormatEstimate(const char* format, va_list args)
{
    return EstimateImpl(format, args);
}

size_t FormatEstimate(const wchar_t* format, va_list args)
{
    return EstimateImpl(format, args);
}

size_t FormatInto(char* buffer, size_t capacity, const char* format, va_list args)
{
    return FormatIntoImpl(buffer, capacity, format, args);
}

size_t FormatInto(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args)
{
    return FormatIntoImpl(buffer, capacity, format, args);
}

char* FormatAlloc(const char* format, va_list args, void* (*alloc)(size_t))
{
    return FormatAllocImpl(format, args, alloc);
}

wchar_t* FormatAlloc(const wchar_t* format, va_list args, void* (*alloc)(size_t))
{
    return FormatAllocImpl(format, args, alloc);
}

}  // namespace kestrin::runtime
