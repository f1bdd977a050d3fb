// Parse and write of an API-sized request and of a large document of
// certificate-like objects, beside RapidJSON and nlohmann::json on the same text:
// the module's own values through the table "jsonapi" (reference-counted
// objects of the framework), the reader and writer alone over a plain tree,
// and the reader with a builder that keeps nothing.
#include <benchmark/benchmark.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "json_test_tree.h"
#include "ratio_reporter.h"
#include "zelk_alloc.h"
#include "zelk_json.h"
#include "zelk_module.h"

using namespace kestrin::base::json::testing;

namespace {

std::string SmallRequest()
{
    return R"({"requestId":"4f1c2a9e-5b7d-4e0a-9c3f-2d8b6a1e7f90","method":"mzt/sign","profileId":"profile-0001",)"
           R"("origin":"https://portal.example.com","data":"MIIBszCCAVmgAwIBAgIUFq3r0a9Kx2m8yJ6pTQeXb1cN4wYwCgYIKoZIzj0EAwIw",)"
           R"("hashAlgorithm":"SHA256","format":"PKCS7","detached":true,"timeout":30000,)"
           R"("options":{"includeChain":true,"includeSigningTime":false,"flags":7},)"
           R"("recipients":["user1@example.com","user2@example.com"],)"
           R"("client":{"name":"Kestrin Web","version":"3.2.1","platform":"linux","language":"en-GB",)"
           R"("userAgent":"Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36"}})";
}

std::string LargeDocument()
{
    std::string s = "{\"certificates\":[";
    char item[1024];
    for (int i = 0; s.size() < 1000000; ++i) {
        std::snprintf(
            item, sizeof item,
            "%s{\"subject\":\"CN=User %06d,OU=Engineering,O=Example Corp,C=GB\","
            "\"issuer\":\"CN=Example Issuing CA %d,O=Example Corp,C=GB\",\"serial\":%d,"
            "\"notBefore\":1700000000,\"notAfter\":1731536000,\"keyUsage\":[\"digitalSignature\","
            "\"keyEncipherment\"],\"extendedKeyUsage\":[\"clientAuth\",\"emailProtection\"],"
            "\"fingerprint\":\"3f:9a:%02x:0c:55:e1:7b:aa:19:c4:d2:8e:60:f3:01:b7:4d:2a:9c:%02x\","
            "\"selfSigned\":false,\"token\":null,"
            "\"der\":\"MIIDdzCCAl+gAwIBAgIEAgAAuTANBgkqhkiG9w0BAQUFADBaMQswCQYDVQQGEwJJRTESMBAGA1UEChMJQmFsdGltb3Jl"
            "MRMwEQYDVQQLEwpDeWJlclRydXN0MSIwIAYDVQQDExlCYWx0aW1vcmUgQ3liZXJUcnVzdCBSb290MB4XDTAwMDUxMjE4NDYw\"}",
            i ? "," : "", i, i % 4, 100000 + i, i & 255, (i * 7) & 255);
        s += item;
    }
    return s + "]}";
}

const std::string& Input(int which)
{
    static const std::string small = SmallRequest();
    static const std::string large = LargeDocument();
    return which ? large : small;
}

void SetLabel(benchmark::State& state, const std::string& text)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    state.SetLabel(std::to_string(text.size()) + " bytes");
}

void Kestrin_Parse(benchmark::State& state)
{
    const std::string& text = Input(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::unique_ptr<Node> tree;
        if (FAILED(Parse(text, tree)))
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(tree);
    }
    SetLabel(state, text);
}

// The reader alone: a builder that keeps nothing.
struct NullBuilder {
    using Value = int;
    HRESULT makeObject(Value& v) { return v = 0, S_OK; }
    HRESULT makeArray(Value& v) { return v = 0, S_OK; }
    HRESULT makeNull(Value& v) { return v = 0, S_OK; }
    HRESULT makeBool(bool, Value& v) { return v = 0, S_OK; }
    HRESULT makeNumber(int32_t, Value& v) { return v = 0, S_OK; }
    HRESULT makeString(const char*, size_t, Value& v) { return v = 0, S_OK; }
    HRESULT addMember(Value&, const char*, size_t, Value&&) { return S_OK; }
    HRESULT appendItem(Value&, Value&&) { return S_OK; }
};

void Kestrin_ReadOnly(benchmark::State& state)
{
    const std::string& text = Input(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        NullBuilder b;
        kestrin::base::json::JsonReader<NullBuilder> reader(b);
        int top = 0;
        if (FAILED(reader.read(text.data(), text.size(), top)))
            state.SkipWithError("parse failed");
    }
    SetLabel(state, text);
}

// Output gathered the way the module gathers it: one buffer grown by realloc.
struct BufferSink : kestrin::base::json::JsonSink {
    kestrin::base::ByteBuffer out;
    HRESULT write(const char* d, size_t n) override { return out.append(d, n); }
};

void Kestrin_Write(benchmark::State& state)
{
    const std::string& text = Input(static_cast<int>(state.range(0)));
    std::unique_ptr<Node> tree;
    Parse(text, tree);
    for (auto _ : state) {
        BufferSink sink;
        kestrin::base::json::JsonWriter w(sink);
        DumpNode(*tree, w);
        w.flush();
        benchmark::DoNotOptimize(sink.out.data());
    }
    SetLabel(state, text);
}

// libzelkbase loaded by module name through the crypto library, as every
// deliverable reaches it.
struct Module {
    Module()
    {
        if (ZELK_Initialize() != S_OK)
            return;
        started = true;
        API_COMMON* table = nullptr;
        if (ZELK_GetAPI("zelkbase", JSONAPI_NAME, &table) == S_OK)
            api = ZELK_ApiCast<JSONAPI_FUNCTION_TABLE>(table);
    }
    ~Module()
    {
        if (!started)
            return;
        if (api) {
            API_COMMON* table = api;
            ZELK_ReleaseAPI(&table);
        }
        ZELK_Finalize();
    }
    bool started = false;
    JSONAPI_FUNCTION_TABLE* api = nullptr;
};

JSONAPI_FUNCTION_TABLE* JsonApi()
{
    static Module module;
    return module.api;
}

void Module_Parse(benchmark::State& state)
{
    JSONAPI_FUNCTION_TABLE* api = JsonApi();
    if (!api)
        return state.SkipWithError("jsonapi not bound");
    const std::string& text = Input(static_cast<int>(state.range(0)));
    OctetString bytes {text.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()))};
    for (auto _ : state) {
        IJsonObject* tree = nullptr;
        if (api->json_parse(&bytes, &tree) != S_OK)
            return state.SkipWithError("parse failed");
        tree->Release();
    }
    SetLabel(state, text);
}

void Module_Write(benchmark::State& state)
{
    JSONAPI_FUNCTION_TABLE* api = JsonApi();
    if (!api)
        return state.SkipWithError("jsonapi not bound");
    const std::string& text = Input(static_cast<int>(state.range(0)));
    OctetString bytes {text.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(text.data()))};
    IJsonObject* tree = nullptr;
    if (api->json_parse(&bytes, &tree) != S_OK)
        return state.SkipWithError("parse failed");
    for (auto _ : state) {
        OctetString* out = nullptr;
        if (tree->Dump(&out) != S_OK) {
            state.SkipWithError("dump failed");
            break;
        }
        sec_free(out->data);
        sec_free(out);
    }
    tree->Release();
    SetLabel(state, text);
}

void RapidJSON_Parse(benchmark::State& state)
{
    const std::string& text = Input(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse(text.data(), text.size());
        if (d.HasParseError())
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(d);
    }
    SetLabel(state, text);
}

void RapidJSON_Write(benchmark::State& state)
{
    const std::string& text = Input(static_cast<int>(state.range(0)));
    rapidjson::Document d;
    d.Parse(text.data(), text.size());
    for (auto _ : state) {
        rapidjson::StringBuffer b;
        rapidjson::Writer<rapidjson::StringBuffer> w(b);
        d.Accept(w);
        benchmark::DoNotOptimize(b.GetString());
    }
    SetLabel(state, text);
}

void Nlohmann_Parse(benchmark::State& state)
{
    const std::string& text = Input(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(nlohmann::json::parse(text));
    SetLabel(state, text);
}

void Nlohmann_Write(benchmark::State& state)
{
    const std::string& text = Input(static_cast<int>(state.range(0)));
    nlohmann::json j = nlohmann::json::parse(text);
    for (auto _ : state)
        benchmark::DoNotOptimize(j.dump());
    SetLabel(state, text);
}

}  // namespace

// Argument 0: the small API request; 1: the large document.
BENCHMARK(Module_Parse)->Arg(0)->Arg(1);
BENCHMARK(Kestrin_ReadOnly)->Arg(0)->Arg(1);
BENCHMARK(Kestrin_Parse)->Arg(0)->Arg(1);
BENCHMARK(RapidJSON_Parse)->Arg(0)->Arg(1);
BENCHMARK(Nlohmann_Parse)->Arg(0)->Arg(1);
BENCHMARK(Module_Write)->Arg(0)->Arg(1);
BENCHMARK(Kestrin_Write)->Arg(0)->Arg(1);
BENCHMARK(RapidJSON_Write)->Arg(0)->Arg(1);
BENCHMARK(Nlohmann_Write)->Arg(0)->Arg(1);

// The module's values over RapidJSON's DOM, each operation at both sizes; with
// --benchmark_repetitions also the ratio of the medians, steadier on a busy machine.
std::vector<kestrin::bench::RatioPair> ModuleOverRapidJson()
{
    struct Case {
        const char* label;
        const char* name;
    };
    const Case cases[] = {{"parse 609-byte request", "Parse/0"},
                          {"parse 1 MB document", "Parse/1"},
                          {"write 609-byte request", "Write/0"},
                          {"write 1 MB document", "Write/1"}};
    std::vector<kestrin::bench::RatioPair> pairs;
    for (const Case& c : cases) {
        std::string ours = std::string("Module_") + c.name;
        std::string peer = std::string("RapidJSON_") + c.name;
        pairs.push_back({std::string(c.label) + " (module / RapidJSON)", ours, peer});
        pairs.push_back({std::string(c.label) + " (module / RapidJSON, medians)", ours + "_median", peer + "_median"});
    }
    return pairs;
}

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter(ModuleOverRapidJson());
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
