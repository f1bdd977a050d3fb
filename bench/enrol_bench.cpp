// The enrolment client's key pair and certificate request, and its reading of
// a 1 MiB protocol 1.0 reply, beside bare OpenSSL (RSA key generation and
// X509_REQ_sign with SHA-1) and bare libxml2 (xmlParseDoc) on the same work.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <string>

#include "kestrin.h"
#include "kestrin_xml.h"
#include "zelk_module.h"

namespace {

using kestrin::enrol::CKestrin;
using kestrin::enrol::CKestrinXML;

// The runtime, started once for the program in temporary folders.
bool StartRuntime()
{
    static const bool started = [] {
        char pattern[] = "/tmp/kestrin-enrol-bench-XXXXXX";
        const char* home = mkdtemp(pattern);
        if (home == nullptr)
            return false;
        setenv("XDG_CONFIG_HOME", home, 1);
        setenv("XDG_DATA_HOME", home, 1);
        return ZELK_Initialize() == S_OK;
    }();
    return started;
}

// A reply of exactly 1 MiB: a certificate reply whose message fills the rest.
std::string Reply()
{
    const std::string head = "<ZaravAduvIzer><Control><Version>Quillmoss 2.0.0</Version>"
                             "<ActionRequest>AUTH_RESULT_ACTION</ActionRequest></Control><Content><Data>"
                             "<Status>ACM_OK</Status><Message>";
    const std::string tail = "</Message></Data></Content></ZaravAduvIzer>";
    std::string body;
    while (body.size() < 0x100000 - head.size() - tail.size())
        body += "Welcome to the enrolment service; your certificate follows. ";
    body.resize(0x100000 - head.size() - tail.size());
    return head + body + tail;
}

void BM_Kestrin_CreateKey2048AndPKCS10(benchmark::State& state)
{
    if (!StartRuntime()) {
        state.SkipWithError("runtime did not start");
        return;
    }
    for (auto _ : state) {
        IKestrin* client = nullptr;
        CFactoryImpl<CKestrin>::New(IID_IKestrin, reinterpret_cast<void**>(&client));
        if (client->CreateKey(2048) != S_OK || client->CreatePKCS10(nullptr, nullptr) != S_OK)
            state.SkipWithError("request failed");
        client->Release();
    }
}
BENCHMARK(BM_Kestrin_CreateKey2048AndPKCS10)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_OpenSSL_Keygen2048AndReqSign(benchmark::State& state)
{
    for (auto _ : state) {
        EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
        X509_REQ* req = X509_REQ_new();
        X509_NAME* name = X509_REQ_get_subject_name(req);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("dummy"), -1, -1,
                                   0);
        X509_REQ_set_pubkey(req, key);
        if (X509_REQ_sign(req, key, EVP_sha1()) <= 0)
            state.SkipWithError("sign failed");
        unsigned char* der = nullptr;
        benchmark::DoNotOptimize(i2d_X509_REQ(req, &der));
        OPENSSL_free(der);
        X509_REQ_free(req);
        EVP_PKEY_free(key);
    }
}
BENCHMARK(BM_OpenSSL_Keygen2048AndReqSign)->Unit(benchmark::kMillisecond)->Iterations(20);

void BM_Kestrin_ParseXML1MiB(benchmark::State& state)
{
    if (!StartRuntime()) {
        state.SkipWithError("runtime did not start");
        return;
    }
    const std::string reply = Reply();
    CKestrinXML xml;
    for (auto _ : state) {
        if (xml.ParseXML(reply.c_str()) != S_OK || xml.GetActionRequest() != 2)
            state.SkipWithError("parse failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
}
BENCHMARK(BM_Kestrin_ParseXML1MiB)->Unit(benchmark::kMillisecond);

void BM_libxml2_xmlParseDoc1MiB(benchmark::State& state)
{
    const std::string reply = Reply();
    for (auto _ : state) {
        xmlDocPtr doc = xmlParseDoc(reinterpret_cast<const xmlChar*>(reply.c_str()));
        if (doc == nullptr)
            state.SkipWithError("parse failed");
        xmlFreeDoc(doc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
}
BENCHMARK(BM_libxml2_xmlParseDoc1MiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
