#include "mem_records.h"

#include <new>

#include "key_path.h"

namespace kestrin::policy {

const MemRecords::Record* MemRecords::Find(const char* name) const
{
    if (!name)
        return nullptr;
    for (const Record& r : m_records) {
        if (EqualNoCase(r.name, name))
            return &r;
    }
    return nullptr;
}

MemRecords::Record* MemRecords::FindOrAdd(const char* name)
{
    if (!name)
        return nullptr;
    for (Record& r : m_records) {
        if (EqualNoCase(r.name, name))
            return &r;
    }
    try {
        Record record;
        record.name = name;
        m_records.push_back(std::move(record));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return &m_records.back();
}

bool MemRecords::IsConfigured(const char* name) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return Find(name) != nullptr;
}

HRESULT MemRecords::GetString(const char* name, std::string* value) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const Record* r = Find(name);
    if (!r || r->kind != Kind::Text)
        return E_FAIL;
    *value = r->value;
    return S_OK;
}

HRESULT MemRecords::GetBinary(const char* name, std::string* value) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const Record* r = Find(name);
    if (!r || r->kind != Kind::Binary)
        return E_FAIL;
    *value = r->value;
    return S_OK;
}

uint32_t MemRecords::GetNumber(const char* name) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const Record* r = Find(name);
    return r && r->kind == Kind::Number ? r->number : 0;
}

HRESULT MemRecords::SetString(const char* name, const char* value)
{
    if (!name)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(m_lock);
    Record* r = FindOrAdd(name);
    if (!r)
        return E_OUTOFMEMORY;
    r->number = 0;
    r->value = value ? value : "";
    r->kind = value ? Kind::Text : Kind::None;
    return S_OK;
}

HRESULT MemRecords::SetNumber(const char* name, uint32_t value)
{
    if (!name)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(m_lock);
    Record* r = FindOrAdd(name);
    if (!r)
        return E_OUTOFMEMORY;
    r->value.clear();
    r->number = value;
    r->kind = Kind::Number;
    return S_OK;
}

HRESULT MemRecords::SetBinary(const char* name, const void* bytes, size_t length)
{
    if (!name)
        return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(m_lock);
    Record* r = FindOrAdd(name);
    if (!r)
        return E_OUTOFMEMORY;
    r->number = 0;
    if (bytes) {
        r->value.assign(static_cast<const char*>(bytes), length);
        r->kind = Kind::Binary;
    } else {
        r->value.clear();
        r->kind = Kind::None;
    }
    return S_OK;
}

}  // namespace kestrin::policy
