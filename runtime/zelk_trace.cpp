#include "zelk_trace.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "zelk_format.h"
#include "zelk_loader.h"
#include "zelk_module.h"

// The sink's table variable lives with its only reader and is bound at the
// runtime's start.
API_COMMON* fptr__notify = nullptr;
static CLoadAPI OnDemand_Load_SEC_NOTIFY(nullptr, "SEC_NOTIFY_1", &fptr__notify);

namespace {

std::mutex s_moduleLock;
char s_szModule[512];

const SEC_NOTIFY_TABLE* Sink()
{
    return fptr__notify ? ZELK_ApiCast<SEC_NOTIFY_TABLE>(fptr__notify) : nullptr;
}

// The sink is asked before anything is formatted: detail lines cost nothing
// while their level is off.
const SEC_NOTIFY_TABLE* SinkFor(const char* module, unsigned int level)
{
    const SEC_NOTIFY_TABLE* sink = Sink();
    if (!sink || !sink->write)
        return nullptr;
    if (sink->level && sink->level(module, level & SECTRACE_LEVEL_MASK) < (level & SECTRACE_LEVEL_MASK))
        return nullptr;
    return sink;
}

void Emit(const SEC_NOTIFY_TABLE* sink, const char* module, unsigned int level, const char* text)
{
    sink->write(level & SECTRACE_LEVEL_MASK, module, nullptr, "%s", text);
}

}  // namespace

const char* SECTRACE_GetModule(const char* module)
{
    if (module)
        return module;
    std::lock_guard<std::mutex> lock(s_moduleLock);
    if (!s_szModule[0]) {
        const char* own = ZELK_FindOwnModuleName();
        const char* name = own && *own ? own : "unknown";
        strncpy(s_szModule, name, sizeof s_szModule - 1);
    }
    return s_szModule;
}

void SECTRACE_SetDefaultModule(const char* name)
{
    std::lock_guard<std::mutex> lock(s_moduleLock);
    memset(s_szModule, 0, sizeof s_szModule);
    if (name)
        strncpy(s_szModule, name, sizeof s_szModule - 1);
}

bool SECTRACE_Check(const char* module, unsigned int level)
{
    const SEC_NOTIFY_TABLE* sink = Sink();
    if (!sink || !sink->level)
        return false;
    return sink->level(SECTRACE_GetModule(module), level & SECTRACE_LEVEL_MASK) >= (level & SECTRACE_LEVEL_MASK);
}

void SECTRACE_WriteLn(const char* module, unsigned int level, const char* text)
{
    module = SECTRACE_GetModule(module);
    if (const SEC_NOTIFY_TABLE* sink = SinkFor(module, level))
        Emit(sink, module, level, text ? text : "");
}

void SECTRACE_WriteLnEx(const char* module, unsigned int level, unsigned int, const char* text)
{
    SECTRACE_WriteLn(module, level, text);
}

void SECTRACE_FormatLnV(const char* module, unsigned int level, const char* format, va_list args)
{
    module = SECTRACE_GetModule(module);
    const SEC_NOTIFY_TABLE* sink = SinkFor(module, level);
    if (!sink || !format)
        return;
    char* text = kestrin::runtime::FormatAlloc(format, args, malloc);
    if (!text)
        return;
    Emit(sink, module, level, text);
    free(text);
}

void SECTRACE_FormatLnVEx(const char* module, unsigned int level, unsigned int, const char* format, va_list args)
{
    SECTRACE_FormatLnV(module, level, format, args);
}

void SECTRACE_FormatLn(const char* module, unsigned int level, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    SECTRACE_FormatLnV(module, level, format, args);
    va_end(args);
}

void SECTRACE_FormatLnEx(const char* module, unsigned int level, unsigned int, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    SECTRACE_FormatLnV(module, level, format, args);
    va_end(args);
}

// UTF-32 to UTF-8 for a trace line: characters above U+FFFF, and lone
// surrogates, are written as "?".
void SECTRACE_WriteLnW(const char* module, unsigned int level, const wchar_t* text)
{
    module = SECTRACE_GetModule(module);
    const SEC_NOTIFY_TABLE* sink = SinkFor(module, level);
    if (!sink)
        return;
    if (!text)
        text = L"";
    auto width = [](uint32_t c) -> size_t {
        if (c < 0x80)
            return 1;
        if (c < 0x800)
            return 2;
        if (c <= 0xFFFF && (c < 0xD800 || c > 0xDFFF))
            return 3;
        return 1;
    };
    size_t bytes = 0;
    for (const wchar_t* p = text; *p; ++p)
        bytes += width(static_cast<uint32_t>(*p));
    char* line = static_cast<char*>(malloc(bytes + 1));
    if (!line)
        return;
    char* q = line;
    for (const wchar_t* p = text; *p; ++p) {
        auto c = static_cast<uint32_t>(*p);
        switch (width(c)) {
        case 1:
            *q++ = c < 0x80 ? static_cast<char>(c) : '?';
            break;
        case 2:
            *q++ = static_cast<char>(0xC0 | (c >> 6));
            *q++ = static_cast<char>(0x80 | (c & 0x3F));
            break;
        default:
            *q++ = static_cast<char>(0xE0 | (c >> 12));
            *q++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *q++ = static_cast<char>(0x80 | (c & 0x3F));
            break;
        }
    }
    *q = 0;
    Emit(sink, module, level, line);
    free(line);
}

void SECTRACE_FormatLnVW(const char* module, unsigned int level, const wchar_t* format, va_list args)
{
    module = SECTRACE_GetModule(module);
    if (!format || !SinkFor(module, level))
        return;
    wchar_t* text = nullptr;
    StringW_FormatV(format, args, &text);
    if (!text)
        return;
    SECTRACE_WriteLnW(module, level, text);
    free(text);
}

void SECTRACE_FormatLnW(const char* module, unsigned int level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    SECTRACE_FormatLnVW(module, level, format, args);
    va_end(args);
}

void StringW_FormatV(const wchar_t* format, va_list args, wchar_t** out)
{
    if (!format || !out)
        return;
    *out = kestrin::runtime::FormatAlloc(format, args, malloc);
}

size_t StringW_FormatV_GetMaxLen(const wchar_t* format, va_list args)
{
    return kestrin::runtime::FormatEstimate(format, args);
}

void sec_memzero(void* buffer, size_t length)
{
    if (buffer && length)
        explicit_bzero(buffer, length);
}
