// The locale in force and its text form.
#include "res_locale.h"

#include <cstdlib>
#include <cstring>

#include "res_text.h"
#include "zelk_policy_client.h"
#include "zelk_trace.h"

namespace kestrin::resloader {

HRESULT SplitLocale(const char* text, ZELK_RES_TEXT* language, ZELK_RES_TEXT* country)
{
    if (text == nullptr || language == nullptr || country == nullptr)
        return E_INVALIDARG;
    static const char* const patterns[] = {"?\?_?\?", "?\?_?\?.*", "?\?_?\?-*", "?\?_?\?=*"};
    bool matches = false;
    for (const char* pattern : patterns)
        matches = matches || String_Match(text, pattern, 0, 0);
    if (!matches)
        return E_FAIL;
    char lang[3] = {text[0], text[1], 0};
    char ctry[3] = {text[3], text[4], 0};
    HRESULT hr = SetWide(language, lang);
    if (SUCCEEDED(hr))
        hr = SetWide(country, ctry);
    if (FAILED(hr))
        return hr;
    if (language->IsEmpty() || country->IsEmpty())
        return E_FAIL;
    return S_OK;
}

std::string EnvironmentLocale()
{
    const char* value = nullptr;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        value = std::getenv(name);
        if (value != nullptr && value[0] != 0)
            break;
        value = nullptr;
    }
    if (value == nullptr)
        return std::string();
    std::string locale(value, strcspn(value, "@"));
    std::string name = locale.substr(0, locale.find('.'));
    if (name == "C" || name == "POSIX")
        return std::string();
    return locale;
}

HRESULT GetLocale(ZELK_RES_TEXT* language, ZELK_RES_TEXT* country)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "GetLocale");
    if (language == nullptr || country == nullptr)
        return trace.result = E_INVALIDARG;
    ZELK_IPolicy* policy = nullptr;
    if (SUCCEEDED(ZELK_PolOpen(POL::COMMON::REG_PATH, &policy)) && policy != nullptr) {
        StringT<char> configured(policy, "Locale");
        ZELK_PolClose(&policy);
        if (!configured.IsEmpty()) {
            SECTRACE_FormatLn(nullptr, 4, "Set Locale from policy: %s", static_cast<const char*>(configured));
            if (SUCCEEDED(SplitLocale(configured, language, country)))
                return trace.result = S_OK;
        }
    }
    std::string system = EnvironmentLocale();
    if (system.empty() || FAILED(SplitLocale(system.c_str(), language, country)))
        return trace.result = E_FAIL;
    SECTRACE_FormatLn(nullptr, 4, "Set Locale from user/system: %s", system.c_str());
    return trace.result = S_OK;
}

}  // namespace kestrin::resloader
