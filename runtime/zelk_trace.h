// Trace front end: levelled lines through the crypto library's sink
// "SEC_NOTIFY_1", printf-style formatting of narrow and wide formats (the
// system's own formatter, zelk_format.h), and the scoped function record.
// Only the low four bits of a level reach the sink; module NULL means the
// deliverable's default module name. Nothing is written while the sink is
// not bound, and no trace function reports anything.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <type_traits>

#include "qevcrypto.h"

// The bound "SEC_NOTIFY_1" (NULL while unbound); defined with the front end,
// filled by the runtime's binder.
extern API_COMMON* fptr__notify;

constexpr unsigned int SECTRACE_LEVEL_MASK = 0xF;
constexpr unsigned int SECTRACE_ENTRY = 0x10000004;
constexpr unsigned int SECTRACE_EXIT = 0x20000004;

void SECTRACE_WriteLn(const char* module, unsigned int level, const char* text);
void SECTRACE_WriteLnEx(const char* module, unsigned int level, unsigned int codePage, const char* text);
void SECTRACE_FormatLn(const char* module, unsigned int level, const char* format, ...);
void SECTRACE_FormatLnEx(const char* module, unsigned int level, unsigned int codePage, const char* format, ...);
void SECTRACE_FormatLnV(const char* module, unsigned int level, const char* format, va_list args);
void SECTRACE_FormatLnVEx(const char* module, unsigned int level, unsigned int codePage, const char* format,
                          va_list args);
void SECTRACE_WriteLnW(const char* module, unsigned int level, const wchar_t* text);
void SECTRACE_FormatLnW(const char* module, unsigned int level, const wchar_t* format, ...);
void SECTRACE_FormatLnVW(const char* module, unsigned int level, const wchar_t* format, va_list args);

// Whether a line of this level would be written (false while the sink is unbound).
bool SECTRACE_Check(const char* module, unsigned int level);

// `module` itself, or the default module name: set on first use to this
// deliverable's file name ("unknown" when that is not known).
const char* SECTRACE_GetModule(const char* module);
// Stores the first 511 characters of name as the default module name.
void SECTRACE_SetDefaultModule(const char* name);

// Wide formatting for traces: a new buffer from the C library's malloc
// (caller frees with free); nothing when format or out is NULL, *out NULL
// for a rejected format.
void StringW_FormatV(const wchar_t* format, va_list args, wchar_t** out);
// The pre-scan's upper bound of the output length in characters.
size_t StringW_FormatV_GetMaxLen(const wchar_t* format, va_list args);

// Sets length bytes to zero; nothing for NULL or 0.
void sec_memzero(void* buffer, size_t length);

// Scoped function record: "{ <function>" on entry, and on exit "} " followed
// by the result format (first 18 characters) with `result`, or "}" without
// a format; both at level 4.
template <class T>
class SECTRACE_Fkt_IMPL {
    static_assert(std::is_trivially_copyable_v<T>, "the result is passed as a format argument");

public:
    SECTRACE_Fkt_IMPL(const char* resultFormat, const char* function) : result(), m_format(resultFormat)
    {
        SECTRACE_FormatLnEx(nullptr, SECTRACE_ENTRY, 0, "{ %s", function);
    }

    ~SECTRACE_Fkt_IMPL()
    {
        if (!m_format) {
            SECTRACE_WriteLn(nullptr, SECTRACE_EXIT, "}");
            return;
        }
        char format[2 + 18 + 1] = "} ";
        size_t i = 0;
        for (; i < 18 && m_format[i]; ++i)
            format[2 + i] = m_format[i];
        format[2 + i] = 0;
        SECTRACE_FormatLnEx(nullptr, SECTRACE_EXIT, 0, format, result);
    }

    SECTRACE_Fkt_IMPL(const SECTRACE_Fkt_IMPL&) = delete;
    SECTRACE_Fkt_IMPL& operator=(const SECTRACE_Fkt_IMPL&) = delete;

    T result;

private:
    const char* m_format;
};
