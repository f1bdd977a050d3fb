// One connection decision beside a plain peer, in the same run, at N = 100
// and N = 1,000 user application policies (the match in the last sub-key)
// and 200 own certificates of which one passes the issuer restriction: the
// policy side alone (the application policy and the candidate list), and the
// whole decision through the connection broker ("ConnectionStart",
// "GetCredentials" choosing that one certificate without a dialog,
// "ConnectionClosed"). The peer is a bare loop of String_MatchQuality over
// the N patterns and OpenSSL's X509_check_issued over the 200 certificates.
// The closing note gives the growth from 100 to 1,000 policies and ours /
// peer.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "core/applications.h"
#include "core/gss_connections.h"
#include "core/model_filter_certs.h"
#include "core/tests/fakes/fake_broker_tokens.h"
#include "model/model_clients.h"
#include "model/model_owncerts.h"
#include "ratio_reporter.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"
#include "zelk_policy_client.h"
#include "zelk_resloader.h"
#include "zelk_secattribute.h"
#include "zelk_strings.h"

ZELK_RESLOADER_CLIENT_BINDING();
ZELK_POLICY_CLIENT_BINDING();

namespace ZELK::PSESVC {

// No token manager's tokens in the benchmark: rows keep their own verb only.
HRESULT CModelOwnCertsBase::FindToken(const char*, CToken** out)
{
    *out = nullptr;
    return S_FALSE;
}

}  // namespace ZELK::PSESVC

namespace {

using namespace ZELK::PSESVC;

constexpr int kCertificates = 200;
constexpr const char* kTarget = "srv.target.example";

std::string Pattern(int i, int count)
{
    return i == count - 1 ? "*.target.example" : "app" + std::to_string(i) + ".example.com";
}

constexpr unsigned kBenchPid = 4343;

X509_NAME* Name(const char* cn)
{
    X509_NAME* name = X509_NAME_new();
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
    return name;
}

// 200 certificates under two issuers; only the last is issued by "Wanted CA".
struct Pki {
    EVP_PKEY* issuerKey = EVP_EC_gen("P-256");
    X509* wanted = nullptr;
    std::vector<X509*> leaves;
    std::vector<std::vector<unsigned char>> der;

    X509* Issue(const char* subject, const char* issuer, int serial)
    {
        X509* x = X509_new();
        X509_set_version(x, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
        X509_gmtime_adj(X509_getm_notBefore(x), 0);
        X509_gmtime_adj(X509_getm_notAfter(x), 86400);
        X509_NAME* s = Name(subject);
        X509_NAME* i = Name(issuer);
        X509_set_subject_name(x, s);
        X509_set_issuer_name(x, i);
        X509_NAME_free(s);
        X509_NAME_free(i);
        X509_set_pubkey(x, issuerKey);
        X509_sign(x, issuerKey, EVP_sha256());
        return x;
    }
    Pki()
    {
        wanted = Issue("Wanted CA", "Wanted CA", 1);
        for (int i = 0; i < kCertificates; ++i) {
            std::string cn = "User " + std::to_string(i);
            X509* leaf = Issue(cn.c_str(), i == kCertificates - 1 ? "Wanted CA" : "Other CA", i + 2);
            leaves.push_back(leaf);
            unsigned char* buffer = nullptr;
            int n = i2d_X509(leaf, &buffer);
            der.emplace_back(buffer, buffer + n);
            OPENSSL_free(buffer);
        }
    }
};

Pki& GetPki()
{
    static Pki pki;
    return pki;
}

// Temporary configuration folders with N user application policies.
class Config {
public:
    explicit Config(int count)
    {
        char pattern[] = "/tmp/zelkbench-XXXXXX";
        m_dir = mkdtemp(pattern);
        std::filesystem::create_directories(m_dir + "/home/kestrin");
        std::filesystem::create_directories(m_dir + "/etc");
        std::string script = m_dir + "/make.py";
        std::ofstream(script) << "import plistlib\napps = {}\nfor i in range(" << count
                              << "):\n    apps['app%d' % i] = {'GssTargetName': 'app%d.example.com' % i}\n"
                              << "apps['app" << count - 1 << "'] = {'GssTargetName': '*.target.example'}\n"
                              << "plistlib.dump({'groups': {'user': {'applications': apps}}}, open('" << m_dir
                              << "/home/kestrin/settings.plist', 'wb'), sort_keys=False)\n";
        m_ok = std::system(("python3 " + script).c_str()) == 0;
        setenv("XDG_CONFIG_HOME", (m_dir + "/home").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (m_dir + "/etc").c_str(), 1);
    }
    ~Config()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    bool ok() const { return m_ok; }
    const std::string& dir() const { return m_dir; }

private:
    std::string m_dir;
    bool m_ok = false;
};

void BM_Ours_Decision(benchmark::State& state)
{
    int count = static_cast<int>(state.range(0));
    Config config(count);
    if (!config.ok() || ZELK_Initialize() < 0) {
        state.SkipWithError("no configuration or runtime");
        return;
    }
    {
        CModelOwnCerts* own = nullptr;
        CSingletonFactoryImpl<CModelOwnCerts>::New(&own);
        const SEC_TYPE_TABLE* certificates = SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate);
        const SEC_TYPE_TABLE* names = SEC_TypeTable(fptr__common_types, SEC_TYPE_DName);
        for (int i = 0; i < kCertificates; ++i) {
            OctetString bytes {GetPki().der[i].size(), GetPki().der[i].data()};
            void* certificate = nullptr;
            certificates->decode(&bytes, &certificate);
            std::string uri = "tokkeychain:" + std::to_string(i);
            PersonalCertificateInfo info {};
            info.tokenName = uri.data();
            info.certificate = static_cast<Certificate*>(certificate);
            own->AddCert(&info, uri.c_str(), nullptr, false);
            static_cast<Certificate*>(certificate)->Release();
        }
        static_cast<IGUIModelOwnCerts*>(own)->Release();
        DName* wanted = nullptr;
        static_cast<const SEC_DNAME_TYPE_TABLE*>(names)->from_text("CN=Wanted CA", &wanted);
        SET_OF_DName* issuers = nullptr;
        SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_DName)->new_node(reinterpret_cast<void**>(&issuers));
        issuers->element = wanted;

        CApplications* applications = nullptr;
        CSingletonFactoryImpl<CApplications>::New(&applications);
        for (auto _ : state) {
            ZELK_IPolicy* policy = nullptr;
            applications->GetPolicyByGssTargetName(kTarget, &policy, nullptr, nullptr);
            IGUIModelContainer* candidates = nullptr;
            ModelFilterCerts::New(policy, issuers, &candidates);
            if (candidates == nullptr || candidates->GetElementCount() != 1) {
                state.SkipWithError("not exactly one candidate");
                break;
            }
            candidates->Release();
            if (policy == nullptr || std::string(policy->GetName()) != "app" + std::to_string(count - 1)) {
                state.SkipWithError("the last policy did not match");
                break;
            }
            policy->Release();
        }
        static_cast<IUnknown*>(applications)->Release();
        SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_DName)->free(issuers);
    }
    ZELK_Finalize();
}
BENCHMARK(BM_Ours_Decision)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// The attribute chains of one connection action: values borrowed, answers
// freed through their type's table.
struct Action {
    std::vector<SECAttribute> in;
    std::vector<SECAttribute> out;
    int32_t connection = 0;

    Action(size_t inCount, size_t outCount) : in(inCount), out(outCount) {}
    ~Action()
    {
        for (SECAttribute& entry : out)
            if (entry.owned && entry.value != nullptr) {
                if (entry.type == SEC_TypeTable(fptr__common_types, SEC_TYPE_PersonalCertificateInfo))
                    entry.type->free(entry.value);
                else
                    sec_free(entry.value);
            }
    }
    void Link()
    {
        for (size_t i = 0; i + 1 < in.size(); ++i)
            in[i].next = &in[i + 1];
        for (size_t i = 0; i + 1 < out.size(); ++i)
            out[i].next = &out[i + 1];
    }
    static void Set(SECAttribute& entry, uint32_t id, unsigned int type, void* value)
    {
        entry.id = id;
        entry.type = SEC_TypeTable(fptr__common_types, type);
        entry.value = value;
    }
};

// The whole decision of one connection through the broker.
void BM_Ours_Connection(benchmark::State& state)
{
    int count = static_cast<int>(state.range(0));
    Config config(count);
    if (!config.ok() || ZELK_Initialize() < 0) {
        state.SkipWithError("no configuration or runtime");
        return;
    }
    {
        Pki& pki = GetPki();
        CModelOwnCerts* own = nullptr;
        CSingletonFactoryImpl<CModelOwnCerts>::New(&own);
        const SEC_TYPE_TABLE* certificates = SEC_TypeTable(fptr__common_types, SEC_TYPE_Certificate);
        std::vector<std::string> uris;
        for (int i = 0; i < kCertificates; ++i)
            uris.push_back("tokkeychain:" + std::to_string(i));
        for (int i = 0; i + 1 < kCertificates; ++i) {
            OctetString bytes {pki.der[i].size(), pki.der[i].data()};
            void* certificate = nullptr;
            certificates->decode(&bytes, &certificate);
            PersonalCertificateInfo info {};
            info.tokenName = uris[i].data();
            info.certificate = static_cast<Certificate*>(certificate);
            own->AddCert(&info, uris[i].c_str(), nullptr, false);
            static_cast<Certificate*>(certificate)->Release();
        }
        static_cast<IGUIModelOwnCerts*>(own)->Release();
        // The one certificate that passes belongs to a token with its key.
        const std::string der = config.dir() + "/wanted.der";
        const std::string key = config.dir() + "/wanted.pem";
        std::ofstream(der, std::ios::binary)
            .write(reinterpret_cast<const char*>(pki.der.back().data()), static_cast<long>(pki.der.back().size()));
        if (FILE* file = std::fopen(key.c_str(), "w")) {
            PEM_write_PrivateKey(file, pki.issuerKey, nullptr, nullptr, 0, nullptr, nullptr);
            std::fclose(file);
        }
        kestrin::service::test::BrokerTokens::Add(uris.back(), der, key);
        kestrin::service::test::BrokerTokens::SetFallbackURIs(uris);
        CModelClients::SetStartTimeReader([](unsigned) -> uint64_t { return 1; });
        CModelClients::ClientConnect("/usr/bin/bench", kBenchPid);
        CModelClients::ClientActive("/usr/bin/bench", kBenchPid);

        const auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(SEC_TypeTable(fptr__common_types, SEC_TYPE_DName));
        DName* target = nullptr;
        names->from_text((std::string("CN=") + kTarget).c_str(), &target);
        DName* wanted = nullptr;
        names->from_text("CN=Wanted CA", &wanted);
        SET_OF_DName* issuers = nullptr;
        SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_DName)->new_node(reinterpret_cast<void**>(&issuers));
        issuers->element = wanted;

        CGssConnections* broker = nullptr;
        CSingletonFactoryImpl<CGssConnections>::New(&broker);
        for (auto _ : state) {
            Action start(1, 2);
            Action::Set(start.in[0], SEC_ATTR_TARGET_NAME, SEC_TYPE_DName, target);
            Action::Set(start.out[0], SEC_ATTR_CONNECTION, SEC_TYPE_int, nullptr);
            Action::Set(start.out[1], SEC_ATTR_CONNECTION_CONFIG, SEC_TYPE_String, nullptr);
            start.Link();
            broker->DoGssAction("ConnectionStart", start.in.data(), start.out.data());
            Action credentials(3, 2);
            credentials.connection = SECAttributeArray_GetInteger(start.out.data(), SEC_ATTR_CONNECTION);
            Action::Set(credentials.in[0], SEC_ATTR_CONNECTION, SEC_TYPE_int, &credentials.connection);
            Action::Set(credentials.in[1], SEC_ATTR_TARGET_NAME, SEC_TYPE_DName, target);
            Action::Set(credentials.in[2], SEC_ATTR_ROOT_ISSUERS, SEC_TYPE_SET_OF_DName, issuers);
            Action::Set(credentials.out[0], SEC_ATTR_CREDENTIAL, SEC_TYPE_PersonalCertificateInfo, nullptr);
            Action::Set(credentials.out[1], SEC_ATTR_CREDENTIAL_TEMP_KEYS, SEC_TYPE_int, nullptr);
            credentials.Link();
            broker->DoGssAction("GetCredentials", credentials.in.data(), credentials.out.data());
            const auto* chosen = static_cast<const PersonalCertificateInfo*>(credentials.out[0].value);
            if (chosen == nullptr || uris.back() != chosen->tokenName) {
                state.SkipWithError("the one passing certificate was not chosen");
                break;
            }
            broker->DoGssAction("ConnectionClosed", credentials.in.data(), nullptr);
        }
        static_cast<IUnknown*>(broker)->Release();
        SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_DName)->free(issuers);
        names->free(target);
        CModelClients::ClientDisconnect("/usr/bin/bench", kBenchPid);
        kestrin::service::test::BrokerTokens::Clear();
    }
    ZELK_Finalize();
}
BENCHMARK(BM_Ours_Connection)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_Peer_Decision(benchmark::State& state)
{
    int count = static_cast<int>(state.range(0));
    if (ZELK_Initialize() < 0) {
        state.SkipWithError("the runtime did not start");
        return;
    }
    std::vector<std::string> patterns;
    for (int i = 0; i < count; ++i)
        patterns.push_back(Pattern(i, count));
    Pki& pki = GetPki();
    for (auto _ : state) {
        unsigned best = 0;
        for (const std::string& p : patterns) {
            unsigned q = String_MatchQuality(kTarget, p.c_str());
            if (q > best)
                best = q;
        }
        int issued = 0;
        for (X509* leaf : pki.leaves)
            issued += X509_check_issued(pki.wanted, leaf) == X509_V_OK;
        benchmark::DoNotOptimize(best);
        benchmark::DoNotOptimize(issued);
    }
    ZELK_Finalize();
}
BENCHMARK(BM_Peer_Decision)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    kestrin::bench::RatioReporter reporter({
        {"1000 / 100 policies (ours)", "BM_Ours_Decision/1000", "BM_Ours_Decision/100"},
        {"ours / peer at 1000 policies", "BM_Ours_Decision/1000", "BM_Peer_Decision/1000"},
        {"1000 / 100 policies (connection)", "BM_Ours_Connection/1000", "BM_Ours_Connection/100"},
        {"connection / peer at 1000 policies", "BM_Ours_Connection/1000", "BM_Peer_Decision/1000"},
    });
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
