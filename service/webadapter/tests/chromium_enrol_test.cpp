// A web-adapter profile enrolled end to end from a page in Chromium: the
// service's local server in this process with the local-server profile's
// identity, the real facade, token manager and profile tokens over the crypto
// library's in-memory tokens, the real enrolment client making the key and
// request, and the test enrolment server serving the page and issuing from
// its request. openssl checks the request and the enrolled key's signature.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "chromium/chromium_fixture.h"
#include "enrol_server.h"
#include "keystore.h"
#include "qev_token.h"
#include "test_process.h"
#include "token_fixture.h"
#include "tokens/token_kv.h"
#include "tokens/token_kv_persistent.h"
#include "tokens/token_manager.h"
#include "webadapter/web_adapter_service.h"
#include "zelkpse.h"

namespace kestrin::webadapter::test {
namespace {

using kestrin::service::test::WaitFor;
using kestrin::testsupport::Base64Decode;
using kestrin::testsupport::ChildProcess;
using kestrin::testsupport::Chromium;
using kestrin::testsupport::EnrolServer;
using kestrin::testsupport::FreeLoopbackPort;
using kestrin::testsupport::RunProgram;
using kestrin::testsupport::TempFolder;
using kestrin::tokens::test::CertOf;
using kestrin::tokens::test::KeyOf;
using kestrin::tokens::test::ReadFile;
using kestrin::tokens::test::WriteFile;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CToken_KV;
using ZELK::PSESVC::CToken_LocalServer;
using ZELK::PSESVC::CTokenMgr;
using ZELK::PSESVC::CWebAdapterService;
using ZELK::PSESVC::ProfileTokenCreator;

constexpr const char* kWebReader = "toksw:mem://kestrin/web";
constexpr const char* kHubReader = "toksw:mem://kestrin/hub";
constexpr const char* kProfileId = "web1";

// A program's standard output and error output together.
std::string Output(const std::string& command)
{
    std::string output;
    RunProgram({"sh", "-c", command + " 2>&1"}, {}, &output);
    return output;
}

std::vector<std::string> StoreIdentities()
{
    std::unique_ptr<keystore::KeyStore> store;
    std::vector<keystore::Identity> identities;
    if (SUCCEEDED(keystore::KeyStore::Open({}, &store)) && store)
        store->ListIdentities(&identities);
    std::vector<std::string> names;
    for (const auto& identity : identities)
        names.push_back(identity.printName);
    return names;
}

// One answer of the local API.
struct Reply {
    int status = 0;
    nlohmann::json body;
};

// What a page reported: each call by name ("status" a number or "rejected").
class Report {
public:
    explicit Report(nlohmann::json results) : m_results(std::move(results)) {}
    bool Has(const std::string& name) const { return !Find(name).is_null(); }
    std::string Status(const std::string& name) const
    {
        const nlohmann::json& r = Find(name);
        return r.is_null() ? "missing" : r["status"].dump();
    }
    nlohmann::json Body(const std::string& name) const
    {
        const nlohmann::json& r = Find(name);
        if (r.is_null() || !r.contains("body"))
            return {};
        return nlohmann::json::parse(r["body"].get<std::string>(), nullptr, false);
    }
    std::string Text(const std::string& name) const
    {
        const nlohmann::json& r = Find(name);
        return r.is_null() || !r.contains("body") ? "" : r["body"].get<std::string>();
    }
    std::string Dump() const { return m_results.dump(1); }

private:
    const nlohmann::json& Find(const std::string& name) const
    {
        static const nlohmann::json none;
        for (const nlohmann::json& r : m_results)
            if (r.value("name", "") == name)
                return r;
        return none;
    }
    nlohmann::json m_results;
};

class ChromiumEnrolTest : public tokens::test::TokenTest {
protected:
    static void SetUpTestSuite()
    {
        signal(SIGPIPE, SIG_IGN);
        if (!Chromium::Available())
            return;
        s_pages = new EnrolServer();
        s_pages->ServePages(KESTRIN_WEBADAPTER_PAGES);
        std::string error;
        ASSERT_TRUE(s_pages->Start(error)) << error;
        s_chromium = new Chromium();
        ASSERT_TRUE(s_chromium->Trust(s_pages->File("root"), error)) << error;
        s_port = FreeLoopbackPort();
        s_files = new TempFolder("chromium-enrol");
        ASSERT_TRUE(MakeLocalServerIdentity());
    }
    static void TearDownTestSuite()
    {
        delete s_chromium;
        delete s_pages;
        delete s_files;
        s_chromium = nullptr;
        s_pages = nullptr;
        s_files = nullptr;
    }

    // The local server's identity for "localhost" from the test CA, its port
    // in the local-server extension: "hub.pem" and its key "hub.p8".
    static bool MakeLocalServerIdentity()
    {
        const std::string d = s_files->path() + "/hub";
        char port[40];
        std::snprintf(port, sizeof port, s_port < 0x8000 ? "DER:02:02:%02X:%02X" : "DER:02:03:00:%02X:%02X",
                      s_port >> 8, s_port & 0xFF);
        WriteFile(d + ".ext", std::string("basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\n"
                                          "extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n"
                                          "1.3.6.1.4.1.32473.2.5.2=")
                                  + port + "\n");
        return RunProgram({"openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", d + ".key", "-out",
                           d + ".csr", "-subj", "/CN=localhost"},
                          {})
                   == 0
               && RunProgram({"openssl", "x509", "-req", "-in", d + ".csr", "-CA", s_pages->File("inter"), "-CAkey",
                              s_pages->File("inter.key"), "-set_serial", "77", "-days", "2", "-extfile", d + ".ext",
                              "-out", d + ".pem"},
                             {})
                      == 0
               && RunProgram({"openssl", "pkcs8", "-topk8", "-nocrypt", "-in", d + ".key", "-outform", "DER", "-out",
                              d + ".p8"},
                             {})
                      == 0;
    }

    void SetUp() override
    {
        if (!Chromium::Available())
            GTEST_SKIP() << "chromium is not installed";
        ASSERT_NE(s_pages, nullptr);
        m_data = std::make_unique<TempFolder>("chromium-enrol-data");
        setenv("XDG_DATA_HOME", m_data->path().c_str(), 1);
        TokenTest::SetUp();
        m_accepted = "https://enrol.test:" + std::to_string(s_pages->Port("good"));
        m_other = "https://other.test:" + std::to_string(s_pages->Port("good"));
        static int s_round = 0;
        ++s_round;
        WritePlist("{'profiles': {"
                   " 'web': {'PseType': 'webadapter', 'keySize': 2048,"
                   "         'enrollURL0': '"
                   + m_accepted
                   + "/kvc?profile=web1'},"
                     " 'hub': {'PseType': 'hearthgate', 'enrollURL0': 'https://ca.test/', 'AutoEnroll': 1}},"
                     " 'written': {'round': "
                   + std::to_string(s_round) + "}}");
        WaitForPolicy("written", "round", static_cast<uint32_t>(s_round));
        CTokenMgr::SetProfileTokenCreator(static_cast<ProfileTokenCreator>(&CToken_KV::New));
        ASSERT_EQ(CSingletonFactoryImpl<CTokenMgr>::New(&m_manager), S_OK);
        for (const char* reader : {kWebReader, kHubReader}) {
            SecSlot* slot = nullptr;
            ASSERT_EQ(ZELK::PSESVC::ZELKPSE::getSlot(&slot, reader), S_OK) << reader;
            // The in-memory token outlives a runtime restart: it starts empty.
            SecToken* memory = nullptr;
            if (SUCCEEDED(slot->getToken(&memory)) && memory != nullptr) {
                if (memory->isInitialized() == S_OK)
                    memory->deleteToken();
                memory->Release();
            }
            m_slots.push_back(slot);
            ASSERT_EQ(m_manager->CardInsert(slot, false), S_OK) << reader;
        }
        CToken* hub = nullptr;
        ASSERT_EQ(m_manager->GetOwnKVSTokenByName("hub", &hub), S_OK);
        CToken_LocalServer* server = nullptr;
        ASSERT_EQ(hub->QueryInterface(IID_CToken_LocalServer, reinterpret_cast<void**>(&server)), S_OK);
        hub->Release();
        Certificate* cert = CertOf(s_files->path() + "/hub.pem");
        Certificate* inter = CertOf(s_pages->File("inter"));
        Certificate* root = CertOf(s_pages->File("root"));
        KeyInfo* key = KeyOf(s_files->path() + "/hub.p8");
        void* node = nullptr;
        SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_Certificate)->new_node(&node);
        auto* chain = static_cast<SET_OF_Certificate*>(node);
        chain->element = inter;
        EXPECT_EQ(server->UpdateToken(key, cert, chain, root), S_OK);
        SEC_TypeTable(fptr__common_types, SEC_TYPE_SET_OF_Certificate)->free(chain);
        SEC_TypeTable(fptr__common_types, SEC_TYPE_KeyInfo)->free(key);
        cert->Release();
        root->Release();
        static_cast<CToken*>(server)->Release();

        CToken* web = nullptr;
        ASSERT_EQ(m_manager->GetOwnKVSTokenByName("web", &web), S_OK);
        m_web = web;
        m_service = std::make_unique<CWebAdapterService>();
        ASSERT_EQ(m_service->Start(), S_OK);
    }
    void TearDown() override
    {
        if (m_service)
            m_service->Stop();
        m_service.reset();
        if (m_web != nullptr)
            m_web->Release();
        m_web = nullptr;
        for (SecSlot* slot : m_slots) {
            m_manager->CardRemove(slot);
            slot->Release();
        }
        m_slots.clear();
        if (m_manager)
            m_manager->Release();
        m_manager = nullptr;
        CTokenMgr::SetProfileTokenCreator(nullptr);
        if (m_data)
            TokenTest::TearDown();
        m_data.reset();
    }

    // A call of the local API by curl from `origin`: GET without a body.
    Reply Api(const std::string& path, const std::string& origin, const nlohmann::json& body = nullptr)
    {
        std::vector<std::string> args {"curl",       "-s",
                                       "--max-time", "60",
                                       "--cacert",   s_pages->File("root"),
                                       "-H",         "Origin: " + origin,
                                       "-w",         "\n%{http_code}"};
        if (!body.is_null())
            args.insert(args.end(), {"-H", "Content-Type: application/json", "--data-binary", body.dump()});
        args.push_back("https://localhost:" + std::to_string(s_port) + "/kvc3/api/" + path);
        std::string output;
        RunProgram(args, {}, &output);
        Reply reply;
        const size_t end = output.rfind('\n');
        if (end == std::string::npos)
            return reply;
        reply.status = std::atoi(output.c_str() + end + 1);
        reply.body = nlohmann::json::parse(output.substr(0, end), nullptr, false);
        return reply;
    }
    std::string Status(const std::string& origin)
    {
        Reply reply = Api(std::string("status?profileid=") + kProfileId, origin);
        return std::to_string(reply.status) + " " + reply.body.value("status", "");
    }

    // The Base64 PKCS#7 the enrolment server issues from a Base64 request.
    std::string Issue(const std::string& pkcs10)
    {
        std::string output;
        RunProgram({"curl", "-s", "--fail", "--max-time", "60", "--cacert", s_pages->File("root"), "--data-binary",
                    pkcs10, s_pages->Url("good", "/issue")},
                   {}, &output);
        return output;
    }

    // A new context of the accepted origin, without a browser to watch.
    std::string OpenContext()
    {
        Reply reply =
            Api("createContext", m_accepted, {{"profileid", kProfileId}, {"clientConfig", nlohmann::json::object()}});
        EXPECT_EQ(reply.status, 200) << reply.body.dump();
        return reply.body.value("uid", "");
    }
    Reply CreatePKCS10(const std::string& uid, const std::string& subject, const std::string& extensions = "")
    {
        return Api(
            "createPKCS10", m_accepted,
            {{"profileid", kProfileId}, {"uid", uid}, {"subjectNameDER", subject}, {"extensionsDER", extensions}});
    }
    // The context's Base64 PKCS#10 request for "O=Kestrin Test, CN=Web User";
    // empty when it fails.
    std::string Request(const std::string& uid)
    {
        Reply reply = CreatePKCS10(uid, "MCoxFTATBgNVBAoMDEtlc3RyaW4gVGVzdDERMA8GA1UEAwwIV2ViIFVzZXI=");
        return reply.status == 200 ? reply.body.value("pkcs10", "") : "";
    }
    Reply Import(const std::string& uid, const std::string& pkcs7)
    {
        return Api("importP7", m_accepted, {{"profileid", kProfileId}, {"uid", uid}, {"pkcs7", pkcs7}});
    }
    // Enrols the profile through the API from the accepted origin: the
    // Base64 PKCS#7 imported, empty when a step failed.
    std::string Enrol()
    {
        const std::string uid = OpenContext();
        const std::string pkcs7 = Issue(Request(uid));
        return !pkcs7.empty() && Import(uid, pkcs7).status == 200 ? pkcs7 : "";
    }

    // Loads the enrolment page from `origin` with `query` added and waits for
    // its report; the browser runs on until `browser` is stopped.
    Report RunPage(const std::string& origin, const std::string& query, ChildProcess& browser)
    {
        EXPECT_TRUE(s_pages->Reset());
        const std::string url =
            origin + "/pages/enrol.html?port=" + std::to_string(s_port) + "&profile=" + kProfileId + query;
        EXPECT_TRUE(s_chromium->Open(url, browser));
        // The server's request list is asked now and then, not in a tight loop.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (std::chrono::steady_clock::now() < deadline) {
            for (const nlohmann::json& request : s_pages->Requests()) {
                if (request["method"] == "POST" && request["target"] == "/report") {
                    nlohmann::json report = nlohmann::json::parse(EnrolServer::Body(request), nullptr, false);
                    return Report(report.is_array() ? report : nlohmann::json::array());
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ADD_FAILURE() << "no report from " << url;
        return Report(nlohmann::json::array());
    }

    // Signs with the enrolled key on its token; true when openssl verifies
    // the signature with the public key of the certificate the PKCS#7 (Base64)
    // carries first.
    bool SignsForTheIssuedCertificate(const std::string& pkcs7)
    {
        const std::string d = m_data->path() + "/";
        WriteFile(d + "issued.p7", Base64Decode(pkcs7));
        WriteFile(d + "message.txt", "signed by the enrolled key");
        if (RunProgram({"openssl", "pkcs7", "-inform", "DER", "-in", d + "issued.p7", "-print_certs", "-out",
                        d + "issued.pem"},
                       {})
                != 0
            || RunProgram({"openssl", "x509", "-in", d + "issued.pem", "-pubkey", "-noout", "-out", d + "issued.pub"},
                          {})
                   != 0)
            return false;
        // sha256WithRSAEncryption
        unsigned char oid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x0B};
        ObjId objid {sizeof oid, oid};
        AlgId algorithm {&objid, nullptr};
        const std::string message = ReadFile(d + "message.txt");
        unsigned char signature[1024];
        unsigned long length = sizeof signature;
        if (m_web->Sign("01", &algorithm, false, reinterpret_cast<const unsigned char*>(message.data()), message.size(),
                        signature, &length, nullptr)
            != S_OK)
            return false;
        WriteFile(d + "signature.bin", std::string(reinterpret_cast<char*>(signature), length));
        return RunProgram({"openssl", "dgst", "-sha256", "-verify", d + "issued.pub", "-signature", d + "signature.bin",
                           d + "message.txt"},
                          {})
               == 0;
    }

    // The certificates on the profile's in-memory token.
    unsigned long TokenCertificates()
    {
        SecToken* memory = nullptr;
        unsigned long count = 0;
        if (SUCCEEDED(m_slots.front()->getToken(&memory)) && memory != nullptr) {
            if (FAILED(memory->getObjects(nullptr, &count, TOKEN_OBJECT_CERTIFICATE, nullptr, nullptr)))
                count = 0;
            memory->Release();
        }
        return count;
    }

    static inline EnrolServer* s_pages = nullptr;
    static inline Chromium* s_chromium = nullptr;
    static inline TempFolder* s_files = nullptr;
    static inline int s_port = -1;
    std::unique_ptr<TempFolder> m_data;
    std::string m_accepted;
    std::string m_other;
    CTokenMgr* m_manager = nullptr;
    std::vector<SecSlot*> m_slots;
    CToken* m_web = nullptr;
    std::unique_ptr<CWebAdapterService> m_service;
};

// From the profile's own origin the page opens a context whose browser is
// watched, has the service make the key and request, has its server issue,
// imports the reply and reads the profile logged in; the key on the token
// signs for the issued certificate; ending Chromium logs the profile out.
TEST_F(ChromiumEnrolTest, PageEnrolsTheProfileAndEndingChromiumLogsItOut)
{
    EXPECT_EQ(Status(m_accepted), "200 LOGGED_OUT");
    EXPECT_TRUE(StoreIdentities().empty());
    CaptureTrace(3);
    ChildProcess browser;
    Report report = RunPage(m_accepted, "", browser);
    ASSERT_EQ(report.Status("createContext"), "200") << report.Dump();
    EXPECT_EQ(report.Body("createContext").value("uid", "").size(), 32u) << report.Dump();
    ASSERT_EQ(report.Status("createPKCS10"), "200") << report.Dump();
    ASSERT_EQ(report.Status("issue"), "200") << report.Dump();
    EXPECT_EQ(report.Status("importP7"), "200") << report.Dump();
    EXPECT_EQ(report.Body("importP7").value("status", ""), "SUCCESS") << report.Dump();
    EXPECT_EQ(report.Status("status"), "200") << report.Dump();
    EXPECT_EQ(report.Body("status").value("status", ""), "LOGGED_IN") << report.Dump();

    // The request as the policy and the page asked for it.
    const std::string request = m_data->path() + "/request.der";
    WriteFile(request, Base64Decode(report.Body("createPKCS10").value("pkcs10", "")));
    const std::string text = Output("openssl req -inform DER -in " + request + " -verify -text -noout");
    for (const char* part :
         {"verify OK", "Subject: O = Kestrin Test, CN = Web User", "Public-Key: (2048 bit)",
          "email:web.user@example.org", "Digital Signature, Key Encipherment", "TLS Web Client Authentication"})
        EXPECT_NE(text.find(part), std::string::npos) << part << "\n" << text;

    // The identity is the token's and the key store's, and it signs.
    EXPECT_FALSE(m_web->NeedLogin());
    EXPECT_EQ(StoreIdentities(), std::vector<std::string>({"QEV Kestrin (web)"}));
    EXPECT_TRUE(SignsForTheIssuedCertificate(report.Text("issue")));
    EXPECT_EQ(Status(m_accepted), "200 LOGGED_IN");

    // The watched process is Chromium's network service, which made the
    // connection.
    const std::string started = "BrowserMonitor: start Monitor for host/profileid/pid: [" + m_accepted + "][web1][";
    std::string pid;
    for (const std::string& line : TraceLines())
        if (line.find(started) != std::string::npos)
            pid = line.substr(line.find(started) + started.size());
    pid = pid.substr(0, pid.find(']'));
    ASSERT_FALSE(pid.empty());
    EXPECT_NE(ReadFile("/proc/" + pid + "/cmdline").find("network.mojom.NetworkService"), std::string::npos) << pid;

    browser.Stop();
    EXPECT_TRUE(WaitFor([&] { return m_web->NeedLogin(); }, std::chrono::seconds(30)));
    EXPECT_EQ(Status(m_accepted), "200 LOGGED_OUT");
    EXPECT_TRUE(StoreIdentities().empty());
}

// The same page from another origin: every call fails in the browser, and the
// enrolled profile, its token, the key store and an open context of the
// accepted origin stay as they were.
TEST_F(ChromiumEnrolTest, PageFromAnotherOriginChangesNothing)
{
    const std::string pkcs7 = Enrol();
    ASSERT_FALSE(pkcs7.empty());
    // An open context the other page names.
    const std::string open = OpenContext();
    const unsigned long certificates = TokenCertificates();
    const std::vector<std::string> identities = StoreIdentities();
    ASSERT_EQ(identities, std::vector<std::string>({"QEV Kestrin (web)"}));

    ChildProcess browser;
    Report report = RunPage(m_other, "&uid=" + open, browser);
    for (const char* name : {"createContext", "createPKCS10", "importP7", "status", "cancelContext", "login", "logout"})
        EXPECT_EQ(report.Status(name), "\"rejected\"") << name << "\n" << report.Dump();
    EXPECT_FALSE(report.Has("issue"));
    browser.Stop();

    EXPECT_EQ(Status(m_accepted), "200 LOGGED_IN");
    EXPECT_FALSE(m_web->NeedLogin());
    EXPECT_EQ(TokenCertificates(), certificates);
    EXPECT_EQ(StoreIdentities(), identities);
    EXPECT_TRUE(SignsForTheIssuedCertificate(pkcs7));
    // The context the page tried to use and cancel is still open.
    EXPECT_FALSE(Request(open).empty());
}

// A reply whose certificate is not for the context's key fails its import
// and leaves the working login and its identity in place; the right reply
// of another context still replaces it.
TEST_F(ChromiumEnrolTest, AReplyForAnotherKeyKeepsTheWorkingLogin)
{
    const std::string first = Enrol();
    ASSERT_FALSE(first.empty());
    const std::string wrong = OpenContext();
    const std::string right = OpenContext();
    ASSERT_FALSE(Request(wrong).empty());
    const std::string reply = Issue(Request(right));
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(Import(wrong, reply).status, 500);
    EXPECT_EQ(Status(m_accepted), "200 LOGGED_IN");
    EXPECT_EQ(StoreIdentities(), std::vector<std::string>({"QEV Kestrin (web)"}));
    EXPECT_TRUE(SignsForTheIssuedCertificate(first));
    // The failed import used its context's client up.
    EXPECT_EQ(Import(wrong, reply).status, 500);

    EXPECT_EQ(Import(right, reply).status, 200);
    EXPECT_EQ(Status(m_accepted), "200 LOGGED_IN");
    EXPECT_TRUE(SignsForTheIssuedCertificate(reply));
    EXPECT_FALSE(SignsForTheIssuedCertificate(first));
}

// A subject or extensions of the page that are not Base64 DER of a name or
// an extension list make no request: 500, and the context still makes one
// for good values. The enrolment client would put its own subject in place of
// one it cannot read.
TEST_F(ChromiumEnrolTest, ASubjectOrExtensionsNotDerMakeNoRequest)
{
    const std::string uid = OpenContext();
    struct Case {
        const char* subject;
        const char* extensions;
    };
    // "not der"; a name cut short; an extension list given as the subject.
    for (const Case& c :
         {Case {"bm90IGRlcg==", ""}, Case {"%%%", ""}, Case {"MCoxFTATBgNVBAoMDEtlc3Ry", ""}, Case {"MAMCAQc=", ""},
          Case {"MCoxFTATBgNVBAoMDEtlc3RyaW4gVGVzdDERMA8GA1UEAwwIV2ViIFVzZXI=", "bm90IGRlcg=="}}) {
        Reply reply = CreatePKCS10(uid, c.subject, c.extensions);
        EXPECT_EQ(reply.status, 500) << c.subject << " " << c.extensions << " " << reply.body.dump();
    }
    const std::string request = Request(uid);
    ASSERT_FALSE(request.empty());
    WriteFile(m_data->path() + "/request.der", Base64Decode(request));
    const std::string text = Output("openssl req -inform DER -in " + m_data->path() + "/request.der -noout -subject");
    EXPECT_NE(text.find("subject=O = Kestrin Test, CN = Web User"), std::string::npos) << text;
}

}  // namespace
}  // namespace kestrin::webadapter::test
