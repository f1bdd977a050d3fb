// "SEC_URL_1": URLs and HTTPS connections.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "qev_tables.h"
#include "qev_url.h"

namespace {

struct Part {
    char** out;
    std::string_view text;
};

HRESULT Deliver(Part* parts, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        if (parts[i].out == nullptr)
            continue;
        char* text = static_cast<char*>(std::malloc(parts[i].text.size() + 1));
        if (text == nullptr) {
            for (size_t j = 0; j < i; ++j)
                if (parts[j].out != nullptr) {
                    std::free(*parts[j].out);
                    *parts[j].out = nullptr;
                }
            return E_OUTOFMEMORY;
        }
        if (!parts[i].text.empty())
            std::memcpy(text, parts[i].text.data(), parts[i].text.size());
        text[parts[i].text.size()] = '\0';
        *parts[i].out = text;
    }
    return S_OK;
}

HRESULT sec_URL_API_split_url(const char* url, char** scheme, char** user, char** password, char** host, char** port,
                              char** path)
{
    Part parts[] = {{scheme, {}}, {user, {}}, {password, {}}, {host, {}}, {port, {}}, {path, {}}};
    for (Part& p : parts)
        if (p.out != nullptr)
            *p.out = nullptr;
    if (url == nullptr || std::strlen(url) > SEC_URL_MAX_LENGTH)
        return E_INVALIDARG;
    std::string_view rest(url);
    size_t separator = rest.find("://");
    if (separator != std::string_view::npos && rest.find_first_of("/?#") > separator) {
        parts[0].text = rest.substr(0, separator);
        rest.remove_prefix(separator + 3);
    }
    const size_t authorityEnd = rest.find_first_of("/?#");
    std::string_view authority = rest.substr(0, authorityEnd);
    if (authorityEnd != std::string_view::npos)
        parts[5].text = rest.substr(authorityEnd);
    const size_t at = authority.rfind('@');
    if (at != std::string_view::npos) {
        std::string_view userInfo = authority.substr(0, at);
        const size_t colon = userInfo.find(':');
        parts[1].text = userInfo.substr(0, colon);
        if (colon != std::string_view::npos)
            parts[2].text = userInfo.substr(colon + 1);
        authority.remove_prefix(at + 1);
    }
    // The port follows the last colon that is not inside an IPv6 literal.
    const size_t bracket = authority.rfind(']');
    const size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
        parts[4].text = authority.substr(colon + 1);
        authority = authority.substr(0, colon);
    }
    parts[3].text = authority;
    return Deliver(parts, sizeof parts / sizeof parts[0]);
}

HRESULT sec_url_get_info(const char** table, const char** module, const char** description)
{
    return qev_fill_info(table, module, description, "SEC_URL_1", "URLs and HTTPS connections");
}

QevTable<> s_table("SEC_URL_1", &sec_url_get_info, {{1, qev_slot(&sec_URL_API_split_url)}});

}  // namespace
