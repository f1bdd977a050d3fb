// The table "jsonapi" and the value classes, reached the way other modules
// reach them: module "zelkbase" loaded by name through the crypto library.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "zelk_alloc.h"
#include "zelk_json.h"
#include "zelk_module.h"

namespace {

class JsonApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ZELK_Initialize(), S_OK);
        ASSERT_EQ(ZELK_GetAPI("zelkbase", JSONAPI_NAME, &table_), S_OK);
        api_ = static_cast<JSONAPI_FUNCTION_TABLE*>(table_);
    }
    void TearDown() override
    {
        ZELK_ReleaseAPI(&table_);
        EXPECT_EQ(ZELK_Finalize(), S_OK);
    }

    IJsonObject* Parse(const std::string& text)
    {
        OctetString s {text.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()))};
        IJsonObject* o = nullptr;
        EXPECT_EQ(api_->json_parse(&s, &o), S_OK) << text;
        return o;
    }

    static std::string Dump(IJsonObject* o)
    {
        OctetString* out = nullptr;
        EXPECT_EQ(o->Dump(&out), S_OK);
        if (!out)
            return {};
        std::string s(reinterpret_cast<char*>(out->data), out->length);
        sec_free(out->data);
        sec_free(out);
        return s;
    }

    API_COMMON* table_ = nullptr;
    JSONAPI_FUNCTION_TABLE* api_ = nullptr;
};

TEST_F(JsonApi, Info)
{
    const char* name = nullptr;
    const char* module = nullptr;
    const char* description = nullptr;
    EXPECT_EQ(api_->get_info(&name, &module, &description), S_OK);
    EXPECT_STREQ(name, "jsonapi");
    EXPECT_STREQ(module, "zelkbase");
    EXPECT_STREQ(description, "");
    EXPECT_EQ(api_->get_info(nullptr, nullptr, nullptr), S_OK);
}

TEST_F(JsonApi, ArgumentsAndFailures)
{
    IJsonObject* o = reinterpret_cast<IJsonObject*>(0x1);
    EXPECT_EQ(api_->json_create(nullptr), E_INVALIDARG);
    EXPECT_EQ(api_->json_parse(nullptr, &o), E_INVALIDARG);
    std::string bad = "[1]";
    OctetString s {bad.size(), reinterpret_cast<unsigned char*>(bad.data())};
    EXPECT_EQ(api_->json_parse(&s, nullptr), E_INVALIDARG);
    EXPECT_EQ(api_->json_parse(&s, &o), E_FAIL);
    EXPECT_EQ(o, reinterpret_cast<IJsonObject*>(0x1));
}

TEST_F(JsonApi, ParsedTreeAnswersItsGetters)
{
    IJsonObject* o = Parse("// c\n{\"a\":1,\"a\":2,\"s\":\"x\\u00e9y\",\"t\":true,\"n\":null,\"o\":{\"k\":-5},"
                           "\"l\":[\"i\",3,[],{}],\"z\":\"a\\u0000b\"} tail");
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->getType(), JSON_TYPE_OBJECT);
    EXPECT_EQ(o->getMemberCount(), 7u);
    int n = 0;
    EXPECT_EQ(o->getMemberNumberValue("a", &n), S_OK);
    EXPECT_EQ(n, 1);
    EXPECT_STREQ(o->getMemberStringValueStatic("s"), "x\xC3\xA9y");
    char* copy = nullptr;
    ASSERT_EQ(o->getMemberStringValue("z", &copy), S_OK);
    EXPECT_STREQ(copy, "a");
    sec_free(copy);
    bool b = false;
    EXPECT_EQ(o->getMemberBoolValue("t", &b), S_OK);
    EXPECT_TRUE(b);
    EXPECT_EQ(o->getMemberType("n"), JSON_TYPE_NULL);
    EXPECT_EQ(o->getMemberType("missing"), JSON_TYPE_NONE);
    EXPECT_EQ(o->getMemberNumberValue("s", &n), E_FAIL);
    EXPECT_EQ(o->getMemberNumberValue("missing", &n), E_FAIL);
    EXPECT_EQ(o->getMemberStringValueStatic("a"), nullptr);
    EXPECT_EQ(o->getMemberBoolValue("a", &b), E_FAIL);
    ASSERT_EQ(o->getMemberName(1, &copy), S_OK);
    EXPECT_STREQ(copy, "s");
    sec_free(copy);
    EXPECT_EQ(o->getMemberName(7, &copy), E_FAIL);
    EXPECT_EQ(o->getMemberNameStatic(7), nullptr);

    IJsonObject* inner = nullptr;
    ASSERT_EQ(o->getMemberObjectValue("o", &inner), S_OK);
    EXPECT_EQ(inner->getMemberNumberValue("k", &n), S_OK);
    EXPECT_EQ(n, -5);
    inner->Release();
    IJsonArray* list = nullptr;
    EXPECT_EQ(o->getMemberObjectValue("l", &inner), E_NOINTERFACE);
    EXPECT_EQ(o->getMemberObjectValue("missing", &inner), E_FAIL);
    EXPECT_EQ(o->getMemberArrayValue("o", &list), E_NOINTERFACE);
    ASSERT_EQ(o->getMemberArrayValue("l", &list), S_OK);
    EXPECT_EQ(list->getType(), JSON_TYPE_ARRAY);
    EXPECT_EQ(list->getItemCount(), 4u);
    EXPECT_STREQ(list->getItemStringValueStatic(0), "i");
    EXPECT_EQ(list->getItemNumberValue(1, &n), S_OK);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(list->getItemType(2), JSON_TYPE_ARRAY);
    EXPECT_EQ(list->getItemType(3), JSON_TYPE_OBJECT);
    EXPECT_EQ(list->getItemType(4), JSON_TYPE_NONE);
    EXPECT_EQ(list->getItemNumberValue(9, &n), E_FAIL);
    ASSERT_EQ(list->getItemObjectValue(3, &inner), S_OK);
    inner->Release();
    EXPECT_EQ(list->getItemArrayValue(3, &list), E_NOINTERFACE);

    // Interfaces answer only their own identifier (and IUnknown).
    void* p = nullptr;
    EXPECT_EQ(list->QueryInterface(IID_IJsonObject, &p), E_NOINTERFACE);
    ASSERT_EQ(list->QueryInterface(IID_IUnknown, &p), S_OK);
    static_cast<IUnknown*>(p)->Release();
    list->Release();
    o->Release();
}

TEST_F(JsonApi, SettersAndExactLayout)
{
    IJsonObject* o = nullptr;
    ASSERT_EQ(api_->json_create(&o), S_OK);
    EXPECT_EQ(Dump(o), "{\n\n}\n");
    EXPECT_EQ(o->setMemberStringValue("k", "a/b"), S_OK);
    EXPECT_EQ(Dump(o), "{\n\"k\" : \"a\\/b\"\n}\n");
    EXPECT_EQ(o->setMemberNumberValue("a", 1), S_OK);
    EXPECT_EQ(o->setMemberBoolValue("b", false), S_OK);
    EXPECT_EQ(o->setMemberNullValue("c"), S_OK);
    EXPECT_EQ(o->setMemberStringValue("a", "t\tn\n"), S_OK);  // keeps its place
    EXPECT_EQ(o->setMemberStringValue(nullptr, "x"), E_FAIL);
    EXPECT_EQ(o->setMemberStringValue("x", nullptr), E_INVALIDARG);
    IJsonArray* list = nullptr;
    ASSERT_EQ(o->createMemberArrayValue("l", &list), S_OK);
    EXPECT_EQ(o->createMemberArrayValue(nullptr, &list), E_FAIL);
    EXPECT_EQ(list->setItemNumberValue(JSON_APPEND, 1), S_OK);
    EXPECT_EQ(list->setItemNumberValue(1, 2), S_OK);
    EXPECT_EQ(list->setItemNumberValue(0, 0), S_OK);
    EXPECT_EQ(list->setItemNumberValue(5, 9), E_FAIL);
    IJsonObject* inner = nullptr;
    ASSERT_EQ(list->createItemObjectValue(JSON_APPEND, &inner), S_OK);
    EXPECT_EQ(inner->setMemberBoolValue("d", true), S_OK);
    EXPECT_EQ(list->createItemObjectValue(7, &inner), E_FAIL);
    inner->Release();
    list->Release();
    EXPECT_EQ(Dump(o),
              "{\n\"k\" : \"a\\/b\",\n\"a\" : \"t\\tn\\n\",\n\"b\" : false,\n\"c\" : null,\n\"l\" : [\n0,\n2,\n{\n"
              "\"d\" : true\n}\n\n]\n\n}\n");
    o->Release();
}

TEST_F(JsonApi, LargeObjectsAndDeepNesting)
{
    std::string text = "{";
    for (int i = 0; i < 20000; ++i)
        text += (i ? ",\"m" : "\"m") + std::to_string(i) + "\":" + std::to_string(i);
    text += ",\"m7\":-1}";
    IJsonObject* o = Parse(text);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->getMemberCount(), 20000u);
    int n = 0;
    EXPECT_EQ(o->getMemberNumberValue("m7", &n), S_OK);
    EXPECT_EQ(n, 7);
    EXPECT_EQ(o->getMemberNumberValue("m19999", &n), S_OK);
    EXPECT_EQ(n, 19999);
    EXPECT_EQ(o->setMemberNumberValue("m5", 55), S_OK);
    EXPECT_EQ(o->getMemberNumberValue("m5", &n), S_OK);
    EXPECT_EQ(n, 55);
    EXPECT_STREQ(o->getMemberNameStatic(5), "m5");
    o->Release();

    std::string deep = "{\"a\":" + std::string(100000, '[');
    OctetString s {deep.size(), reinterpret_cast<unsigned char*>(deep.data())};
    IJsonObject* none = nullptr;
    EXPECT_EQ(api_->json_parse(&s, &none), E_FAIL);
}

// A parsed tree is stored compactly; it must behave as one built by the
// setters: members added, replaced and read afterwards, names decoded from
// escapes, and members that outlive the document they came from.
TEST_F(JsonApi, ParsedTreesChangeAndOutliveTheirDocument)
{
    std::string text = "{\"a\\u0062\":{\"x\":1},\"list\":[\"s\",2,[]],\"e\":{},";
    for (int i = 0; i < 15; ++i)
        text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    text += "\"k3\":-3,\"\\u0041\":\"first\",\"A\":\"second\"}";
    IJsonObject* o = Parse(text);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->getMemberCount(), 19u);
    EXPECT_STREQ(o->getMemberNameStatic(0), "ab");
    EXPECT_STREQ(o->getMemberStringValueStatic("A"), "first");
    int n = 0;
    ASSERT_EQ(o->getMemberNumberValue("k3", &n), S_OK);
    EXPECT_EQ(n, 3);

    IJsonObject* inner = nullptr;
    ASSERT_EQ(o->getMemberObjectValue("ab", &inner), S_OK);
    IJsonArray* list = nullptr;
    ASSERT_EQ(o->getMemberArrayValue("list", &list), S_OK);
    IJsonObject* empty = nullptr;
    ASSERT_EQ(o->getMemberObjectValue("e", &empty), S_OK);

    // Changes to the parsed object: replace in place, then add past its size.
    ASSERT_EQ(o->setMemberNumberValue("k0", 100), S_OK);
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(o->setMemberStringValue(("new" + std::to_string(i)).c_str(), "v"), S_OK);
    EXPECT_EQ(o->getMemberCount(), 59u);
    ASSERT_EQ(o->getMemberNumberValue("k0", &n), S_OK);
    EXPECT_EQ(n, 100);
    EXPECT_STREQ(o->getMemberStringValueStatic("new39"), "v");
    EXPECT_STREQ(o->getMemberNameStatic(18), "A");
    ASSERT_EQ(list->setItemNumberValue(1, 20), S_OK);
    ASSERT_EQ(list->setItemBoolValue(static_cast<unsigned long>(-1), true), S_OK);
    ASSERT_EQ(empty->setMemberNullValue("z"), S_OK);
    o->Release();

    // The document is gone; the members taken out of it live on.
    ASSERT_EQ(inner->getMemberNumberValue("x", &n), S_OK);
    EXPECT_EQ(n, 1);
    ASSERT_EQ(inner->setMemberNumberValue("y", 2), S_OK);
    EXPECT_EQ(Dump(inner), "{\n\"x\" : 1,\n\"y\" : 2\n}\n");
    EXPECT_EQ(list->getItemCount(), 4u);
    EXPECT_STREQ(list->getItemStringValueStatic(0), "s");
    ASSERT_EQ(list->getItemNumberValue(1, &n), S_OK);
    EXPECT_EQ(n, 20);
    EXPECT_EQ(list->getItemType(2), JSON_TYPE_ARRAY);
    EXPECT_EQ(empty->getMemberType("z"), JSON_TYPE_NULL);
    inner->Release();
    empty->Release();
    list->Release();
}

// The members of one document may be let go on any thread, in any order,
// and documents parsed one after another reuse its storage.
TEST_F(JsonApi, MembersOfOneDocumentGoOnAnyThread)
{
    std::string text = "{\"items\":[";
    for (int i = 0; i < 4000; ++i)
        text += std::string(i ? "," : "") + "{\"n\":" + std::to_string(i) + ",\"s\":\"" + std::string(40, 'x') + "\"}";
    text += "]}";
    for (int round = 0; round < 3; ++round) {
        IJsonObject* o = Parse(text);
        ASSERT_NE(o, nullptr);
        IJsonArray* items = nullptr;
        ASSERT_EQ(o->getMemberArrayValue("items", &items), S_OK);
        std::vector<IJsonObject*> held(8, nullptr);
        for (size_t i = 0; i < held.size(); ++i)
            ASSERT_EQ(items->getItemObjectValue(i * 500, &held[i]), S_OK);
        o->Release();
        items->Release();
        std::vector<std::thread> threads;
        for (size_t i = 0; i < held.size(); ++i) {
            threads.emplace_back([&held, i] {
                int n = -1;
                EXPECT_EQ(held[i]->getMemberNumberValue("n", &n), S_OK);
                EXPECT_EQ(n, static_cast<int>(i * 500));
                held[i]->Release();
            });
        }
        for (std::thread& t : threads)
            t.join();
    }
}

// Python's json module reads what we write and writes what we read.
TEST_F(JsonApi, PythonPeerAgrees)
{
    if (access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "python3 not installed";
    IJsonObject* o = Parse("{\"name\":\"caf\\u00e9 \\\"x\\\" / \\\\ \\t \\u0001\",\"n\":-2147483648,"
                           "\"list\":[true,null,{\"k\":[]}]}");
    ASSERT_NE(o, nullptr);
    std::string written = Dump(o);
    o->Release();
    char path[] = "/tmp/kestrin-json-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, written.data(), written.size()), static_cast<ssize_t>(written.size()));
    close(fd);
    std::string cmd = std::string("python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); "
                                  "assert d == {\"name\": \"caf\\u00e9 \\\"x\\\" / \\\\ \\t \\x01\", "
                                  "\"n\": -2147483648, \"list\": [True, None, {\"k\": []}]}, d; "
                                  "print(json.dumps({\"back\": d, \"u\": \"\\u20ac\"}))' ")
                      + path;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string reply;
    char buf[512];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, p)) > 0)
        reply.append(buf, got);
    EXPECT_EQ(pclose(p), 0);
    unlink(path);
    IJsonObject* back = Parse(reply);
    ASSERT_NE(back, nullptr);
    EXPECT_STREQ(back->getMemberStringValueStatic("u"), "\xE2\x82\xAC");
    IJsonObject* inner = nullptr;
    ASSERT_EQ(back->getMemberObjectValue("back", &inner), S_OK);
    EXPECT_STREQ(inner->getMemberStringValueStatic("name"), "caf\xC3\xA9 \"x\" / \\ \t \x01");
    inner->Release();
    back->Release();
}

}  // namespace
