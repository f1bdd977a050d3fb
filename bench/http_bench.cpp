// Parsing of typical browser requests, whole and as they arrive in pieces.
#include <benchmark/benchmark.h>

#include <string>

#include "http/http_request_parser.h"

using kestrin::base::http::RequestParser;

namespace {

const std::string kGet =
    "GET /kvc3/api/status?profileid=profile-0001&lang=en HTTP/1.1\r\n"
    "Host: 127.0.0.1:18443\r\n"
    "Connection: keep-alive\r\n"
    "sec-ch-ua: \"Chromium\";v=\"120\", \"Not?A_Brand\";v=\"8\"\r\n"
    "Accept: application/json, text/plain, */*\r\n"
    "sec-ch-ua-mobile: ?0\r\n"
    "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0.0.0 "
    "Safari/537.36\r\n"
    "sec-ch-ua-platform: \"Linux\"\r\n"
    "Origin: https://portal.example.com\r\n"
    "Sec-Fetch-Site: cross-site\r\n"
    "Sec-Fetch-Mode: cors\r\n"
    "Sec-Fetch-Dest: empty\r\n"
    "Referer: https://portal.example.com/enrol/start\r\n"
    "Accept-Encoding: gzip, deflate, br\r\n"
    "Accept-Language: en-GB,en;q=0.9\r\n\r\n";

std::string Post()
{
    std::string body = "{\"method\":\"mzt/sign\",\"data\":\"" + std::string(400, 'A') + "\",\"format\":\"PKCS7\"}";
    return "POST /mzt/sign HTTP/1.1\r\nHost: 127.0.0.1:18443\r\nContent-Type: application/json\r\n"
           "Origin: https://portal.example.com\r\nContent-Length: "
           + std::to_string(body.size()) + "\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) Firefox/121.0\r\n\r\n"
           + body;
}

void Parse(benchmark::State& state, const std::string& request, size_t chunk)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(request.data());
    for (auto _ : state) {
        RequestParser p;
        HRESULT hr = S_FALSE;
        for (size_t pos = 0; pos < request.size() && hr == S_FALSE; pos += chunk)
            hr = p.parse(bytes + pos, std::min(chunk, request.size() - pos));
        if (hr != S_OK)
            state.SkipWithError("parse failed");
        benchmark::DoNotOptimize(p.path());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * request.size()));
}

void Http_BrowserGet(benchmark::State& state)
{
    Parse(state, kGet, static_cast<size_t>(state.range(0)));
}
void Http_BrowserPost(benchmark::State& state)
{
    static const std::string post = Post();
    Parse(state, post, static_cast<size_t>(state.range(0)));
}

}  // namespace

// Argument: bytes per call (the whole request, or TLS-record-like pieces).
BENCHMARK(Http_BrowserGet)->Arg(1 << 20)->Arg(128)->Arg(16);
BENCHMARK(Http_BrowserPost)->Arg(1 << 20)->Arg(128)->Arg(16);

BENCHMARK_MAIN();
