// The named values of a memory store: one record per name (first spelling
// kept), each holding one kind of value at a time.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "zelk_result.h"

namespace kestrin::policy {

class MemRecords {
public:
    bool IsConfigured(const char* name) const;
    // 0x80004005 when there is no record or it holds another kind.
    HRESULT GetString(const char* name, std::string* value) const;
    HRESULT GetBinary(const char* name, std::string* value) const;
    // The record's number; 0 when there is none or it holds another kind.
    uint32_t GetNumber(const char* name) const;

    // A NULL text or bytes leaves the record without a value of any kind.
    HRESULT SetString(const char* name, const char* value);
    HRESULT SetNumber(const char* name, uint32_t value);
    HRESULT SetBinary(const char* name, const void* bytes, size_t length);

private:
    enum class Kind { None, Number, Text, Binary };
    struct Record {
        std::string name;
        Kind kind = Kind::None;
        uint32_t number = 0;
        std::string value;  // text or bytes
    };

    const Record* Find(const char* name) const;
    Record* FindOrAdd(const char* name);

    mutable std::mutex m_lock;
    std::vector<Record> m_records;
};

}  // namespace kestrin::policy
