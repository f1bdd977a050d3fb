// Fuzz input read as records: a kind byte, a two-byte big-endian length and
// that many bytes (fewer when the input ends first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrin::fuzz {

struct Record {
    uint8_t kind = 0;
    std::string bytes;
};

// Takes the next record off the input; false once fewer than three bytes are left.
inline bool NextRecord(const uint8_t*& data, size_t& size, Record& record)
{
    if (size < 3)
        return false;
    record.kind = data[0];
    size_t length = (size_t {data[1]} << 8) | data[2];
    data += 3;
    size -= 3;
    if (length > size)
        length = size;
    record.bytes.assign(reinterpret_cast<const char*>(data), length);
    data += length;
    size -= length;
    return true;
}

}  // namespace kestrin::fuzz
