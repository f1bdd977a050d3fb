#include "format.h"

#include "zelk_alloc.h"
#include "zelk_format.h"

namespace kestrin::strings {

void String_FormatV(const char* format, va_list args, char** out)
{
    if (!format || !out)
        return;
    *out = kestrin::runtime::FormatAlloc(format, args, sec_malloc);
}

void StringW_FormatV(const wchar_t* format, va_list args, wchar_t** out)
{
    if (!format || !out)
        return;
    *out = kestrin::runtime::FormatAlloc(format, args, sec_malloc);
}

}  // namespace kestrin::strings
