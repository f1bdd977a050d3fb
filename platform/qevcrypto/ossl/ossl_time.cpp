#include "ossl_time.h"

#include <openssl/asn1.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "ossl_util.h"

namespace kestrin::qevcrypto::ossl {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

struct Civil {
    int64_t year;
    unsigned month, day, hour, minute, second;
};

Civil FromSeconds(int64_t seconds)
{
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    Civil c {};
    CivilFromDays(days, c.year, c.month, c.day);
    c.hour = static_cast<unsigned>(rest / 3600);
    c.minute = static_cast<unsigned>(rest / 60 % 60);
    c.second = static_cast<unsigned>(rest % 60);
    return c;
}

}  // namespace

HRESULT TimeTextToSeconds(const char* text, int64_t& seconds)
{
    seconds = 0;
    if (text == nullptr)
        return E_INVALIDARG;
    if (std::strlen(text) > 32)
        return SEC_E_TIME_FORMAT;
    Asn1TimePtr t(ASN1_TIME_new());
    if (!t)
        return E_OUTOFMEMORY;
    // Twelve digits are a UTCTime with its seconds. Read any other way they
    // would become a GeneralizedTime without seconds, and a UTCTime with a
    // month of 95 a date in the 2190s.
    const size_t digits = std::strspn(text, "0123456789");
    const bool read = digits == 12 ? ASN1_UTCTIME_set_string(t.get(), text) : ASN1_TIME_set_string(t.get(), text);
    struct tm tm {};
    if (!read || !ASN1_TIME_to_tm(t.get(), &tm))
        return SEC_E_TIME_FORMAT;
    seconds = DaysFromCivil(tm.tm_year + 1900, static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday))
                  * 86400
              + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    return S_OK;
}

HRESULT SecondsToTimeText(int format, int64_t seconds, std::string& text)
{
    text.clear();
    Civil c = FromSeconds(seconds);
    char buf[32];
    if (format == TIME_TEXT_UTC) {
        if (c.year < 1950 || c.year > 2049)
            return E_INVALIDARG;
        std::snprintf(buf, sizeof buf, "%02u%02u%02u%02u%02u%02uZ", static_cast<unsigned>(c.year % 100), c.month, c.day,
                      c.hour, c.minute, c.second);
    } else if (format == TIME_TEXT_GENERALIZED) {
        if (c.year < 0 || c.year > 9999)
            return E_INVALIDARG;
        std::snprintf(buf, sizeof buf, "%04u%02u%02u%02u%02u%02uZ", static_cast<unsigned>(c.year), c.month, c.day,
                      c.hour, c.minute, c.second);
    } else {
        return E_INVALIDARG;
    }
    text = buf;
    return S_OK;
}

HRESULT NowAsTimeText(int format, std::string& text)
{
    return SecondsToTimeText(format, static_cast<int64_t>(std::time(nullptr)), text);
}

HRESULT TimeTextToDisplay(const char* text, std::string& display)
{
    display.clear();
    int64_t seconds = 0;
    HRESULT hr = TimeTextToSeconds(text, seconds);
    if (FAILED(hr))
        return hr;
    Civil c = FromSeconds(seconds);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02u:%02u:%02u UTC", static_cast<long long>(c.year), c.month,
                  c.day, c.hour, c.minute, c.second);
    display = buf;
    return S_OK;
}

HRESULT CheckValidity(const char* notBefore, const char* now, const char* notAfter)
{
    int64_t from = 0, at = 0, until = 0;
    if (FAILED(TimeTextToSeconds(notBefore, from)) || FAILED(TimeTextToSeconds(now, at))
        || FAILED(TimeTextToSeconds(notAfter, until)))
        return SEC_E_TIME_FORMAT;
    if (at < from)
        return SEC_E_TIME_NOT_YET_VALID;
    if (at > until)
        return SEC_E_TIME_EXPIRED;
    return S_OK;
}

}  // namespace kestrin::qevcrypto::ossl
