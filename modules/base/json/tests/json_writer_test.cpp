#include <gtest/gtest.h>

#include <string>

#include "json_test_tree.h"

namespace kestrin::base::json::testing {
namespace {

std::string Rewrite(const std::string& text)
{
    std::unique_ptr<Node> tree;
    EXPECT_EQ(Parse(text, tree), S_OK) << text;
    return tree ? Dump(*tree) : std::string();
}

TEST(JsonWriter, ExactLayout)
{
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"{}", "{\n\n}\n"},
        {"{\"k\":\"a/b\"}", "{\n\"k\" : \"a\\/b\"\n}\n"},
        {"{\"a\":1,\"b\":true,\"c\":null,\"d\":false}",
         "{\n\"a\" : 1,\n\"b\" : true,\n\"c\" : null,\n\"d\" : false\n}\n"},
        {"{\"a\":{\"b\":-7},\"c\":[1,[]]}", "{\n\"a\" : {\n\"b\" : -7\n}\n,\n\"c\" : [\n1,\n[\n\n]\n\n]\n\n}\n"},
        {"{\"s\":\"\\\"\\\\\\b\\f\\n\\r\\t\\u001f\\u0001\"}",
         "{\n\"s\" : \"\\\"\\\\\\b\\f\\n\\r\\t\\u001f\\u0001\"\n}\n"},
        {"{\"s\":\"a\tb\nc\"}", "{\n\"s\" : \"a\\tb\\nc\"\n}\n"},
        {"{\"s\":\"\xC3\xA9\"}", "{\n\"s\" : \"\xC3\xA9\"\n}\n"},
        {"{\"s\":\"\\u007f\"}", "{\n\"s\" : \"\\u007f\"\n}\n"},
        {"{\"n\\/m\":1}", "{\n\"n\\/m\" : 1\n}\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Rewrite(c.in), c.out) << c.in;
}

// A sink that records the size of every write, to show the buffer bound.
struct CountingSink : JsonSink {
    std::string out;
    size_t largest = 0;
    HRESULT write(const char* d, size_t n) override
    {
        out.append(d, n);
        largest = n > largest ? n : largest;
        return S_OK;
    }
};

TEST(JsonWriter, EscapesAcrossTheBufferEdgeAreWhole)
{
    // Escapes of every width placed at every offset around the 1,024-byte edge.
    for (size_t pad = 1000; pad < JsonWriter::kBufferSize; ++pad) {
        Node n;
        n.kind = Node::String;
        n.text = std::string(pad, 'x') + "\x01\"\x1f" + std::string(pad, 'y') + "\x02";
        CountingSink sink;
        JsonWriter w(sink);
        ASSERT_EQ(DumpNode(n, w), S_OK);
        ASSERT_EQ(w.flush(), S_OK);
        EXPECT_LE(sink.largest, JsonWriter::kBufferSize);
        EXPECT_EQ(sink.out, "\"" + std::string(pad, 'x') + "\\u0001\\\"\\u001f" + std::string(pad, 'y') + "\\u0002\"");
    }
}

TEST(JsonWriter, SinkFailureIsKept)
{
    struct FailingSink : JsonSink {
        HRESULT write(const char*, size_t) override { return E_OUTOFMEMORY; }
    } sink;
    JsonWriter w(sink);
    EXPECT_EQ(w.raw(std::string(2000, 'a').data(), 2000), E_OUTOFMEMORY);
    EXPECT_EQ(w.null(), E_OUTOFMEMORY);
    EXPECT_EQ(w.flush(), E_OUTOFMEMORY);
}

TEST(JsonWriter, WrittenTextReadsBackUnchanged)
{
    const std::string text =
        "{\"a\":[1,-2,\"x\\u0000y\\u007f\\u00e9\",{\"b\":null,\"c\":[[]]}],\"k\\n\":true,\"s\":\"\\t\\/\"}";
    std::string first = Rewrite(text);
    EXPECT_EQ(Rewrite(first), first);
}

}  // namespace
}  // namespace kestrin::base::json::testing
