#include "policy_values.h"

#include <cstring>

#include "file_io.h"
#include "zelk_alloc.h"

namespace kestrin::policy {

HRESULT NewText(const std::string& text, char** out)
{
    char* copy = static_cast<char*>(sec_malloc(text.size() + 1));
    if (!copy)
        return E_OUTOFMEMORY;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    *out = copy;
    return S_OK;
}

HRESULT NewText(const char* text, char** out)
{
    return NewText(std::string(text ? text : ""), out);
}

HRESULT NewOctetString(const std::string& bytes, OctetString** out)
{
    auto* value = static_cast<OctetString*>(sec_malloc(sizeof(OctetString)));
    if (!value)
        return E_OUTOFMEMORY;
    value->data = static_cast<unsigned char*>(sec_malloc(bytes.size() + 1));
    if (!value->data) {
        sec_free(value);
        return E_OUTOFMEMORY;
    }
    if (!bytes.empty())
        std::memcpy(value->data, bytes.data(), bytes.size());
    value->data[bytes.size()] = 0;
    value->length = bytes.size();
    *out = value;
    return S_OK;
}

bool AcceptableBytes(const OctetString* bytes)
{
    return bytes && bytes->data && bytes->length <= kMaxPolicyFileSize;
}

void CopyName(const std::string& text, char* name, long size)
{
    if (!name || size <= 0)
        return;
    size_t room = static_cast<size_t>(size) - 1;
    size_t n = text.size() < room ? text.size() : room;
    std::memcpy(name, text.data(), n);
    name[n] = '\0';
}

}  // namespace kestrin::policy
