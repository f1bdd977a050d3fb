// The tables "MultiString.1" and "MultiStringW.1" of module "zelkstring",
// registered when the module loads.
#include "multistring.h"
#include "zelk_module.h"
#include "zelk_string_tables.h"

namespace kestrin::strings {

namespace {

HRESULT MULTISTRING_get_info(const char** apiName, const char** module, const char** description)
{
    if (apiName)
        *apiName = ZELK_MULTISTRING_API;
    if (module)
        *module = ZELK_STRING_MODULE;
    if (description)
        *description = "";
    return S_OK;
}

HRESULT MULTISTRINGW_get_info(const char** apiName, const char** module, const char** description)
{
    if (apiName)
        *apiName = ZELK_MULTISTRINGW_API;
    if (module)
        *module = ZELK_STRING_MODULE;
    if (description)
        *description = "";
    return S_OK;
}

MULTISTRING_FUNCTION_TABLE s_multi = {
    {MULTISTRING_get_info}, MakeMultiString<char>, MultiCopy<char>,   MultiGetLength<char>,
    MultiCreate<char>,      MultiGetCount<char>,   MultiFind<char>,   MultiFindNoCase<char>,
    MultiGet<char>,         MultiAdd<char>,        MultiInsert<char>, MultiGetCountEx<char>,
};

MULTISTRINGW_FUNCTION_TABLE s_multiW = {
    {MULTISTRINGW_get_info}, MakeMultiString<wchar_t>, MultiCopy<wchar_t>,   MultiGetLength<wchar_t>,
    MultiCreate<wchar_t>,    MultiGetCount<wchar_t>,   MultiFind<wchar_t>,   MultiFindNoCase<wchar_t>,
    MultiGet<wchar_t>,       MultiAdd<wchar_t>,        MultiInsert<wchar_t>, MultiGetCountEx<wchar_t>,
};

CZELK_API s_registerMulti(ZELK_STRING_MODULE, ZELK_MULTISTRING_API, &s_multi);
CZELK_API s_registerMultiW(ZELK_STRING_MODULE, ZELK_MULTISTRINGW_API, &s_multiW);

}  // namespace

}  // namespace kestrin::strings
