// A plain value tree for exercising the reader and writer on their own (tests,
// fuzzing, benchmarks): the builder of the reader and a dump through the writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "json/json_reader.h"
#include "json/json_writer.h"

namespace kestrin::base::json::testing {

struct Node {
    enum Kind { Null, Number, String, Array, Object, Bool } kind = Null;
    int32_t number = 0;
    bool flag = false;
    std::string text;
    std::vector<std::pair<std::string, std::unique_ptr<Node>>> children;  // names empty in arrays
};

struct TreeBuilder {
    using Value = std::unique_ptr<Node>;

    static Value make(Node::Kind k)
    {
        auto n = std::make_unique<Node>();
        n->kind = k;
        return n;
    }
    HRESULT makeObject(Value& v)
    {
        v = make(Node::Object);
        return S_OK;
    }
    HRESULT makeArray(Value& v)
    {
        v = make(Node::Array);
        return S_OK;
    }
    HRESULT makeNull(Value& v)
    {
        v = make(Node::Null);
        return S_OK;
    }
    HRESULT makeBool(bool b, Value& v)
    {
        v = make(Node::Bool);
        v->flag = b;
        return S_OK;
    }
    HRESULT makeNumber(int32_t n, Value& v)
    {
        v = make(Node::Number);
        v->number = n;
        return S_OK;
    }
    HRESULT makeString(const char* s, size_t n, Value& v)
    {
        v = make(Node::String);
        v->text.assign(s, n);
        return S_OK;
    }
    HRESULT addMember(Value& object, const char* name, size_t n, Value&& v)
    {
        std::string key(name, n);
        for (auto& c : object->children)
            if (c.first == key)
                return S_OK;
        object->children.emplace_back(std::move(key), std::move(v));
        return S_OK;
    }
    HRESULT appendItem(Value& array, Value&& v)
    {
        array->children.emplace_back(std::string(), std::move(v));
        return S_OK;
    }
};

inline HRESULT Parse(const std::string& text, std::unique_ptr<Node>& out)
{
    TreeBuilder b;
    JsonReader<TreeBuilder> reader(b);
    return reader.read(text.data(), text.size(), out);
}

struct StringSink : JsonSink {
    std::string out;
    HRESULT write(const char* d, size_t n) override
    {
        out.append(d, n);
        return S_OK;
    }
};

inline HRESULT DumpNode(const Node& n, JsonWriter& w)
{
    switch (n.kind) {
    case Node::Null:
        return w.null();
    case Node::Bool:
        return w.boolean(n.flag);
    case Node::Number:
        return w.number(n.number);
    case Node::String:
        return w.string(n.text.data(), n.text.size());
    case Node::Object: {
        HRESULT hr = w.beginObject();
        for (size_t i = 0; i < n.children.size() && SUCCEEDED(hr); ++i) {
            hr = w.memberName(i, n.children[i].first.data(), n.children[i].first.size());
            if (SUCCEEDED(hr))
                hr = DumpNode(*n.children[i].second, w);
        }
        return SUCCEEDED(hr) ? w.endObject() : hr;
    }
    case Node::Array: {
        HRESULT hr = w.beginArray();
        for (size_t i = 0; i < n.children.size() && SUCCEEDED(hr); ++i) {
            hr = w.itemSeparator(i);
            if (SUCCEEDED(hr))
                hr = DumpNode(*n.children[i].second, w);
        }
        return SUCCEEDED(hr) ? w.endArray() : hr;
    }
    }
    return E_FAIL;
}

inline std::string Dump(const Node& n)
{
    StringSink sink;
    JsonWriter w(sink);
    DumpNode(n, w);
    w.flush();
    return sink.out;
}

// A compact one-line form for tables of expected trees: {a:1,b:["x",null]}.
inline std::string Compact(const Node& n)
{
    switch (n.kind) {
    case Node::Null:
        return "null";
    case Node::Bool:
        return n.flag ? "true" : "false";
    case Node::Number:
        return std::to_string(n.number);
    case Node::String:
        return "\"" + n.text + "\"";
    case Node::Object:
    case Node::Array: {
        std::string s(1, n.kind == Node::Object ? '{' : '[');
        for (size_t i = 0; i < n.children.size(); ++i) {
            if (i)
                s += ",";
            if (n.kind == Node::Object)
                s += n.children[i].first + ":";
            s += Compact(*n.children[i].second);
        }
        return s + (n.kind == Node::Object ? '}' : ']');
    }
    }
    return "?";
}

}  // namespace kestrin::base::json::testing
