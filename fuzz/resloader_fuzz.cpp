// The resource-file walk fed arbitrary bytes: the document is parsed by the
// stand-in's libxml2 table (its module compiled in and started as the crypto
// library starts it) and every text found is read to its end.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "res_parse.h"
#include "secxml.h"
#include "zelk_alloc.h"

extern "C" HRESULT module_init(SEC_FUNCTION_LIST*, MODULE_GET_API_FN* getter, void*, void*);

// The crypto library's allocator, which libxml2 shares.
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

API_COMMON* fptr__libxml2 = nullptr;

namespace {

bool Bind()
{
    MODULE_GET_API_FN getter = nullptr;
    return module_init(nullptr, &getter, nullptr, nullptr) == S_OK && getter != nullptr
           && getter(SECXML_MODULE, SECXML_API, &fptr__libxml2) == S_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool bound = Bind();
    if (!bound)
        abort();
    std::string document(reinterpret_cast<const char*>(data), size);
    // The first byte, when present, also decides after how many texts the
    // receiver refuses, so that an interrupted walk is covered too.
    size_t refuseAfter = size ? data[0] % 16 : 0;
    size_t seen = 0;
    size_t total = 0;
    kestrin::resloader::ParseResourceDocument(document.c_str(), [&](const char* key, const char* content) -> HRESULT {
        total += strlen(key) + strlen(content);
        return ++seen == refuseAfter ? E_FAIL : S_OK;
    });
    // Every byte of every text was read.
    return total == SIZE_MAX ? -1 : 0;
}
