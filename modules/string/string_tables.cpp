// The tables "String.1" and "StringW.1" of module "zelkstring", registered
// when the module loads.
#include "codepage.h"
#include "format.h"
#include "match.h"
#include "text.h"
#include "zelk_module.h"

namespace kestrin::strings {

namespace {

HRESULT STRING_get_info(const char** apiName, const char** module, const char** description)
{
    if (apiName)
        *apiName = ZELK_STRING_API;
    if (module)
        *module = ZELK_STRING_MODULE;
    if (description)
        *description = "";
    return S_OK;
}

HRESULT STRINGW_get_info(const char** apiName, const char** module, const char** description)
{
    if (apiName)
        *apiName = ZELK_STRINGW_API;
    if (module)
        *module = ZELK_STRING_MODULE;
    if (description)
        *description = "";
    return S_OK;
}

STRING_FUNCTION_TABLE s_string = {
    {STRING_get_info},
    SetNULL<char>,
    Length<char>,
    Copy<char>,
    CopyN<char>,
    Compare<char>,
    NCompare<char>,
    CompareNoCase<char>,
    NCompareNoCase<char>,
    IsEmpty<char>,
    IsSpace<char>,
    NIsSpace<char>,
    Find<char>,
    Replace<char>,
    FindOneOf<char>,
    ReverseFind<char>,
    StartsWith<char>,
    StartsWithNoCase<char>,
    ExtractToken<char>,
    ExtractTokens<char>,
    ExtractTokenByIdx<char>,
    Chop<char>,
    Burn<char>,
    Mid<char>,
    Left<char>,
    Right<char>,
    String_FormatV,
    Append<char>,
    EndsWith<char>,
    MakeUpper<char>,
    MakeLower<char>,
    MakeCannon<char>,
    Delete<char>,
    IntToString<char>,
    StringToInt<char>,
    Is8Bit<char>,
    String_MatchQuality,
    String_Match,
    RemoveQuote<char>,
    String_Convert,
    String_AppendConvert,
    String_Base64Encode,
    String_Base64Decode,
    String_HexEncode,
    String_HexDecode,
    String_OctetString2String,
    String_String2OctetString,
    String_URLEncode,
    String_URLDecode,
};

STRINGW_FUNCTION_TABLE s_stringW = {
    {STRINGW_get_info},
    SetNULL<wchar_t>,
    Length<wchar_t>,
    Copy<wchar_t>,
    CopyN<wchar_t>,
    Compare<wchar_t>,
    NCompare<wchar_t>,
    CompareNoCase<wchar_t>,
    NCompareNoCase<wchar_t>,
    IsEmpty<wchar_t>,
    IsSpace<wchar_t>,
    NIsSpace<wchar_t>,
    Find<wchar_t>,
    Replace<wchar_t>,
    FindOneOf<wchar_t>,
    ReverseFind<wchar_t>,
    StartsWith<wchar_t>,
    StartsWithNoCase<wchar_t>,
    ExtractToken<wchar_t>,
    ExtractTokens<wchar_t>,
    ExtractTokenByIdx<wchar_t>,
    Chop<wchar_t>,
    Burn<wchar_t>,
    Mid<wchar_t>,
    Left<wchar_t>,
    Right<wchar_t>,
    StringW_FormatV,
    Append<wchar_t>,
    EndsWith<wchar_t>,
    MakeUpper<wchar_t>,
    MakeLower<wchar_t>,
    MakeCannon<wchar_t>,
    Delete<wchar_t>,
    IntToString<wchar_t>,
    StringToInt<wchar_t>,
    Is8Bit<wchar_t>,
    StringW_MatchQuality,
    StringW_Match,
    RemoveQuote<wchar_t>,
    StringW_Convert,
    StringW_AppendConvert,
    StringW_Base64Encode,
    StringW_Base64Decode,
    StringW_HexEncode,
    StringW_HexDecode,
    StringW_OctetString2String,
    StringW_String2OctetString,
    StringW_URLEncode,
    StringW_URLDecode,
};

CZELK_API s_registerString(ZELK_STRING_MODULE, ZELK_STRING_API, &s_string);
CZELK_API s_registerStringW(ZELK_STRING_MODULE, ZELK_STRINGW_API, &s_stringW);

}  // namespace

}  // namespace kestrin::strings
