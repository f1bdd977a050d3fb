// "SEC_NOTIFY_1": the trace sink.
#include "qev_tables.h"
#include "qev_trace.h"

namespace {

HRESULT sec_notify_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_NOTIFY_1", "trace sink");
}

HRESULT sec_notify_write_v(unsigned int level, const char* module, void*, const char* format, va_list args)
{
    qev_trace_write(level & 0xF, module, format, args);
    return S_OK;
}

HRESULT sec_notify_write(unsigned int level, const char* module, void* reserved, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    HRESULT hr = sec_notify_write_v(level, module, reserved, format, args);
    va_end(args);
    return hr;
}

unsigned int sec_notify_level(const char* module, unsigned int)
{
    return qev_trace_level(module);
}

QevTable<>
    s_table("SEC_NOTIFY_1", &sec_notify_get_info,
            {{1, qev_slot(&sec_notify_write)}, {2, qev_slot(&sec_notify_write_v)}, {3, qev_slot(&sec_notify_level)}});

}  // namespace
