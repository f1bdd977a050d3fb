// The JSON writer: the fixed layout of the system's documents (one member or
// item per line), gathered in a 1,024-byte buffer that goes to a sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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
    HRESULT beginObject() { return text("{\n"); }
    HRESULT memberName(size_t index, const char* name, size_t length);
    HRESULT endObject() { return text("\n}\n"); }
    HRESULT beginArray() { return text("[\n"); }
    HRESULT itemSeparator(size_t index) { return index ? text(",\n") : S_OK; }
    HRESULT endArray() { return text("\n]\n"); }

    HRESULT string(const char* bytes, size_t length);
    HRESULT number(int32_t value);
    HRESULT boolean(bool value) { return value ? text("true") : text("false"); }
    HRESULT null() { return text("null"); }

    HRESULT raw(const char* bytes, size_t length);
    // Writes out what is gathered; call once at the end.
    HRESULT flush();

    // The first failure of the sink, kept for every later call.
    HRESULT status() const { return status_; }

private:
    HRESULT room(size_t n);
    HRESULT rawSlow(const char* bytes, size_t length);

    // The layout's short pieces: appended in place while they fit.
    template <size_t N>
    HRESULT text(const char (&piece)[N])
    {
        constexpr size_t length = N - 1;
        if (length > kBufferSize - used_ || FAILED(status_))
            return rawSlow(piece, length);
        std::memcpy(buffer_ + used_, piece, length);
        used_ += length;
        return S_OK;
    }

    JsonSink& sink_;
    char buffer_[kBufferSize];
    size_t used_ = 0;
    HRESULT status_ = S_OK;
};

}  // namespace kestrin::base::json
