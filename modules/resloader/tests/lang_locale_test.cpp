// Language table, locale texts and the locale in force.
#include <clocale>

#include "res_fixture.h"

namespace kestrin::resloader::test {
namespace {

class Language : public ResLoader {};

TEST_F(Language, IdentifiersGiveLanguageAndCountry)
{
    struct Case {
        unsigned int id;
        HRESULT result;
        const char* language;
        const char* country;
    } cases[] = {
        {0x0407, S_OK, "de", "DE"},
        {0x0807, S_OK, "de", "CH"},
        {0x2409, S_OK, "en", "US"},  // sub-language 9 has no country
        {0x0009, S_OK, "en", "US"},  // sub-language 0
        {0x0436, S_OK, "af", "ZA"},
        {0x4409, S_OK, "en", "MY"},  // the last country of the list
        {0x4809, S_OK, "en", "US"},  // past the list
        {0x0416, S_OK, "pt", "BR"},
        {0x0C0A, S_OK, "es", "ES"},
        {0x042C, S_OK, "az", "AZJ"},
        {0x7F0407, S_OK, "de", "DE"},  // only the low 16 bits count
        {0x042F, E_FAIL, nullptr, nullptr},
        {0x0000, E_FAIL, nullptr, nullptr},
        {0x0041, E_FAIL, nullptr, nullptr},
        {0x03FF, E_FAIL, nullptr, nullptr},
        {0xFFFFFFFF, E_INVALIDARG, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        ZELK_RES_TEXT language;
        ZELK_RES_TEXT country;
        EXPECT_EQ(c.result, api->GetLangID(c.id, std::addressof(language), std::addressof(country)))
            << std::hex << c.id;
        if (c.result == S_OK) {
            EXPECT_EQ(c.language, Narrow(language)) << std::hex << c.id;
            EXPECT_EQ(c.country, Narrow(country)) << std::hex << c.id;
        }
    }
    ZELK_RES_TEXT language;
    EXPECT_EQ(E_INVALIDARG, api->GetLangID(0x0407, std::addressof(language), nullptr));
}

TEST_F(Language, LocaleTextsSplitOnlyInTheirFourForms)
{
    for (const char* text : {"de_DE", "de_DE.UTF-8", "de_DE-x", "de_DE=x"}) {
        ZELK_RES_TEXT language;
        ZELK_RES_TEXT country;
        ASSERT_EQ(S_OK, api->SplitLocale(text, std::addressof(language), std::addressof(country))) << text;
        EXPECT_EQ("de", Narrow(language)) << text;
        EXPECT_EQ("DE", Narrow(country)) << text;
    }
    for (const char* text : {"de", "zh_Hans_CN", "en_US_POSIX", "de-DE", "", "de_DEx", "de_DE_x"}) {
        ZELK_RES_TEXT language;
        ZELK_RES_TEXT country;
        EXPECT_EQ(E_FAIL, api->SplitLocale(text, std::addressof(language), std::addressof(country))) << text;
    }
    ZELK_RES_TEXT language;
    ZELK_RES_TEXT country;
    EXPECT_EQ(E_INVALIDARG, api->SplitLocale(nullptr, std::addressof(language), std::addressof(country)));
}

class Locale : public ResLoader {
protected:
    std::string Current(HRESULT* result)
    {
        ZELK_RES_TEXT language;
        ZELK_RES_TEXT country;
        *result = api->GetLocale(std::addressof(language), std::addressof(country));
        return Narrow(language) + "/" + Narrow(country);
    }
};

TEST_F(Locale, TheEnvironmentDecidesInItsOrder)
{
    struct Case {
        const char* lcAll;
        const char* lcMessages;
        const char* lang;
        const char* expected;  // nullptr: no locale
    } cases[] = {
        {nullptr, nullptr, "de_DE.UTF-8", "de/DE"}, {"fr_FR.UTF-8", "it_IT", "de_DE", "fr/FR"},
        {"", "it_IT@euro", "de_DE", "it/IT"},       {nullptr, nullptr, "de_AT.ISO-8859-15@euro", "de/AT"},
        {nullptr, nullptr, "sr_RS@latin", "sr/RS"}, {"C", nullptr, "de_DE.UTF-8", nullptr},
        {nullptr, "POSIX", "de_DE.UTF-8", nullptr}, {nullptr, nullptr, "C.UTF-8", nullptr},
        {nullptr, nullptr, "de", nullptr},          {nullptr, nullptr, nullptr, nullptr},
    };
    std::string before = std::setlocale(LC_ALL, nullptr);
    for (const Case& c : cases) {
        const char* values[] = {c.lcAll, c.lcMessages, c.lang};
        const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
        for (int i = 0; i < 3; ++i) {
            if (values[i])
                setenv(names[i], values[i], 1);
            else
                unsetenv(names[i]);
        }
        HRESULT result = S_OK;
        std::string locale = Current(&result);
        std::string label = std::string(c.lcAll ? c.lcAll : "-") + " " + (c.lcMessages ? c.lcMessages : "-") + " "
                            + (c.lang ? c.lang : "-");
        if (c.expected) {
            EXPECT_EQ(S_OK, result) << label;
            EXPECT_EQ(c.expected, locale) << label;
        } else {
            EXPECT_EQ(E_FAIL, result) << label;
        }
    }
    EXPECT_EQ(before, std::setlocale(LC_ALL, nullptr));
}

TEST_F(Locale, ThePolicyOverridesTheEnvironmentWhenItSplits)
{
    setenv("LANG", "de_DE.UTF-8", 1);
    SetCommon("Locale", "sv_FI");
    HRESULT result = E_FAIL;
    EXPECT_EQ("sv/FI", Current(&result));
    EXPECT_EQ(S_OK, result);

    SetCommon("Locale", "swedish");
    EXPECT_EQ("de/DE", Current(&result));
    EXPECT_EQ(S_OK, result);
}

}  // namespace
}  // namespace kestrin::resloader::test
