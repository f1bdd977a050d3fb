// The service PSE's certificate choice over 1,000 token certificate infos
// with the filter chain token URI (empty), key usage 16, root issuers and
// subject: getOwnCertificate and searchCertificate (by subject), beside a
// loop of OpenSSL's X509_NAME_cmp over the same names in the same run. The
// ratios (ours / OpenSSL) close the output.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "fakes/fake_token_calls.h"
#include "qev_attributes.h"
#include "ratio_reporter.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelkpse.h"

namespace {

using kestrin::service::test::FakeTokenEntry;
using kestrin::service::test::FakeTokens;
using kestrin::service::test::TokenCalls;
using ZELK::PSESVC::ZELKPSE;

constexpr int kInfos = 1000;

const SEC_TYPE_TABLE* Type(unsigned int index)
{
    return SEC_TypeTable(fptr__common_types, index);
}

X509_NAME* Name(const std::string& cn)
{
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Kestrin Bench"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    return name;
}

// A certificate of `subject` by `issuer`, signed with `key`; half of them for
// signatures (digitalSignature), half for encryption.
X509* MakeCertificate(X509_NAME* subject, X509_NAME* issuer, EVP_PKEY* key, int number, bool signing)
{
    X509* x509 = X509_new();
    X509_set_version(x509, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), number);
    X509_set_subject_name(x509, subject);
    X509_set_issuer_name(x509, issuer);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 3600);
    X509_set_pubkey(x509, key);
    X509V3_CTX context;
    X509V3_set_ctx(&context, x509, x509, nullptr, nullptr, 0);
    X509_EXTENSION* usage =
        X509V3_EXT_conf_nid(nullptr, &context, NID_key_usage, signing ? "digitalSignature" : "keyEncipherment");
    X509_add_ext(x509, usage, -1);
    X509_EXTENSION_free(usage);
    X509_sign(x509, key, EVP_sha256());
    return x509;
}

Certificate* Decode(X509* x509)
{
    unsigned char* der = nullptr;
    int length = i2d_X509(x509, &der);
    OctetString bytes {static_cast<uint64_t>(length), der};
    void* certificate = nullptr;
    Type(SEC_TYPE_Certificate)->decode(&bytes, &certificate);
    OPENSSL_free(der);
    return static_cast<Certificate*>(certificate);
}

struct Fixture {
    Fixture()
    {
        if (ZELK_Initialize() < 0) {
            std::fprintf(stderr, "the runtime cannot start\n");
            std::exit(1);
        }
        EVP_PKEY* key = EVP_EC_gen("P-256");
        rootName = Name("Bench Root");
        root = MakeCertificate(rootName, rootName, key, 1, false);
        Certificate* rootCertificate = Decode(root);
        for (int i = 0; i < kInfos; ++i) {
            X509_NAME* subject = Name("User " + std::to_string(i));
            X509* leaf = MakeCertificate(subject, rootName, key, 1000 + i, i % 2 == 0);
            subjects.push_back(subject);
            leaves.push_back(leaf);
            Certificate* certificate = Decode(leaf);
            std::string token = "tok:" + std::to_string(i);
            PersonalCertificateInfo record {};
            record.tokenName = token.data();
            record.keyId = const_cast<char*>("key");
            record.certificate = certificate;
            record.pathEnd = rootCertificate;
            void* info = nullptr;
            Type(SEC_TYPE_PersonalCertificateInfo)->copy(&record, &info);
            certificate->Release();
            FakeTokens::Add(FakeTokenEntry {token, {static_cast<PersonalCertificateInfo*>(info)}});
        }
        rootCertificate->Release();
        EVP_PKEY_free(key);

        // The subject asked for is the last one's, so every info is compared.
        const auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(Type(SEC_TYPE_DName));
        names->from_text("CN=User 998, O=Kestrin Bench", &wanted);
        names->from_text("CN=Bench Root, O=Kestrin Bench", &rootDName);
        roots = {rootDName, nullptr};
        uri[0] = 0;
        usage = 16;
        filter[0] = {SEC_ATTR_TOKEN_URI, uri, 0, 0, 0, nullptr, &filter[1]};
        filter[1] = {SEC_ATTR_KEY_USAGE, &usage, 0, 0, 0, nullptr, &filter[2]};
        filter[2] = {SEC_ATTR_ROOT_ISSUERS, &roots, 0, 0, 0, nullptr, &filter[3]};
        filter[3] = {SEC_ATTR_SUBJECT_NAME, wanted, 0, 0, 0, nullptr, nullptr};
        search = {SEC_ATTR_SUBJECT_NAME, wanted, 0, 0, 0, nullptr, nullptr};
        CComObject<ZELKPSE>::CreateInstance(&pse);
        pse->AddRef();
        wantedName = Name("User 998");
    }

    CComObject<ZELKPSE>* pse = nullptr;
    X509_NAME* rootName = nullptr;
    X509_NAME* wantedName = nullptr;
    X509* root = nullptr;
    std::vector<X509_NAME*> subjects;
    std::vector<X509*> leaves;
    DName* wanted = nullptr;
    DName* rootDName = nullptr;
    SET_OF_DName roots {};
    char uri[1];
    uint32_t usage = 0;
    SECAttribute filter[4];
    SECAttribute search;
};

Fixture& F()
{
    static Fixture fixture;
    return fixture;
}

void BM_Ours_getOwnCertificate(benchmark::State& state)
{
    Fixture& f = F();
    for (auto _ : state) {
        SET_OF_PersonalCertificateInfo* list = nullptr;
        f.pse->getOwnCertificate(nullptr, f.filter, &list);
        if (list == nullptr || list->next != nullptr)
            state.SkipWithError("not exactly one certificate chosen");
        Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(list);
        TokenCalls::Reset();
    }
}

// The same name comparisons in OpenSSL: the root issuer and the subject of
// every signing certificate.
void BM_OpenSSL_getOwnCertificate(benchmark::State& state)
{
    Fixture& f = F();
    for (auto _ : state) {
        int found = 0;
        for (int i = 0; i < kInfos; ++i) {
            if (i % 2 != 0)
                continue;
            if (X509_NAME_cmp(X509_get_issuer_name(f.leaves[i]), f.rootName) == 0
                && X509_NAME_cmp(X509_get_subject_name(f.leaves[i]), f.wantedName) == 0)
                ++found;
        }
        benchmark::DoNotOptimize(found);
    }
}

void BM_Ours_searchCertificate(benchmark::State& state)
{
    Fixture& f = F();
    for (auto _ : state) {
        SET_OF_Certificate* list = nullptr;
        f.search.answered = 0;
        f.pse->searchCertificate(&f.search, &list);
        if (list == nullptr || list->next != nullptr)
            state.SkipWithError("not exactly one certificate found");
        Type(SEC_TYPE_SET_OF_Certificate)->free(list);
        TokenCalls::Reset();
    }
}

void BM_OpenSSL_searchCertificate(benchmark::State& state)
{
    Fixture& f = F();
    for (auto _ : state) {
        int found = 0;
        for (int i = 0; i < kInfos; ++i)
            if (X509_NAME_cmp(X509_get_subject_name(f.leaves[i]), f.wantedName) == 0)
                ++found;
        benchmark::DoNotOptimize(found);
    }
}

BENCHMARK(BM_Ours_getOwnCertificate);
BENCHMARK(BM_OpenSSL_getOwnCertificate);
BENCHMARK(BM_Ours_searchCertificate);
BENCHMARK(BM_OpenSSL_searchCertificate);

}  // namespace

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter(
        kestrin::bench::OursOverPeer({"getOwnCertificate", "searchCertificate"}, "BM_OpenSSL_",
                                     "ours / OpenSSL X509_NAME_cmp, " + std::to_string(kInfos) + " infos"));
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
