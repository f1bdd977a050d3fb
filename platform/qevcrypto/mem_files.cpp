#include "mem_files.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "qev_io.h"
#include "types_values.h"

namespace kestrin::qevcrypto::memfiles {

namespace {

// Longest name taken.
constexpr size_t kMaxName = 1024;

std::mutex s_lock;
std::map<std::string, ossl::SecretBytes>& Files()
{
    // Destroyed (and wiped) when the library is unloaded.
    static std::map<std::string, ossl::SecretBytes> files;
    return files;
}
std::atomic<uint64_t> s_next {1};

ossl::SecretBytes Copy(const OctetString* data)
{
    if (data == nullptr || data->data == nullptr)
        return {};
    return ossl::SecretBytes(data->data, data->data + data->length);
}

}  // namespace

HRESULT Register(const char* name, const OctetString* data, char** created)
{
    if (created != nullptr)
        *created = nullptr;
    if (name != nullptr && std::strlen(name) > kMaxName)
        return E_INVALIDARG;
    try {
        std::string key = name != nullptr ? name : "";
        std::lock_guard<std::mutex> guard(s_lock);
        if (key.empty()) {
            do
                key = "mem://" + std::to_string(s_next++);
            while (Files().count(key) != 0);
        }
        if (Files().count(key) != 0)
            return SEC_E_IO_EXISTS;
        if (created != nullptr) {
            *created = static_cast<char*>(std::malloc(key.size() + 1));
            if (*created == nullptr)
                return E_OUTOFMEMORY;
            std::memcpy(*created, key.c_str(), key.size() + 1);
        }
        Files().emplace(key, Copy(data));
        return S_OK;
    } catch (...) {
        if (created != nullptr && *created != nullptr) {
            std::free(*created);
            *created = nullptr;
        }
        return E_OUTOFMEMORY;
    }
}

HRESULT Unregister(const char* name)
{
    if (name == nullptr)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(s_lock);
    auto it = Files().find(name);
    if (it == Files().end())
        return SEC_E_IO_NOT_FOUND;
    Files().erase(it);
    return S_OK;
}

bool Exists(const char* name)
{
    if (name == nullptr)
        return false;
    std::lock_guard<std::mutex> guard(s_lock);
    return Files().count(name) != 0;
}

HRESULT Write(const char* name, const OctetString* data)
{
    if (name == nullptr)
        return E_INVALIDARG;
    try {
        std::lock_guard<std::mutex> guard(s_lock);
        auto it = Files().find(name);
        if (it == Files().end())
            return SEC_E_IO_NOT_FOUND;
        it->second = Copy(data);
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT Read(const char* name, ossl::SecretBytes& out)
{
    if (name == nullptr)
        return E_INVALIDARG;
    try {
        std::lock_guard<std::mutex> guard(s_lock);
        auto it = Files().find(name);
        if (it == Files().end())
            return SEC_E_IO_NOT_FOUND;
        out = it->second;
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace kestrin::qevcrypto::memfiles
