// The JSON reader: parses one document of the system's dialect (the top level
// is one object, "//" comments, 32-bit integers) into values made by a
// builder. The builder decides what a value is; the reader only checks syntax.
//
// A builder provides:
//   using Value = ...;   movable owner of one value, releases it when destroyed
//   HRESULT makeObject(Value&), makeArray(Value&), makeNull(Value&);
//   HRESULT makeBool(bool, Value&), makeNumber(int32_t, Value&);
//   HRESULT makeString(const char* bytes, size_t length, Value&);
//   HRESULT addMember(Value& object, const char* name, size_t length, Value&& v);
//       (a name already present keeps its first value)
//   HRESULT appendItem(Value& array, Value&& v);
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "byte_buffer.h"
#include "json_lexer.h"
#include "zelk_result.h"

namespace kestrin::base::json {

// Hostile input must not exhaust the stack: deeper nesting is refused.
constexpr unsigned kMaxDepth = 256;

template <class Builder>
class JsonReader {
public:
    using Value = typename Builder::Value;

    explicit JsonReader(Builder& builder) : builder_(builder) {}

    // Reads the top-level object; the bytes after its closing brace are not examined.
    HRESULT read(const void* text, size_t length, Value& out)
    {
        const unsigned char* start = static_cast<const unsigned char*>(text);
        Cursor c {start, start + length};
        SkipComments(c);
        if (!Expect(c, '{'))
            return E_FAIL;
        Value top;
        HRESULT hr = readObject(c, top, 1);
        if (FAILED(hr))
            return hr;
        out = std::move(top);
        return S_OK;
    }

private:
    HRESULT readObject(Cursor& c, Value& out, unsigned depth)
    {
        if (depth > kMaxDepth)
            return E_FAIL;
        Value object;
        HRESULT hr = builder_.makeObject(object);
        if (FAILED(hr))
            return hr;
        SkipComments(c);
        if (c.peek() == '}') {
            ++c.pos;
            out = std::move(object);
            return S_OK;
        }
        for (;;) {
            if (c.atEnd())
                return E_FAIL;
            SkipComments(c);
            const unsigned char* nameBegin;
            const unsigned char* nameEnd;
            bool escaped;
            hr = ScanString(c, &nameBegin, &nameEnd, &escaped);
            if (FAILED(hr))
                return hr;
            if (!Expect(c, ':'))
                return E_FAIL;
            Value member;
            hr = readValue(c, member, depth);
            if (FAILED(hr))
                return hr;
            // The scratch buffer is free again once the value is read.
            const char* name = reinterpret_cast<const char*>(nameBegin);
            size_t nameLength = static_cast<size_t>(nameEnd - nameBegin);
            if (escaped) {
                hr = DecodeString(nameBegin, nameEnd, scratch_);
                if (FAILED(hr))
                    return hr;
                name = reinterpret_cast<const char*>(scratch_.data());
                nameLength = scratch_.size();
            }
            hr = builder_.addMember(object, name, nameLength, std::move(member));
            if (FAILED(hr))
                return hr;
            SkipComments(c);
            int b = c.peek();
            if (b == '}') {
                ++c.pos;
                out = std::move(object);
                return S_OK;
            }
            if (b != ',')
                return E_FAIL;
            ++c.pos;
        }
    }

    HRESULT readArray(Cursor& c, Value& out, unsigned depth)
    {
        if (depth > kMaxDepth)
            return E_FAIL;
        Value array;
        HRESULT hr = builder_.makeArray(array);
        if (FAILED(hr))
            return hr;
        SkipComments(c);
        if (c.peek() == ']') {
            ++c.pos;
            out = std::move(array);
            return S_OK;
        }
        for (;;) {
            if (c.atEnd())
                return E_FAIL;
            Value item;
            hr = readValue(c, item, depth);
            if (FAILED(hr))
                return hr;
            hr = builder_.appendItem(array, std::move(item));
            if (FAILED(hr))
                return hr;
            if (!Expect(c, ','))
                break;
        }
        if (!Expect(c, ']'))
            return E_FAIL;
        out = std::move(array);
        return S_OK;
    }

    HRESULT readValue(Cursor& c, Value& out, unsigned depth)
    {
        SkipComments(c);
        switch (c.peek()) {
        case '"': {
            const unsigned char* begin;
            const unsigned char* end;
            bool escaped;
            HRESULT hr = ScanString(c, &begin, &end, &escaped);
            if (FAILED(hr))
                return hr;
            if (!escaped)
                return builder_.makeString(reinterpret_cast<const char*>(begin), static_cast<size_t>(end - begin), out);
            hr = DecodeString(begin, end, scratch_);
            if (FAILED(hr))
                return hr;
            return builder_.makeString(reinterpret_cast<const char*>(scratch_.data()), scratch_.size(), out);
        }
        case '-':
        case '+':
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': {
            int32_t number;
            HRESULT hr = ReadNumber(c, &number);
            if (FAILED(hr))
                return hr;
            return builder_.makeNumber(number, out);
        }
        case '[':
            ++c.pos;
            return readArray(c, out, depth + 1);
        case '{':
            ++c.pos;
            return readObject(c, out, depth + 1);
        default:
            break;
        }
        if (TakeWord(c, "true", 4))
            return builder_.makeBool(true, out);
        if (TakeWord(c, "false", 5))
            return builder_.makeBool(false, out);
        if (TakeWord(c, "null", 4))
            return builder_.makeNull(out);
        return E_FAIL;
    }

    Builder& builder_;
    ByteBuffer scratch_;
};

}  // namespace kestrin::base::json
