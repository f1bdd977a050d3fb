// Encoding and decoding of a list of ten personal certificate infos (each a
// certificate and a two-certificate path: 30 certificates) through the crypto
// library's type table, beside OpenSSL's i2d_X509 and d2i_X509 of the same 30
// certificates in the same run. The ratios (ours / OpenSSL) close the output.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qev_records.h"
#include "qevcrypto.h"
#include "ratio_reporter.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The stand-in as a deliverable finds it: the program's folder's ../lib.
API_COMMON* CommonTypes()
{
    static API_COMMON* types = [] {
        char path[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
        std::string folder = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("./x");
        folder = folder.substr(0, folder.rfind('/'));
        void* handle = dlopen((folder + "/../lib/libqevcrypto.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        auto getList =
            handle ? reinterpret_cast<CRYPTOLIB_GET_F_LIST_FN>(dlsym(handle, "cryptolib_get_f_list")) : nullptr;
        SEC_FUNCTION_LIST* list = nullptr;
        API_COMMON* table = nullptr;
        if (getList == nullptr || getList(0, nullptr, &list, nullptr, "", 0) != S_OK
            || list->get_api(nullptr, "SEC_COMMONTYPES_1", &table) != S_OK) {
            std::fprintf(stderr, "the crypto library cannot be loaded\n");
            std::exit(1);
        }
        return table;
    }();
    return types;
}

const SEC_TYPE_TABLE* Type(unsigned int index)
{
    return SEC_TypeTable(CommonTypes(), index);
}

// A certificate as a CA would issue it: its own P-256 key, signed with SHA-256.
Bytes MakeCertificate(int number)
{
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* x509 = X509_new();
    X509_set_version(x509, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 100000 + number);
    const std::string cn = "User " + std::to_string(number);
    X509_NAME* name = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("DE"), -1, -1, 0);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Example Corp"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(x509, name);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 365L * 24 * 3600);
    X509_set_pubkey(x509, key);
    X509_sign(x509, key, EVP_sha256());
    unsigned char* der = nullptr;
    const int length = i2d_X509(x509, &der);
    Bytes bytes(der, der + length);
    OPENSSL_free(der);
    X509_free(x509);
    EVP_PKEY_free(key);
    return bytes;
}

struct Fixture {
    Fixture()
    {
        for (int i = 0; i < 30; ++i)
            certificates.push_back(MakeCertificate(i));
        SET_OF_PersonalCertificateInfo** cursor = &list;
        for (int i = 0; i < 10; ++i) {
            Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->new_node(reinterpret_cast<void**>(cursor));
            void* info = nullptr;
            Type(SEC_TYPE_PersonalCertificateInfo)->new_node(&info);
            auto* pci = static_cast<PersonalCertificateInfo*>(info);
            Type(SEC_TYPE_String)->copy("tokkeychain:cert=0123456789abcdef", reinterpret_cast<void**>(&pci->tokenName));
            Type(SEC_TYPE_String)->copy("key-1", reinterpret_cast<void**>(&pci->keyId));
            pci->certificate = Certificate(3 * i);
            SEQUENCE_OF_Certificate** path = &pci->path;
            for (int k = 1; k <= 2; ++k) {
                Type(SEC_TYPE_SEQUENCE_OF_Certificate)->new_node(reinterpret_cast<void**>(path));
                (*path)->element = Certificate(3 * i + k);
                path = &(*path)->next;
            }
            (*cursor)->element = pci;
            cursor = &(*cursor)->next;
        }
        OctetString* der = nullptr;
        if (Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->encode(list, &der) != S_OK) {
            std::fprintf(stderr, "the list does not encode\n");
            std::exit(1);
        }
        encoded.assign(der->data, der->data + der->length);
        Type(SEC_TYPE_OctetString)->free(der);
        for (const Bytes& b : certificates) {
            const unsigned char* p = b.data();
            x509s.push_back(d2i_X509(nullptr, &p, static_cast<long>(b.size())));
        }
    }

    ::Certificate* Certificate(int i)
    {
        OctetString der {certificates[i].size(), certificates[i].data()};
        void* cert = nullptr;
        Type(SEC_TYPE_Certificate)->decode(&der, &cert);
        return static_cast<::Certificate*>(cert);
    }

    std::vector<Bytes> certificates;
    std::vector<X509*> x509s;
    SET_OF_PersonalCertificateInfo* list = nullptr;
    Bytes encoded;
};

Fixture& Data()
{
    static Fixture fixture;
    return fixture;
}

void BM_Ours_Encode(benchmark::State& state)
{
    Fixture& f = Data();
    const SEC_TYPE_TABLE* type = Type(SEC_TYPE_SET_OF_PersonalCertificateInfo);
    for (auto _ : state) {
        OctetString* der = nullptr;
        type->encode(f.list, &der);
        benchmark::DoNotOptimize(der);
        Type(SEC_TYPE_OctetString)->free(der);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.encoded.size()));
}

void BM_OpenSSL_Encode(benchmark::State& state)
{
    Fixture& f = Data();
    for (auto _ : state) {
        for (X509* x509 : f.x509s) {
            unsigned char* der = nullptr;
            benchmark::DoNotOptimize(i2d_X509(x509, &der));
            OPENSSL_free(der);
        }
    }
}

void BM_Ours_Decode(benchmark::State& state)
{
    Fixture& f = Data();
    const SEC_TYPE_TABLE* type = Type(SEC_TYPE_SET_OF_PersonalCertificateInfo);
    OctetString der {f.encoded.size(), f.encoded.data()};
    for (auto _ : state) {
        void* list = nullptr;
        type->decode(&der, &list);
        benchmark::DoNotOptimize(list);
        type->free(list);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.encoded.size()));
}

void BM_OpenSSL_Decode(benchmark::State& state)
{
    Fixture& f = Data();
    for (auto _ : state) {
        for (const Bytes& b : f.certificates) {
            const unsigned char* p = b.data();
            X509* x509 = d2i_X509(nullptr, &p, static_cast<long>(b.size()));
            benchmark::DoNotOptimize(x509);
            X509_free(x509);
        }
    }
}

BENCHMARK(BM_Ours_Encode);
BENCHMARK(BM_OpenSSL_Encode);
BENCHMARK(BM_Ours_Decode);
BENCHMARK(BM_OpenSSL_Decode);

}  // namespace

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter(
        kestrin::bench::OursOverPeer({"Encode", "Decode"}, "BM_OpenSSL_", "ours / OpenSSL, 30 certificates"));
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
