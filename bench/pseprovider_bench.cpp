// The PSE provider "zelkpse" in a client program, each beside the key store
// doing the same work in process, in the same run:
// - encryptDigest of a SHA-256 digest through the whole road (client ->
//   zelkpse -> remoting proxy -> socket -> KestrinClient's service PSE ->
//   token -> key store) beside the key store's own SignDigest, RSA-2048 and
//   P-256;
// - getOwnCertificate of the key-store PSE "tokkeychain:cfg=KVWC+KVC" with
//   10, 100 and 1,000 identities beside the key store listing them.
// KestrinClient runs headless over a temporary home. The ratios (ours /
// key store) close the output.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/sha.h>
#include <openssl/x509.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "keystore.h"
#include "qev_attributes.h"
#include "qev_pse.h"
#include "ratio_reporter.h"

extern char** environ;

namespace {

using Bytes = std::vector<unsigned char>;
using kestrin::keystore::KeyStore;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::exit(1);
}

std::string OwnFolder()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string own = n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("./x");
    return own.substr(0, own.rfind('/'));
}

// A P-256 or RSA identity with a self-signed certificate, as a PKCS#12 file
// (password "secret", one iteration: the set-up of 1,000 stays short).
Bytes NewIdentity(EVP_PKEY* key, const std::string& name)
{
    X509* x509 = X509_new();
    X509_set_version(x509, X509_VERSION_3);
    ASN1_INTEGER_set(X509_get_serialNumber(x509), 1);
    X509_NAME* subject = X509_get_subject_name(x509);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(x509, subject);
    X509_gmtime_adj(X509_getm_notBefore(x509), 0);
    X509_gmtime_adj(X509_getm_notAfter(x509), 86400);
    X509_set_pubkey(x509, key);
    X509_sign(x509, key, EVP_sha256());
    PKCS12* p12 = PKCS12_create("secret", name.c_str(), key, x509, nullptr, 0, 0, 1, 1, 0);
    unsigned char* der = nullptr;
    int length = i2d_PKCS12(p12, &der);
    Bytes file(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    PKCS12_free(p12);
    X509_free(x509);
    EVP_PKEY_free(key);
    return file;
}

struct Fixture {
    Fixture()
    {
        char tmpl[] = "/tmp/zelkpse-bench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr)
            Fail("no temporary folder");
        home = tmpl;
        for (const char* sub : {"/run", "/data", "/config", "/state"})
            mkdir((home + sub).c_str(), 0700);
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (home + "/run").c_str(), 1);
        setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
        setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        unsetenv("QEV_KVWC_MODE");
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        if (KeyStore::Open({}, &store) != S_OK)
            Fail("no key store");
        Import(NewIdentity(EVP_RSA_gen(2048), "rsa"), &identities["rsa"]);
        Import(NewIdentity(EVP_EC_gen("P-256"), "ec"), &identities["ec"]);
        SHA256(reinterpret_cast<const unsigned char*>("benchmark"), 9, digest);
        StartService();
        LoadLibrary();
    }
    ~Fixture()
    {
        StopService();
        std::string command = "rm -rf '" + home + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "%s left behind\n", home.c_str());
    }

    void Import(const Bytes& p12, kestrin::keystore::Fingerprint* sha1)
    {
        kestrin::keystore::Pkcs12Import imported;
        if (store->ImportPkcs12(p12, "secret", &imported) != S_OK)
            Fail("import failed");
        if (sha1 != nullptr)
            *sha1 = imported.identity.sha1;
    }

    void StartService()
    {
        std::string program = OwnFolder() + "/../bin/KestrinClient";
        char headless[] = "--headless";
        char* argv[] = {program.data(), headless, nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&service, program.c_str(), &actions, nullptr, argv, environ) != 0)
            Fail("KestrinClient cannot be started");
        posix_spawn_file_actions_destroy(&actions);
        std::string socketPath = home + "/run/kestrin/org.kestrin.client." + std::to_string(getuid());
        for (int i = 0; i < 3000; ++i) {
            int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address {};
            address.sun_family = AF_UNIX;
            std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
            bool up = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            close(fd);
            if (up)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        Fail("KestrinClient does not listen");
    }
    void StopService()
    {
        if (service <= 0)
            return;
        kill(service, SIGTERM);
        waitpid(service, nullptr, 0);
        service = -1;
    }

    void LoadLibrary()
    {
        void* handle = dlopen((OwnFolder() + "/../lib/libqevcrypto.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        auto getList =
            handle ? reinterpret_cast<CRYPTOLIB_GET_F_LIST_FN>(dlsym(handle, "cryptolib_get_f_list")) : nullptr;
        if (getList == nullptr || getList(0, nullptr, &list, nullptr, "", 0) != S_OK)
            Fail("the crypto library cannot be loaded");
        if (list->get_api(nullptr, "SEC_COMMONTYPES_1", &types) != S_OK)
            Fail("no type tables");
    }
    const SEC_TYPE_TABLE* Type(unsigned int index) const { return SEC_TypeTable(types, index); }

    // The client's PSE: the remoting proxy of a context of "zelkpse".
    PSE* Proxy()
    {
        if (proxy != nullptr)
            return proxy;
        API_COMMON* table = nullptr;
        ASC* asc = nullptr;
        if (list->get_api("zelkpse", "SEC_ASC_1", &table) != S_OK
            || ZELK_ApiCast<SEC_ASC_TABLE>(table)->create_ASC(&asc, nullptr) != S_OK || asc->getPSE(&proxy) != S_OK)
            Fail("no PSE through zelkpse");
        asc->Release();
        return proxy;
    }

    // The own certificate of the identity that the PSE lists under `name`.
    PersonalCertificateInfo* Own(PSE* pse, const std::string& name)
    {
        SET_OF_PersonalCertificateInfo* own = nullptr;
        pse->getOwnCertificate(nullptr, nullptr, &own);
        PersonalCertificateInfo* found = nullptr;
        for (SET_OF_PersonalCertificateInfo* node = own; node != nullptr && found == nullptr; node = node->next) {
            char* cn = nullptr;
            if (node->element->certificate != nullptr && node->element->certificate->getSubjectCommonName(&cn) == S_OK
                && cn != nullptr && name == cn) {
                found = node->element;
                Type(SEC_TYPE_PersonalCertificateInfo)->add_ref(found);
            }
            Type(SEC_TYPE_String)->free(cn);
        }
        Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(own);
        if (found == nullptr)
            Fail("the identity is not an own certificate");
        return found;
    }

    AlgId* Algorithm(bool rsa)
    {
        static const unsigned char kRsa[] = {0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                                             0xf7, 0x0d, 0x01, 0x01, 0x0b, 0x05, 0x00};
        static const unsigned char kEc[] = {0x30, 0x0a, 0x06, 0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x04, 0x03, 0x02};
        OctetString der {rsa ? sizeof kRsa : sizeof kEc, const_cast<unsigned char*>(rsa ? kRsa : kEc)};
        void* algorithm = nullptr;
        Type(SEC_TYPE_AlgId)->decode(&der, &algorithm);
        return static_cast<AlgId*>(algorithm);
    }

    // The key store holds exactly `count` identities (never fewer than the two signers).
    void Identities(size_t count)
    {
        std::vector<kestrin::keystore::Identity> listed;
        store->ListIdentities(&listed);
        for (size_t i = listed.size(); i < count; ++i)
            Import(NewIdentity(EVP_EC_gen("P-256"), "listed " + std::to_string(i)), nullptr);
    }

    std::string home;
    std::unique_ptr<KeyStore> store;
    std::map<std::string, kestrin::keystore::Fingerprint> identities;
    unsigned char digest[SHA256_DIGEST_LENGTH] {};
    pid_t service = -1;
    SEC_FUNCTION_LIST* list = nullptr;
    API_COMMON* types = nullptr;
    PSE* proxy = nullptr;
};

Fixture& Get()
{
    static Fixture fixture;
    return fixture;
}

void OursSign(benchmark::State& state, const char* name, bool rsa)
{
    Fixture& f = Get();
    PSE* pse = f.Proxy();
    PersonalCertificateInfo* own = f.Own(pse, name);
    AlgId* algorithm = f.Algorithm(rsa);
    SECAttribute signature {SEC_ATTR_SIGNATURE_ALGORITHM, algorithm, 0, 0, 0, f.Type(SEC_TYPE_AlgId), nullptr};
    SECAttribute keyId {SEC_ATTR_KEY_ID, own->keyId, 0, 0, 0, f.Type(SEC_TYPE_String), &signature};
    SECAttribute uri {SEC_ATTR_TOKEN_URI, own->tokenName, 0, 0, 0, f.Type(SEC_TYPE_String), &keyId};
    for (auto _ : state) {
        unsigned char out[512];
        unsigned long length = sizeof out;
        if (pse->encryptDigest(nullptr, &uri, f.digest, sizeof f.digest, out, &length) != S_OK)
            state.SkipWithError("encryptDigest failed");
        benchmark::DoNotOptimize(out);
    }
    f.Type(SEC_TYPE_AlgId)->free(algorithm);
    f.Type(SEC_TYPE_PersonalCertificateInfo)->free(own);
}

void PeerSign(benchmark::State& state, const char* name)
{
    Fixture& f = Get();
    for (auto _ : state) {
        std::vector<uint8_t> signature;
        if (f.store->SignDigest(f.identities[name], kestrin::keystore::Digest::Sha256,
                                kestrin::keystore::SignPadding::Pkcs1, f.digest, &signature)
            != S_OK)
            state.SkipWithError("SignDigest failed");
        benchmark::DoNotOptimize(signature.data());
    }
}

void OursList(benchmark::State& state, size_t count)
{
    Fixture& f = Get();
    // The service would re-read the key store beside the measurement.
    f.StopService();
    f.Identities(count);
    API_COMMON* table = nullptr;
    if (f.list->get_api("zelkpse", "SEC_PSE_1", &table) != S_OK)
        Fail("no SEC_PSE_1 of zelkpse");
    char name[] = "tokkeychain:cfg=KVWC+KVC";
    SECAttribute attribute {SEC_ATTR_PSE_NAME, name, 0, 0, 0, f.Type(SEC_TYPE_String), nullptr};
    PSE* pse = nullptr;
    if (ZELK_ApiCast<SEC_PSE_TABLE>(table)->create_PSE(&pse, nullptr, &attribute) != S_OK)
        Fail("no key-store PSE");
    for (auto _ : state) {
        SET_OF_PersonalCertificateInfo* own = nullptr;
        pse->getOwnCertificate(nullptr, nullptr, &own);
        size_t listed = 0;
        for (SET_OF_PersonalCertificateInfo* node = own; node != nullptr; node = node->next)
            ++listed;
        if (listed != count)
            state.SkipWithError("wrong number of own certificates");
        f.Type(SEC_TYPE_SET_OF_PersonalCertificateInfo)->free(own);
    }
    pse->Release();
}

void PeerList(benchmark::State& state, size_t count)
{
    Fixture& f = Get();
    f.Identities(count);
    for (auto _ : state) {
        std::vector<kestrin::keystore::Identity> listed;
        f.store->ListIdentities(&listed);
        if (listed.size() != count)
            state.SkipWithError("wrong number of identities");
        benchmark::DoNotOptimize(listed.data());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::RegisterBenchmark("BM_Ours_Sign_RSA2048", OursSign, "rsa", true)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_Peer_Sign_RSA2048", PeerSign, "rsa")->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_Ours_Sign_P256", OursSign, "ec", false)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_Peer_Sign_P256", PeerSign, "ec")->Unit(benchmark::kMicrosecond);
    std::vector<kestrin::bench::RatioPair> pairs =
        kestrin::bench::OursOverPeer({"Sign_RSA2048", "Sign_P256"}, "BM_Peer_", "whole road / key store");
    for (size_t count : {10, 100, 1000}) {
        std::string size = "List_" + std::to_string(count);
        benchmark::RegisterBenchmark(("BM_Ours_" + size).c_str(), OursList, count)->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark(("BM_Peer_" + size).c_str(), PeerList, count)->Unit(benchmark::kMicrosecond);
        pairs.push_back({size + " (key-store PSE / key store)", "BM_Ours_" + size, "BM_Peer_" + size});
    }
    kestrin::bench::RatioReporter reporter(std::move(pairs));
    return kestrin::bench::RunWithRatios(argc, argv, reporter);
}
