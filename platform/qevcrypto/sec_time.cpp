// "SEC_TIME_1": time texts.
#include <cstdlib>
#include <cstring>

#include "ossl/ossl_time.h"
#include "qev_tables.h"
#include "qev_time.h"

namespace {

using namespace kestrin::qevcrypto;

HRESULT ToLibraryText(HRESULT hr, const std::string& text, char** out)
{
    if (FAILED(hr))
        return hr;
    *out = static_cast<char*>(std::malloc(text.size() + 1));
    if (*out == nullptr)
        return E_OUTOFMEMORY;
    std::memcpy(*out, text.c_str(), text.size() + 1);
    return S_OK;
}

HRESULT sec_time_to_seconds(const char* text, int64_t* seconds)
{
    if (seconds == nullptr)
        return E_POINTER;
    return ossl::TimeTextToSeconds(text, *seconds);
}

HRESULT sec_time_from_seconds(int format, int64_t seconds, char** text)
{
    if (text == nullptr)
        return E_POINTER;
    *text = nullptr;
    std::string s;
    return ToLibraryText(ossl::SecondsToTimeText(format, seconds, s), s, text);
}

HRESULT sec_time_now(int format, char** text)
{
    if (text == nullptr)
        return E_POINTER;
    *text = nullptr;
    std::string s;
    return ToLibraryText(ossl::NowAsTimeText(format, s), s, text);
}

HRESULT sec_time_display(const char* text, char** display)
{
    if (display == nullptr)
        return E_POINTER;
    *display = nullptr;
    std::string s;
    return ToLibraryText(ossl::TimeTextToDisplay(text, s), s, display);
}

HRESULT sec_time_check_validity(const char* notBefore, const char* now, const char* notAfter)
{
    return ossl::CheckValidity(notBefore, now, notAfter);
}

HRESULT sec_time_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_TIME_1", "time texts");
}

QevTable<> s_table("SEC_TIME_1", &sec_time_get_info,
                   {{1, qev_slot(&sec_time_to_seconds)},
                    {2, qev_slot(&sec_time_from_seconds)},
                    {4, qev_slot(&sec_time_now)},
                    {5, qev_slot(&sec_time_display)},
                    {7, qev_slot(&sec_time_check_validity)}});

// The typed view ends with the last slot filled here.
static_assert(sizeof(SEC_TIME_TABLE) == 8 * sizeof(void*));

}  // namespace
