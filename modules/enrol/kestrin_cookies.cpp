#include "kestrin_cookies.h"

#include <strings.h>

#include <cstring>
#include <string>
#include <string_view>

#include "zelk_alloc.h"
#include "zelk_trace.h"

namespace kestrin::enrol {

namespace {

const char kTraceModule[] = "kestrin";

std::string_view Trim(std::string_view s)
{
    const char* blanks = " \t\r\n";
    size_t begin = s.find_first_not_of(blanks);
    if (begin == std::string_view::npos)
        return {};
    return s.substr(begin, s.find_last_not_of(blanks) - begin + 1);
}

char* Copy(std::string_view s)
{
    auto* out = static_cast<char*>(sec_malloc(s.size() + 1));
    if (out != nullptr) {
        std::memcpy(out, s.data(), s.size());
        out[s.size()] = '\0';
    }
    return out;
}

// Each "name=value" pair of a list separated by `separator` with its value
// masked; text outside pairs stays.
std::string MaskPairs(std::string_view text, char separator, bool firstOnly)
{
    std::string out;
    bool first = true;
    while (!text.empty()) {
        size_t end = text.find(separator);
        std::string_view part = text.substr(0, end);
        size_t eq = part.find('=');
        if ((first || !firstOnly) && eq != std::string_view::npos)
            out.append(part.substr(0, eq + 1)).append("***");
        else
            out.append(part);
        first = false;
        if (end == std::string_view::npos)
            break;
        out.push_back(separator);
        text.remove_prefix(end + 1);
    }
    return out;
}

void Trace(const char* format, const std::string& masked)
{
    SECTRACE_FormatLn(kTraceModule, 4, format, masked.c_str());
}

std::string Masked(const char* line)
{
    char* m = nullptr;
    MaskHeaderLine(line, &m);
    std::string out = m != nullptr ? m : "";
    sec_free(m);
    return out;
}

}  // namespace

void MaskHeaderLine(const char* line, char** out)
{
    *out = nullptr;
    if (line == nullptr)
        return;
    std::string_view l(line);
    std::string masked;
    if (strncasecmp(line, "Set-Cookie:", 11) == 0)
        masked = std::string(l.substr(0, 11)) + MaskPairs(l.substr(11), ';', true);
    else if (strncasecmp(line, "Cookie:", 7) == 0)
        masked = std::string(l.substr(0, 7)) + MaskPairs(l.substr(7), ';', false);
    else if (strncasecmp(line, "Authorization:", 14) == 0)
        masked = std::string(l.substr(0, 14)) + " ***";
    else
        masked = l;
    *out = Copy(masked);
}

void MaskCookieValues(const char* header, char** out)
{
    *out = header != nullptr ? Copy(MaskPairs(header, ';', false)) : nullptr;
}

HRESULT ParseHTTPHeaderAndGenerateCookieHeader(HashTable_void* jar, const char* const* lines, unsigned long count,
                                               char** cookieHeader)
{
    if (lines == nullptr || cookieHeader == nullptr || jar == nullptr)
        return E_INVALIDARG;
    *cookieHeader = nullptr;
    for (unsigned long i = 0; i < count; ++i) {
        if (lines[i] == nullptr)
            continue;
        Trace("Received HTTP header: %s", Masked(lines[i]));
        if (strncasecmp(lines[i], "Set-Cookie:", 11) != 0)
            continue;
        std::string_view rest(lines[i] + 11);
        Trace("Received Set-Cookie header: %s", MaskPairs(rest, ';', true));
        size_t eq = rest.find('=');
        if (eq == std::string_view::npos)
            continue;
        std::string name(Trim(rest.substr(0, eq)));
        std::string_view after = rest.substr(eq + 1);
        std::string value(Trim(after.substr(0, after.find(';'))));
        if (name.empty())
            continue;
        // An empty value ends the cookie: kept, it would end the header too.
        if (value.empty()) {
            jar->Del(name.data());
            continue;
        }
        if (name.size() + value.size() > kMaxCookieLength) {
            SECTRACE_FormatLn(kTraceModule, 2, "Cookie %s is longer than %u bytes and is ignored", name.c_str(),
                              static_cast<unsigned>(kMaxCookieLength));
            continue;
        }
        void* last = nullptr;
        if (jar->Contains(name.data()) != S_OK && jar->GetKey(kMaxCookies - 1, &last) == S_OK) {
            SECTRACE_FormatLn(kTraceModule, 2, "Cookie %s is ignored: the jar holds %u cookies", name.c_str(),
                              static_cast<unsigned>(kMaxCookies));
            continue;
        }
        jar->Add(name.data(), value.data());
    }
    std::string header;
    for (unsigned long i = 0;; ++i) {
        void* key = nullptr;
        if (jar->GetKey(i, &key) != S_OK || key == nullptr)
            break;
        void* value = nullptr;
        jar->Get(key, &value);
        bool empty = value == nullptr || *static_cast<const char*>(value) == '\0';
        if (!empty) {
            if (!header.empty())
                header.append("; ");
            header.append(static_cast<const char*>(key)).append("=").append(static_cast<const char*>(value));
        }
        sec_free(value);
        if (empty)
            break;
    }
    Trace("Send cookie header: %s", MaskPairs(header, ';', false));
    if (!header.empty() && (*cookieHeader = Copy(header)) == nullptr)
        return E_OUTOFMEMORY;
    return S_OK;
}

HRESULT GenerateCookieHeader(const char* setCookie, char** cookieHeader)
{
    if (setCookie == nullptr || cookieHeader == nullptr)
        return E_INVALIDARG;
    Trace("Received Set-Cookie header (legacy mode): %s", MaskPairs(setCookie, ',', false));
    std::string out;
    bool copying = true;
    for (const char* p = setCookie; *p != '\0'; ++p) {
        if (copying) {
            if (*p == ';')
                copying = false;
            else
                out.push_back(*p);
        } else if (*p == ',') {
            out.push_back(';');
            copying = true;
        }
    }
    Trace("Send cookie header (legacy mode): %s", MaskPairs(out, ';', false));
    *cookieHeader = Copy(out);
    return *cookieHeader != nullptr ? S_OK : E_OUTOFMEMORY;
}

}  // namespace kestrin::enrol
