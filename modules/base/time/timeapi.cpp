// Table "timeapi": the clock as a file time and conversions between time
// units and epochs.
#include <sys/time.h>

#include "qev_time.h"
#include "zelk_module.h"
#include "zelk_timeapi.h"

namespace kestrin::base {
namespace {

API_COMMON* fptr__time = nullptr;
CLoadAPI OnDemand_Load_SEC_TIME(nullptr, SEC_TIME_API, &fptr__time);

constexpr unsigned int kUnitMask = 0x0F;
constexpr unsigned int kEpochMask = 0xF0;

uint64_t time_GetFileTimeNow()
{
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 10000000ull + static_cast<uint64_t>(tv.tv_usec) * 10ull
           + ZELK_TIME_EPOCH_DELTA;
}

uint64_t TicksPerUnit(unsigned int format)
{
    switch (format & kUnitMask) {
    case TIME_UNIT_SECONDS:
        return 10000000ull;
    case TIME_UNIT_MILLISECONDS:
        return 10000ull;
    case TIME_UNIT_MICROSECONDS:
        return 10ull;
    default:
        return 1;
    }
}

uint64_t time_TranslateTime(uint64_t value, unsigned int from, unsigned int to)
{
    from &= 0xFF;
    to &= 0xFF;
    if (from == to)
        return value;
    value *= TicksPerUnit(from);
    unsigned int fromEpoch = from & kEpochMask;
    unsigned int toEpoch = to & kEpochMask;
    if (fromEpoch != TIME_EPOCH_1601 && fromEpoch != TIME_EPOCH_1970)
        fromEpoch = TIME_EPOCH_RELATIVE;
    if (toEpoch != TIME_EPOCH_1601 && toEpoch != TIME_EPOCH_1970)
        toEpoch = TIME_EPOCH_RELATIVE;
    if (fromEpoch != toEpoch) {
        if (fromEpoch == TIME_EPOCH_1970)
            value += ZELK_TIME_EPOCH_DELTA;
        else if (fromEpoch == TIME_EPOCH_RELATIVE)
            value += time_GetFileTimeNow();
        if (toEpoch == TIME_EPOCH_1970)
            value -= ZELK_TIME_EPOCH_DELTA;
        else if (toEpoch == TIME_EPOCH_RELATIVE)
            value -= time_GetFileTimeNow();
    }
    return value / TicksPerUnit(to);
}

// An unreadable text answers ZELK_TIME_INVALID rather than a time of 1970, so
// that no caller takes it for a real date.
uint64_t time_TranslateGeneralTime(const char* text, unsigned int to)
{
    auto* table = ZELK_ApiCast<SEC_TIME_TABLE>(fptr__time);
    int64_t seconds = 0;
    if (table == nullptr || text == nullptr || FAILED(table->to_seconds(text, &seconds)))
        return ZELK_TIME_INVALID;
    return time_TranslateTime(static_cast<uint64_t>(seconds), TIME_UNIXTIME, to);
}

HRESULT timeapi_get_info(const char** apiName, const char** module, const char** description)
{
    if (apiName)
        *apiName = ZELKBASE_TIMEAPI_API;
    if (module)
        *module = "zelkbase";
    if (description)
        *description = "";
    return S_OK;
}

SEC_TIMEAPI_TABLE s_table = {{timeapi_get_info}, time_GetFileTimeNow, time_TranslateTime, time_TranslateGeneralTime};
CZELK_API s_register("zelkbase", ZELKBASE_TIMEAPI_API, &s_table);

}  // namespace
}  // namespace kestrin::base
