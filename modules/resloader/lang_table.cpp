// The language table: Windows language identifiers to language and country
// codes, and the default country of a language.
#include "lang_table.h"

#include <cstddef>
#include <cwctype>

#include "res_text.h"

namespace kestrin::resloader {
namespace {

// Index 0 is the language code, index s the country of sub-language s;
// nullptr marks a sub-language without a country. The codes stand as the
// product has always used them, also where they are no ISO 3166 codes.
const char* const k01[] = {"ar", "SA", "IQ", "EG", "LY", "DZ", "MA", "TN", "OM",
                           "YE", "SY", "JO", "LB", "KW", "AE", "BH", "QA"};
const char* const k02[] = {"bg", "BG"};
const char* const k03[] = {"ca", "ES"};
const char* const k04[] = {"zh", "TW", "CN", "HK", "SG", "MO"};
const char* const k05[] = {"cs", "CZ"};
const char* const k06[] = {"da", "DK"};
const char* const k07[] = {"de", "DE", "CH", "AT", "LU", "LI"};
const char* const k08[] = {"el", "GR"};
const char* const k09[] = {"en",    "US", "GB", "AU",    "CA",    "NZ",    "IE",    "ZA", "JM",
                           nullptr, "BZ", "TT", nullptr, nullptr, nullptr, nullptr, "IN", "MY"};
const char* const k0A[] = {"es", "ES", "MX", "ES", "GT", "CR", "PA", "DO", "VE", "CO", "PE",
                           "AR", "EC", "CL", "UY", "PY", "BO", "SV", "HN", "NI", "PR"};
const char* const k0B[] = {"fi", "FI"};
const char* const k0C[] = {"fr", "FR", "BE", "CA", "CH", "LU"};
const char* const k0D[] = {"he", "IL"};
const char* const k0E[] = {"hu", "HU"};
const char* const k0F[] = {"is", "IS"};
const char* const k10[] = {"it", "IT", "CH"};
const char* const k11[] = {"ja", "JP"};
const char* const k12[] = {"ko", "KR"};
const char* const k13[] = {"nl", "NL", "BE"};
const char* const k14[] = {"no", "NO", "NN"};
const char* const k15[] = {"pl", "PL"};
const char* const k16[] = {"pt", "BR", "PT"};
const char* const k17[] = {"rm", "CH"};
const char* const k18[] = {"ro", "RO", "MO"};
const char* const k19[] = {"ru", "RU", "MO"};
const char* const k1A[] = {"hr", "HR", "SR", "CS", "BA"};
const char* const k1B[] = {"sk", "SK"};
const char* const k1C[] = {"sq", "AL"};
const char* const k1D[] = {"sv", "SV", "FI"};
const char* const k1E[] = {"th", "TH"};
const char* const k1F[] = {"tr", "TR"};
const char* const k20[] = {"ur", "PK"};
const char* const k21[] = {"id", "ID"};
const char* const k22[] = {"uk", "UA"};
const char* const k23[] = {"be", "BY"};
const char* const k24[] = {"sl", "SI"};
const char* const k25[] = {"et", "EE"};
const char* const k26[] = {"lv", "LV"};
const char* const k27[] = {"lt", "LT"};
const char* const k28[] = {"tg", "TJ"};
const char* const k29[] = {"fa", "IR"};
const char* const k2A[] = {"vi", "VN"};
const char* const k2B[] = {"hy", "AM"};
const char* const k2C[] = {"az", "AZJ", "AZB"};
const char* const k2D[] = {"eu", "ES"};
const char* const k2E[] = {"dsb", "DE"};
const char* const k30[] = {"sx", "SX"};
const char* const k31[] = {"ts", "TS"};
const char* const k32[] = {"tn", "ZA"};
const char* const k33[] = {"ve", "ZA"};
const char* const k34[] = {"xh", "ZA"};
const char* const k35[] = {"zu", "ZA"};
const char* const k36[] = {"af", "ZA"};
const char* const k37[] = {"ka", "GE"};
const char* const k38[] = {"fo", "FO"};
const char* const k39[] = {"hi", "IN"};
const char* const k3A[] = {"mt", "MT"};
const char* const k3B[] = {"se", "NO", "SE", "FI"};
const char* const k3C[] = {"ga", "IE"};
const char* const k3D[] = {"ji", "JI"};
const char* const k3E[] = {"ms", "MY", "BN"};
const char* const k3F[] = {"kk", "KZ"};
const char* const k40[] = {"ky", "KG"};

struct LangEntry {
    const char* const* codes;
    size_t size;  // language code included
};

#define LANG(codes)                                                                                                    \
    {                                                                                                                  \
        codes, sizeof(codes) / sizeof((codes)[0])                                                                      \
    }

// Indexed by the primary language identifier.
const LangEntry t_allLangs[kLangCount] = {
    {nullptr, 0},  // 0x00
    LANG(k01),     // 0x01
    LANG(k02),     // 0x02
    LANG(k03),     // 0x03
    LANG(k04),     // 0x04
    LANG(k05),     // 0x05
    LANG(k06),     // 0x06
    LANG(k07),     // 0x07
    LANG(k08),     // 0x08
    LANG(k09),     // 0x09
    LANG(k0A),     // 0x0A
    LANG(k0B),     // 0x0B
    LANG(k0C),     // 0x0C
    LANG(k0D),     // 0x0D
    LANG(k0E),     // 0x0E
    LANG(k0F),     // 0x0F
    LANG(k10),     // 0x10
    LANG(k11),     // 0x11
    LANG(k12),     // 0x12
    LANG(k13),     // 0x13
    LANG(k14),     // 0x14
    LANG(k15),     // 0x15
    LANG(k16),     // 0x16
    LANG(k17),     // 0x17
    LANG(k18),     // 0x18
    LANG(k19),     // 0x19
    LANG(k1A),     // 0x1A
    LANG(k1B),     // 0x1B
    LANG(k1C),     // 0x1C
    LANG(k1D),     // 0x1D
    LANG(k1E),     // 0x1E
    LANG(k1F),     // 0x1F
    LANG(k20),     // 0x20
    LANG(k21),     // 0x21
    LANG(k22),     // 0x22
    LANG(k23),     // 0x23
    LANG(k24),     // 0x24
    LANG(k25),     // 0x25
    LANG(k26),     // 0x26
    LANG(k27),     // 0x27
    LANG(k28),     // 0x28
    LANG(k29),     // 0x29
    LANG(k2A),     // 0x2A
    LANG(k2B),     // 0x2B
    LANG(k2C),     // 0x2C
    LANG(k2D),     // 0x2D
    LANG(k2E),     // 0x2E
    {nullptr, 0},  // 0x2F
    LANG(k30),     // 0x30
    LANG(k31),     // 0x31
    LANG(k32),     // 0x32
    LANG(k33),     // 0x33
    LANG(k34),     // 0x34
    LANG(k35),     // 0x35
    LANG(k36),     // 0x36
    LANG(k37),     // 0x37
    LANG(k38),     // 0x38
    LANG(k39),     // 0x39
    LANG(k3A),     // 0x3A
    LANG(k3B),     // 0x3B
    LANG(k3C),     // 0x3C
    LANG(k3D),     // 0x3D
    LANG(k3E),     // 0x3E
    LANG(k3F),     // 0x3F
    LANG(k40),     // 0x40
};

#undef LANG

}  // namespace

HRESULT GetLangID(unsigned int langId, ZELK_RES_TEXT* language, ZELK_RES_TEXT* country)
{
    if (langId == 0xFFFFFFFFu || language == nullptr || country == nullptr)
        return E_INVALIDARG;
    unsigned int id = langId & 0xFFFF;
    unsigned int primary = id & 0x3FF;
    unsigned int sub = id >> 10;
    if (primary >= kLangCount)
        return E_FAIL;
    const LangEntry& entry = t_allLangs[primary];
    if (entry.codes == nullptr || entry.size < 2 || entry.codes[0] == nullptr)
        return E_FAIL;
    const char* countryCode = entry.codes[1];
    if (sub >= 1 && sub < entry.size && entry.codes[sub] != nullptr)
        countryCode = entry.codes[sub];
    HRESULT hr = SetWide(language, entry.codes[0]);
    if (FAILED(hr))
        return hr;
    return SetWide(country, countryCode);
}

const char* GetDefaultCountry(const wchar_t* language)
{
    if (language == nullptr)
        return nullptr;
    for (int i = 0; i < 2; ++i)
        if (language[i] == 0 || static_cast<unsigned long>(language[i]) >= 128)
            return nullptr;
    if (language[2] != 0)
        return nullptr;
    for (const LangEntry& entry : t_allLangs) {
        if (entry.codes == nullptr || entry.size < 2 || entry.codes[1] == nullptr)
            continue;
        const char* code = entry.codes[0];
        if (code[0] != 0 && code[1] != 0 && code[2] == 0
            && std::towlower(static_cast<wint_t>(code[0])) == std::towlower(static_cast<wint_t>(language[0]))
            && std::towlower(static_cast<wint_t>(code[1])) == std::towlower(static_cast<wint_t>(language[1])))
            return entry.codes[1];
    }
    return nullptr;
}

}  // namespace kestrin::resloader
