// The enrolment client's cookie parsers fed arbitrary header lines: the lines
// of a response (split at line ends) go into a jar, whose header must hold
// only cookies with names and values, at most kMaxCookies of them; the same
// bytes as one legacy Set-Cookie value must give a header no longer than it.
// The jar is a plain map behind the table's interface.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kestrin_cookies.h"
#include "zelk_alloc.h"
#include "zelk_trace.h"

void* sec_malloc(size_t size)
{
    return malloc(size);
}
void* sec_calloc(size_t count, size_t size)
{
    return calloc(count, size);
}
void* sec_realloc(void* pointer, size_t size)
{
    return realloc(pointer, size);
}
void sec_free(void* pointer)
{
    free(pointer);
}
void SECTRACE_FormatLn(const char*, unsigned int, const char*, ...) {}

namespace {

class MapJar final : public HashTable_void {
public:
    HRESULT QueryInterface(const GUID&, void** out) override
    {
        *out = nullptr;
        return E_NOINTERFACE;
    }
    long AddRef() override { return 1; }
    long Release() override { return 1; }
    const char* getType() override { return "jar"; }
    HRESULT cpy(HashTable_void**) override { return E_NOTIMPL; }
    int cmp(const HashTable_void*) override { return 1; }
    HRESULT print(char**, const char*, PRINT_CTX*) override { return E_NOTIMPL; }
    HRESULT Add(void* key, void* value) override
    {
        std::string k(static_cast<const char*>(key));
        auto it = std::find(order.begin(), order.end(), k);
        if (it == order.end())
            order.push_back(k);
        values[k] = static_cast<const char*>(value);
        return S_OK;
    }
    HRESULT Del(void* key) override
    {
        std::string k(static_cast<const char*>(key));
        order.erase(std::remove(order.begin(), order.end(), k), order.end());
        return values.erase(k) != 0 ? S_OK : S_FALSE;
    }
    HRESULT Contains(void* key) override { return values.count(static_cast<const char*>(key)) ? S_OK : S_FALSE; }
    HRESULT Get(void* key, void** value) override
    {
        auto it = values.find(static_cast<const char*>(key));
        *value = it != values.end() ? strdup(it->second.c_str()) : nullptr;
        return it != values.end() ? S_OK : S_FALSE;
    }
    HRESULT GetKey(unsigned long index, void** key) override
    {
        *key = index < order.size() ? const_cast<char*>(order[index].c_str()) : nullptr;
        return *key != nullptr ? S_OK : S_FALSE;
    }
    void Clear() override
    {
        values.clear();
        order.clear();
    }

    std::map<std::string, std::string> values;
    std::vector<std::string> order;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i)
        if (i == text.size() || text[i] == '\n' || text[i] == '\0') {
            lines.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    std::vector<const char*> pointers;
    for (const std::string& l : lines)
        pointers.push_back(l.c_str());
    MapJar jar;
    char* header = nullptr;
    if (kestrin::enrol::ParseHTTPHeaderAndGenerateCookieHeader(&jar, pointers.data(), pointers.size(), &header) != S_OK)
        abort();
    if (jar.values.size() > kestrin::enrol::kMaxCookies)
        abort();
    for (const auto& [name, value] : jar.values)
        if (name.empty() || value.empty() || name.size() + value.size() > kestrin::enrol::kMaxCookieLength)
            abort();
    if ((header == nullptr) != jar.values.empty())
        abort();
    free(header);

    std::string legacy(text.c_str());
    char* joined = nullptr;
    if (kestrin::enrol::GenerateCookieHeader(legacy.c_str(), &joined) != S_OK || strlen(joined) > legacy.size())
        abort();
    free(joined);
    for (const std::string& l : lines) {
        char* masked = nullptr;
        kestrin::enrol::MaskHeaderLine(l.c_str(), &masked);
        free(masked);
    }
    return 0;
}
