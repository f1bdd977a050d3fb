// Table "zelk.misc.base.network.1" of module "zelkbase": the Cookie value of a
// Set-Cookie value, and the proxy decisions on a URL's host.
#include <cstring>

#include "qev_url.h"
#include "string_array.h"
#include "zelk_alloc.h"
#include "zelk_base_network.h"
#include "zelk_module.h"
#include "zelk_strings.h"

namespace kestrin::base {
namespace {

constexpr unsigned kUtf8 = 65001;

API_COMMON* fptr__url = nullptr;
CLoadAPI OnDemand_Load_SEC_URL(nullptr, SEC_URL_API, &fptr__url);

bool Cookie_SimpleTransformation(const char* setCookie, char** cookie)
{
    if (setCookie == nullptr || cookie == nullptr)
        return false;
    const size_t length = std::strlen(setCookie);
    if (length > SIZE_MAX - 5)
        return false;
    auto* out = static_cast<char*>(sec_malloc(length + 5));
    if (out == nullptr)
        return false;
    const char* semicolon = std::strchr(setCookie, ';');
    if (semicolon == nullptr) {
        std::memcpy(out, setCookie, length + 1);
    } else {
        size_t n = static_cast<size_t>(semicolon - setCookie);
        std::memcpy(out, setCookie, n);
        const char* path = std::strstr(semicolon, "Path=");
        if (path != nullptr) {
            std::memcpy(out + n, "; $", 3);
            n += 3;
            const size_t pathLength = std::strcspn(path, ";");
            std::memcpy(out + n, path, pathLength);
            n += pathLength;
        }
        out[n] = '\0';
    }
    *cookie = out;
    return true;
}

// The URL's host as UTF-8 text (library allocator); NULL when the URL
// cannot be converted or split, an empty text when it has no host.
char* HostOf(const wchar_t* url)
{
    const SEC_URL_TABLE* urls = ZELK_ApiCast<SEC_URL_TABLE>(fptr__url);
    if (urls == nullptr)
        return nullptr;
    char* utf8 = nullptr;
    String_Convert(url, &utf8, kUtf8);
    if (utf8 == nullptr)
        return nullptr;
    char* host = nullptr;
    urls->split_url(utf8, nullptr, nullptr, nullptr, &host, nullptr, nullptr);
    sec_free(utf8);
    return host;
}

// A host that cannot be found is not taken for a local one: the request
// would otherwise bypass the proxy on a mere parse failure.
bool IsLocalAddress(const wchar_t* url)
{
    if (url == nullptr)
        return false;
    char* host = HostOf(url);
    const bool local = host != nullptr && *host != '\0' && String_Find(host, 0, ".") == 0xFFFFFFFF
                       && String_Find(host, 0, ":") == 0xFFFFFFFF;
    sec_free(host);
    return local;
}

bool IsInBypassList(const wchar_t* url, const wchar_t* list)
{
    if (url == nullptr || list == nullptr)
        return false;
    char* host = HostOf(url);
    if (host == nullptr)
        return false;
    wchar_t* wideHost = nullptr;
    String_Convert(host, &wideHost, kUtf8);
    sec_free(host);
    if (wideHost == nullptr)
        return false;
    StringArrayT<wchar_t> pieces;
    for (const wchar_t* rest = list; rest != nullptr;) {
        wchar_t* piece = nullptr;
        rest = String_ExtractToken(rest, L";", &piece);
        pieces.Add(piece);
        sec_free(piece);
    }
    bool match = false;
    for (size_t i = 0; i < pieces.Count() && !match; ++i)
        match = String_Match(wideHost, pieces[i], 0, 0);
    sec_free(wideHost);
    return match;
}

HRESULT ZELKBASE_NETWORK_get_info(const char** name, const char** module, const char** description)
{
    if (name)
        *name = ZELKBASE_NETWORK_API;
    if (module)
        *module = ZELK_GetModuleName();
    if (description)
        *description = "";
    return S_OK;
}

ZELKBASE_NETWORK_FUNCTIONS sZELKBASE_NETWORK_TABLE = {
    {ZELKBASE_NETWORK_get_info},
    Cookie_SimpleTransformation,
    IsLocalAddress,
    IsInBypassList,
};

CZELK_API s_register("zelkbase", ZELKBASE_NETWORK_API, &sZELKBASE_NETWORK_TABLE);

}  // namespace
}  // namespace kestrin::base
