// The local HTTPS server's chain in this process (raw TCP server, TLS layer,
// HTTP layer, API handler and the real facade over the token manager's
// web-adapter profiles, answering "status") beside nginx serving a static JSON
// of the same size and headers with the same RSA 2048 identity, TLS versions,
// ciphers, session cache and tickets. One OpenSSL client loop measures both
// on 127.0.0.1: keep-alive requests on one connection per thread, a full
// handshake per request, a resumed session per request; then the keep-alive
// request and the facade's origin check with 200 web-adapter profiles, the
// page's own listed last.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "qev_doubles.h"
#include "qev_io.h"
#include "ratio_reporter.h"
#include "test_process.h"
#include "tokens/token_kv.h"
#include "tokens/token_manager.h"
#include "webadapter/kvc_api_facade.h"
#include "webadapter/tls_connection_factory.h"
#include "webadapter/web_adapter_service.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_module.h"

namespace {

using kestrin::testsupport::ChildProcess;
using kestrin::testsupport::FreeLoopbackPort;
using kestrin::testsupport::RunProgram;
using kestrin::testsupport::TempFolder;
using ZELK::PSESVC::CKVCAPIFacade;
using ZELK::PSESVC::CToken_KV;
using ZELK::PSESVC::CTokenMgr;
using ZELK::PSESVC::WEBCLIENT::CTLSConnectionFactory;

const std::string kOrigin = "https://enrol.test:8443";
// Web-adapter profiles of the larger configuration; the page's is the last.
constexpr size_t kProfiles = 200;

API_COMMON* s_io = nullptr;
CLoadAPI s_loadIo(nullptr, "SEC_IO_1", &s_io);

std::string s_image;
int s_ourPort = -1;
int s_peerPort = -1;
std::string s_caFile;

class BenchFactory : public CTLSConnectionFactory {
protected:
    HRESULT EnrollLocalhostProfile() override
    {
        SetIdentity("localserver", s_image.c_str(), s_ourPort);
        return S_OK;
    }
};

// The profile names: "web000" (the page's, profile id "p1") and "web001"..
std::string ProfileName(size_t i)
{
    char name[16];
    std::snprintf(name, sizeof name, "web%03zu", i);
    return name;
}

// The user's preference file with the web-adapter profiles, before the
// policy store first reads it.
bool WritePolicy(const std::string& config)
{
    std::error_code ec;
    std::filesystem::create_directories(config + "/kestrin", ec);
    std::ofstream out(config + "/kestrin/settings.plist");
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict><key>profiles</key><dict>\n";
    for (size_t i = 0; i < kProfiles; ++i) {
        const std::string url =
            i == 0 ? kOrigin + "/kvc?profile=p1"
                   : "https://enrol" + std::to_string(i) + ".test:8443/kvc?profile=p" + std::to_string(i + 1);
        out << "<key>" << ProfileName(i) << "</key><dict><key>PseType</key><string>webadapter</string>"
            << "<key>enrollURL0</key><string>" << url << "</string></dict>\n";
    }
    out << "</dict></dict>\n</plist>\n";
    return static_cast<bool>(out);
}

// The profiles' tokens as the token manager sees them once their slots are
// in: the page's alone, or all of them with the page's inserted last, so that
// the origin check and the profile look-up walk every other one first.
class Profiles {
public:
    bool Start()
    {
        CTokenMgr::SetProfileTokenCreator(static_cast<ZELK::PSESVC::ProfileTokenCreator>(&CToken_KV::New));
        if (FAILED(CSingletonFactoryImpl<CTokenMgr>::New(&m_manager)) || m_manager == nullptr)
            return false;
        for (size_t i = 0; i < kProfiles; ++i) {
            const std::string uri = "toksw:mem://kestrin/" + ProfileName(i);
            auto* slot = new kestrin::qevtest::FakeSlot(uri);
            auto* token = new kestrin::qevtest::FakeToken(uri, "label", "serial");
            slot->SetToken(token);
            token->Release();
            m_slots.push_back(slot);
        }
        return SUCCEEDED(m_manager->CardInsert(m_slots[0], false));
    }
    bool UseAll()
    {
        if (m_all)
            return true;
        m_all = SUCCEEDED(m_manager->CardRemove(m_slots[0]));
        for (size_t i = 1; i < kProfiles && m_all; ++i)
            m_all = SUCCEEDED(m_manager->CardInsert(m_slots[i], false));
        m_all = m_all && SUCCEEDED(m_manager->CardInsert(m_slots[0], false));
        return m_all;
    }
    void Stop()
    {
        for (size_t i = 0; i < m_slots.size() && m_manager != nullptr; ++i)
            m_manager->CardRemove(m_slots[i]);
        for (kestrin::qevtest::FakeSlot* slot : m_slots)
            slot->Release();
        m_slots.clear();
        if (m_manager != nullptr)
            m_manager->Release();
        m_manager = nullptr;
        CTokenMgr::SetProfileTokenCreator(nullptr);
    }

private:
    CTokenMgr* m_manager = nullptr;
    std::vector<kestrin::qevtest::FakeSlot*> m_slots;
    bool m_all = false;
};

Profiles s_profiles;

const std::string kRequest =
    "GET /kvc3/api/status?profileid=p1 HTTP/1.1\r\nHost: localhost\r\nOrigin: " + kOrigin + "\r\n\r\n";

int ConnectTo(int port)
{
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit {30, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// One request on a connected session: the whole response (headers and the
// body its Content-Length announces), empty on failure.
std::string Exchange(SSL* ssl)
{
    if (SSL_write(ssl, kRequest.data(), static_cast<int>(kRequest.size())) <= 0)
        return "";
    std::string answer;
    char buffer[4096];
    for (;;) {
        size_t end = answer.find("\r\n\r\n");
        if (end != std::string::npos) {
            size_t field = answer.find("Content-Length: ");
            size_t length = field < end ? std::stoul(answer.substr(field + 16)) : 0;
            if (answer.size() >= end + 4 + length)
                return answer;
        }
        int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0)
            return "";
        answer.append(buffer, static_cast<size_t>(n));
    }
}

struct Session {
    SSL* ssl = nullptr;
    int fd = -1;
    bool Open(SSL_CTX* context, int port, SSL_SESSION* resume)
    {
        fd = ConnectTo(port);
        if (fd < 0)
            return false;
        ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        SSL_set1_host(ssl, "localhost");
        if (resume != nullptr)
            SSL_set_session(ssl, resume);
        return SSL_connect(ssl) == 1;
    }
    void Close()
    {
        if (ssl != nullptr) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
        }
        if (fd >= 0)
            close(fd);
        ssl = nullptr;
        fd = -1;
    }
};

SSL_CTX* NewClientContext()
{
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_load_verify_locations(context, s_caFile.c_str(), nullptr);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_CLIENT);
    return context;
}

void KeepAlive(benchmark::State& state, int port)
{
    SSL_CTX* context = NewClientContext();
    Session session;
    if (!session.Open(context, port, nullptr)) {
        state.SkipWithError("no TLS connection");
    } else {
        for (auto _ : state) {
            if (Exchange(session.ssl).empty()) {
                state.SkipWithError("no answer");
                break;
            }
        }
    }
    session.Close();
    SSL_CTX_free(context);
}

// A new connection per request: a full handshake, or, with `resume`, the
// session of the first one resumed.
void PerRequest(benchmark::State& state, int port, bool resume)
{
    SSL_CTX* context = NewClientContext();
    SSL_SESSION* saved = nullptr;
    for (auto _ : state) {
        Session session;
        bool ok = session.Open(context, port, saved) && !Exchange(session.ssl).empty();
        if (ok && resume && saved != nullptr && SSL_session_reused(session.ssl) != 1)
            ok = false;
        if (ok && resume) {
            // A TLS 1.3 ticket is used once: the next request takes this one's.
            SSL_SESSION_free(saved);
            saved = SSL_get1_session(session.ssl);
        }
        session.Close();
        if (!ok) {
            state.SkipWithError("request failed");
            break;
        }
    }
    SSL_SESSION_free(saved);
    SSL_CTX_free(context);
}

void BM_Ours_KeepAlive(benchmark::State& state)
{
    KeepAlive(state, s_ourPort);
}
void BM_Peer_KeepAlive(benchmark::State& state)
{
    KeepAlive(state, s_peerPort);
}
void BM_Ours_Handshake(benchmark::State& state)
{
    PerRequest(state, s_ourPort, false);
}
void BM_Peer_Handshake(benchmark::State& state)
{
    PerRequest(state, s_peerPort, false);
}
void BM_Ours_Resumed(benchmark::State& state)
{
    PerRequest(state, s_ourPort, true);
}
void BM_Peer_Resumed(benchmark::State& state)
{
    PerRequest(state, s_peerPort, true);
}

// The facade's origin check alone, as the handler calls it per request.
void CheckOrigin(benchmark::State& state)
{
    AuxRefPtr<CKVCAPIFacade> facade;
    if (FAILED(ZELK_CreateObject("zelk", ZELK::PSESVC::KVC_API_FACADE_CLASS, IID_CKVCAPIFacade,
                                 reinterpret_cast<void**>(&facade)))
        || !facade) {
        state.SkipWithError("no facade");
        return;
    }
    for (auto _ : state) {
        char* allowed = nullptr;
        if (!facade->checkOrigin(kOrigin.c_str(), &allowed)) {
            state.SkipWithError("origin refused");
            break;
        }
        sec_free(allowed);
    }
}
void BM_Ours_CheckOrigin(benchmark::State& state)
{
    CheckOrigin(state);
}
void BM_Ours200_CheckOrigin(benchmark::State& state)
{
    if (!s_profiles.UseAll())
        state.SkipWithError("profiles not inserted");
    else
        CheckOrigin(state);
}
void BM_Ours200_KeepAlive(benchmark::State& state)
{
    if (!s_profiles.UseAll())
        state.SkipWithError("profiles not inserted");
    else
        KeepAlive(state, s_ourPort);
}

// In this order: everything with one profile before the 200 are inserted.
BENCHMARK(BM_Ours_KeepAlive)->UseRealTime()->Threads(1)->Threads(8);
BENCHMARK(BM_Peer_KeepAlive)->UseRealTime()->Threads(1)->Threads(8);
BENCHMARK(BM_Ours_Handshake)->UseRealTime();
BENCHMARK(BM_Peer_Handshake)->UseRealTime();
BENCHMARK(BM_Ours_Resumed)->UseRealTime();
BENCHMARK(BM_Peer_Resumed)->UseRealTime();
BENCHMARK(BM_Ours_CheckOrigin)->UseRealTime();
BENCHMARK(BM_Ours200_CheckOrigin)->UseRealTime();
BENCHMARK(BM_Ours200_KeepAlive)->UseRealTime()->Threads(1);

// nginx's configuration: the body and headers our chain answers, from a
// static location.
bool WriteNginxConfig(const std::string& folder, const std::string& body)
{
    std::ofstream out(folder + "/nginx.conf");
    out << "daemon off;\nworker_processes auto;\npid " << folder << "/nginx.pid;\nerror_log " << folder
        << "/error.log;\nevents { worker_connections 256; }\nhttp {\n  access_log off;\n  server_tokens off;\n"
        << "  client_body_temp_path " << folder << "/body;\n  proxy_temp_path " << folder << "/proxy;\n"
        << "  server {\n    listen 127.0.0.1:" << s_peerPort << " ssl;\n    ssl_certificate " << folder
        << "/cert.pem;\n    ssl_certificate_key " << folder << "/key.pem;\n"
        << "    ssl_protocols TLSv1.2 TLSv1.3;\n    ssl_ciphers ECDHE+AESGCM:ECDHE+CHACHA20;\n"
        << "    ssl_session_cache shared:bench:1m;\n    ssl_session_tickets on;\n    keepalive_requests 1000000;\n"
        << "    location /kvc3/api/status {\n      default_type \"application/json; charset=utf-8\";\n"
        << "      add_header Access-Control-Allow-Origin " << kOrigin << ";\n"
        << "      add_header Access-Control-Max-Age 0;\n      return 200 '" << body << "';\n    }\n  }\n}\n";
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    TempFolder folder("webadapterbench");
    const std::string d = folder.path();
    if (!WritePolicy(d + "/config")) {
        std::fprintf(stderr, "the policy was not written\n");
        return 1;
    }
    setenv("XDG_CONFIG_HOME", (d + "/config").c_str(), 1);
    setenv("XDG_CONFIG_DIRS", (d + "/system").c_str(), 1);
    // Registered after every static registration, so that it is found before
    // the service's own factory under the class name.
    static const CZELK_CLASS s_tlsFactory("zelk", ZELK::PSESVC::WEBCLIENT::TLS_FACTORY_CLASS,
                                          &CTLSConnectionFactory::NewOf<BenchFactory>);
    if (ZELK_Initialize() < 0) {
        std::fprintf(stderr, "the runtime did not start\n");
        return 1;
    }
    int result = 1;
    if (s_profiles.Start()) {
        s_caFile = d + "/cert.pem";
        s_ourPort = FreeLoopbackPort();
        s_peerPort = FreeLoopbackPort();
        bool made = RunProgram({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d + "/key.pem",
                                "-out", s_caFile, "-subj", "/CN=localhost", "-days", "2", "-addext",
                                "subjectAltName=IP:127.0.0.1,DNS:localhost"},
                               {})
                        == 0
                    && RunProgram({"openssl", "pkcs12", "-export", "-inkey", d + "/key.pem", "-in", s_caFile,
                                   "-passout", "pass:", "-out", d + "/id.p12"},
                                  {})
                           == 0;
        std::ifstream in(d + "/id.p12", std::ios::binary);
        std::string image(std::istreambuf_iterator<char>(in), {});
        OctetString data {image.size(), reinterpret_cast<unsigned char*>(image.data())};
        char* name = nullptr;
        const auto* io = ZELK_ApiCast<SEC_IO_TABLE>(s_io);
        if (made && io != nullptr && io->mem_reg(nullptr, &data, &name) == S_OK) {
            s_image = name;
            std::free(name);
            ZELK::PSESVC::CWebAdapterService service;
            SSL_CTX* context = NewClientContext();
            Session probe;
            std::string answer;
            if (service.Start() == S_OK && probe.Open(context, s_ourPort, nullptr))
                answer = Exchange(probe.ssl);
            probe.Close();
            SSL_CTX_free(context);
            ChildProcess nginx;
            if (!answer.empty() && WriteNginxConfig(d, answer.substr(answer.find("\r\n\r\n") + 4))
                && nginx.Start({"nginx", "-e", d + "/error.log", "-p", d, "-c", d + "/nginx.conf"}, {})) {
                // nginx is ready once its port answers.
                for (int i = 0; i < 500; ++i) {
                    int s = ConnectTo(s_peerPort);
                    if (s >= 0) {
                        close(s);
                        break;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
                std::vector<kestrin::bench::RatioPair> pairs =
                    kestrin::bench::OursOverPeer({"KeepAlive/real_time/threads:1", "KeepAlive/real_time/threads:8",
                                                  "Handshake/real_time", "Resumed/real_time"},
                                                 "BM_Peer_", "ours / nginx, time per request, 1 profile");
                pairs.push_back({"KeepAlive/real_time/threads:1 (ours / nginx, time per request, 200 profiles)",
                                 "BM_Ours200_KeepAlive/real_time/threads:1", "BM_Peer_KeepAlive/real_time/threads:1"});
                pairs.push_back({"CheckOrigin (200 profiles / 1 profile, time per call)",
                                 "BM_Ours200_CheckOrigin/real_time", "BM_Ours_CheckOrigin/real_time"});
                kestrin::bench::RatioReporter reporter(pairs);
                result = kestrin::bench::RunWithRatios(argc, argv, reporter);
                nginx.Stop();
            }
            service.Stop();
            io->mem_unreg(s_image.c_str());
        }
    }
    if (result != 0)
        std::fprintf(stderr, "the profiles, the chain or nginx did not start\n");
    s_profiles.Stop();
    ZELK_Finalize();
    return result;
}
