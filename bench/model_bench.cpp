// The GUI models beside plain peers of the same work, in the same run:
// - a refresh of the profile window's list "zelk.model.owncerts.and.kerberos.ex"
//   (own certificates and tokens) beside a vector of the same rows with a hash
//   set of the current members, at two sizes so that growth shows;
// - a token row's GetItemInfo beside OpenSSL's X509_NAME_print_ex of the
//   same subject;
// - 1000 NextRevision with 10 listeners beside 10,000 plain calls.
// The closing note gives each ratio ours / peer.
#include <benchmark/benchmark.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <map>
#include <string>
#include <unordered_set>
#include <vector>

#include "model/model_filter.h"
#include "model/model_owncerts.h"
#include "model/model_tokens.h"
#include "ratio_reporter.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelk_resloader.h"

ZELK_RESLOADER_CLIENT_BINDING();
ZELK_POLICY_CLIENT_BINDING();

namespace ZELK::PSESVC {

// No token manager in the benchmark: rows keep their own verb only.
HRESULT CModelOwnCertsBase::FindToken(const char*, CToken** out)
{
    *out = nullptr;
    return S_FALSE;
}

}  // namespace ZELK::PSESVC

namespace {

using namespace ZELK::PSESVC;

// A self-signed certificate made with OpenSSL, and its DER.
struct BenchCert {
    X509* x509 = nullptr;
    std::vector<unsigned char> der;
    BenchCert()
    {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        x509 = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
        X509_gmtime_adj(X509_getm_notBefore(x509), 0);
        X509_gmtime_adj(X509_getm_notAfter(x509), 86400);
        X509_NAME* name = X509_get_subject_name(x509);
        X509_NAME_add_entry_by_txt(name, "C", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("DE"), -1, -1, 0);
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Example"), -1, -1,
                                   0);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Bench User"), -1,
                                   -1, 0);
        X509_set_issuer_name(x509, name);
        X509_set_pubkey(x509, key);
        X509_sign(x509, key, EVP_sha256());
        EVP_PKEY_free(key);
        unsigned char* bytes = nullptr;
        int length = i2d_X509(x509, &bytes);
        der.assign(bytes, bytes + length);
        OPENSSL_free(bytes);
    }
    ~BenchCert() { X509_free(x509); }
};

const BenchCert& Cert()
{
    static BenchCert cert;
    return cert;
}

PersonalCertificateInfo* NewPci(const std::string& token, const std::string& keyId)
{
    void* value = nullptr;
    SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo)->new_node(&value);
    auto* pci = static_cast<PersonalCertificateInfo*>(value);
    String_Copy(token.c_str(), &pci->tokenName);
    String_Copy(keyId.c_str(), &pci->keyId);
    OctetString der {Cert().der.size(), const_cast<unsigned char*>(Cert().der.data())};
    void* cert = nullptr;
    SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate)->decode(&der, &cert);
    pci->certificate = static_cast<Certificate*>(cert);
    return pci;
}

// Own certificates (every fourth a profile's) and tokens (every second a profile).
void Fill(int certs, int tokens, std::vector<CModelToken*>* rows)
{
    CModelOwnCerts* own = nullptr;
    CSingletonFactoryImpl<CModelOwnCerts>::New(&own);
    for (int i = 0; i < certs; ++i) {
        std::string token =
            i % 4 == 0 ? "toksw:mem://kestrin/p" + std::to_string(i % tokens) : "tokkeychain:id" + std::to_string(i);
        PersonalCertificateInfo* pci = NewPci(token, "key" + std::to_string(i));
        own->AddCert(pci, token.c_str(), nullptr, false);
        SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo)->free(pci);
    }
    static_cast<IGUIModelOwnCerts*>(own)->Release();
    for (int i = 0; i < tokens; ++i) {
        std::string name = i % 2 == 0 ? "toksw:mem://kestrin/p" + std::to_string(i) : "secpcsc:r" + std::to_string(i);
        CModelToken* token = nullptr;
        CModelTokens::NewTokenInfo(name.c_str(), &token);
        token->SetTokenType(i % 2 == 0 ? TOKEN_TYPE_PROFILE : TOKEN_TYPE_SMARTCARD);
        CModelTokens::RegisterToken(token);
        rows->push_back(token);
    }
}

bool Start(benchmark::State& state)
{
    if (ZELK_Initialize() < 0) {
        state.SkipWithError("the runtime did not start");
        return false;
    }
    return true;
}

void Stop(std::vector<CModelToken*>& rows)
{
    for (CModelToken* token : rows)
        static_cast<IGUIModelToken*>(token)->Release();
    ZELK_Finalize();
}

void BM_Ours_FilterRefresh(benchmark::State& state)
{
    if (!Start(state))
        return;
    std::vector<CModelToken*> rows;
    Fill(static_cast<int>(state.range(0)), static_cast<int>(state.range(0) / 10), &rows);
    CModelFilterSelectOwnCert* filter = nullptr;
    CSingletonFactoryImpl<CModelFilterSelectOwnCert>::New(&filter);
    benchmark::DoNotOptimize(filter->GetElementCount());
    for (auto _ : state)
        filter->RefreshCB(0);
    state.counters["members"] = static_cast<double>(filter->GetElementCount());
    static_cast<IGUIModelContainer*>(filter)->Release();
    Stop(rows);
}
BENCHMARK(BM_Ours_FilterRefresh)->Arg(100)->Arg(500);

// The peer: the same rows in a vector, their membership by URI, and the
// comparison with the current members through a hash set.
void BM_Peer_FilterRefresh(benchmark::State& state)
{
    const int certs = static_cast<int>(state.range(0));
    const int tokens = certs / 10;
    std::vector<std::string> uris;
    for (int i = 0; i < certs; ++i)
        uris.push_back(i % 4 == 0 ? "toksw:mem://kestrin/p" + std::to_string(i % tokens)
                                  : "tokkeychain:id" + std::to_string(i));
    for (int i = 0; i < tokens; ++i)
        uris.push_back(i % 2 == 0 ? "toksw:mem://kestrin/p" + std::to_string(i) : "secpcsc:r" + std::to_string(i));
    std::vector<const std::string*> rows;
    for (const std::string& uri : uris)
        rows.push_back(&uri);
    std::unordered_set<const std::string*> current;
    for (auto _ : state) {
        std::vector<const std::string*> fresh;
        for (size_t i = 0; i < rows.size(); ++i) {
            bool profile = rows[i]->rfind("toksw:mem://kestrin/", 0) == 0;
            if (i < static_cast<size_t>(certs) ? !profile : profile)
                fresh.push_back(rows[i]);
        }
        bool changed = fresh.size() != current.size();
        for (size_t i = 0; !changed && i < fresh.size(); ++i)
            changed = current.count(fresh[i]) == 0;
        if (changed)
            current = std::unordered_set<const std::string*>(fresh.begin(), fresh.end());
        benchmark::DoNotOptimize(current);
    }
}
BENCHMARK(BM_Peer_FilterRefresh)->Arg(100)->Arg(500);

void BM_Ours_TokenRow(benchmark::State& state)
{
    if (!Start(state))
        return;
    CModelOwnCerts* own = nullptr;
    CSingletonFactoryImpl<CModelOwnCerts>::New(&own);
    PersonalCertificateInfo* pci = NewPci("tokkeychain:bench", "key");
    own->AddCert(pci, "tokkeychain:bench", nullptr, false);
    SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo)->free(pci);
    static_cast<IGUIModelOwnCerts*>(own)->Release();
    std::vector<CModelToken*> rows(1);
    CModelTokens::NewTokenInfo("tokkeychain:bench", &rows[0]);
    rows[0]->SetTokenType(TOKEN_TYPE_KEYCHAIN);
    for (auto _ : state) {
        char* text = nullptr;
        rows[0]->GetItemInfo(nullptr, &text);
        benchmark::DoNotOptimize(text);
        sec_free(text);
    }
    Stop(rows);
}
BENCHMARK(BM_Ours_TokenRow);

void BM_Peer_TokenRow(benchmark::State& state)
{
    X509_NAME* name = X509_get_subject_name(Cert().x509);
    for (auto _ : state) {
        BIO* bio = BIO_new(BIO_s_mem());
        X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
        char* text = nullptr;
        benchmark::DoNotOptimize(BIO_get_mem_data(bio, &text));
        BIO_free(bio);
    }
}
BENCHMARK(BM_Peer_TokenRow);

class Counter final : public IGUIRefreshCB {
public:
    virtual ~Counter() = default;
    HRESULT RefreshCB(unsigned long key) override
    {
        m_sum += key;
        return S_OK;
    }
    unsigned long m_sum = 0;
};

void BM_Ours_Notify(benchmark::State& state)
{
    CGUIModelBase model;
    Counter listeners[10];
    for (unsigned long i = 0; i < 10; ++i)
        model.RegisterCallback(&listeners[i], i);
    for (auto _ : state)
        for (int i = 0; i < 1000; ++i)
            model.NextRevision();
    benchmark::DoNotOptimize(listeners[9].m_sum);
}
BENCHMARK(BM_Ours_Notify);

void BM_Peer_Notify(benchmark::State& state)
{
    Counter listeners[10];
    IGUIRefreshCB* calls[10];
    for (int i = 0; i < 10; ++i)
        calls[i] = &listeners[i];
    benchmark::DoNotOptimize(calls);
    for (auto _ : state)
        for (int i = 0; i < 1000; ++i)
            for (unsigned long k = 0; k < 10; ++k)
                calls[k]->RefreshCB(k);
    benchmark::DoNotOptimize(listeners[9].m_sum);
}
BENCHMARK(BM_Peer_Notify);

// Closes the output with ours / peer for each case.

}  // namespace

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter(
        kestrin::bench::OursOverPeer({"FilterRefresh/100", "FilterRefresh/500", "TokenRow", "Notify"}));
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
