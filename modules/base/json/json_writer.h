// The JSON writer: the fixed layout of the system's documents (one member or
// item per line), gathered in a 1,024-byte buffer that goes to a sink.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zelk_result.h"

namespace kestrin::base::json {

class JsonSink {
public:
    virtual ~JsonSink() = default;
    virtual HRESULT write(const char* data, size_t length) = 0;
};

class JsonWriter {
public:
    static constexpr size_t kBufferSize = 1024;

    explicit JsonWriter(JsonSink& sink) : sink_(sink) {}
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    // Layout: "{\n" members separated by ",\n" "\n}\n"; a member is its name as
    // a string, " : ", its value. Arrays the same with "[" and "]".
    HRESULT beginObject() { return raw("{\n", 2); }
    HRESULT memberName(size_t index, const char* name, size_t length);
    HRESULT endObject() { return raw("\n}\n", 3); }
    HRESULT beginArray() { return raw("[\n", 2); }
    HRESULT itemSeparator(size_t index) { return index ? raw(",\n", 2) : S_OK; }
    HRESULT endArray() { return raw("\n]\n", 3); }

    HRESULT string(const char* bytes, size_t length);
    HRESULT number(int32_t value);
    HRESULT boolean(bool value) { return value ? raw("true", 4) : raw("false", 5); }
    HRESULT null() { return raw("null", 4); }

    HRESULT raw(const char* bytes, size_t length);
    // Writes out what is gathered; call once at the end.
    HRESULT flush();

    // The first failure of the sink, kept for every later call.
    HRESULT status() const { return status_; }

private:
    HRESULT room(size_t n);

    JsonSink& sink_;
    char buffer_[kBufferSize];
    size_t used_ = 0;
    HRESULT status_ = S_OK;
};

}  // namespace kestrin::base::json
