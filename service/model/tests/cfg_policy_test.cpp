// The policy-server settings model over the user's configuration in
// temporary folders, against the test enrolment server: the group list and
// its failures as the transport reports them, the values Apply writes as
// plistlib reads them, and the policy-group monitor downloading the chosen
// group's path through the real downloader module.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "enrol_server.h"
#include "keystore.h"
#include "model/model_cfg_policy.h"
#include "policy_groups_monitor.h"
#include "pse_factory.h"
#include "qev_attributes.h"
#include "qev_pse.h"
#include "qev_ssl.h"
#include "service_fixture.h"
#include "test_process.h"
#include "zelk_resloader.h"

namespace ZELK::PSESVC {
namespace {

API_COMMON* s_ascTable = nullptr;
CLoadAPI s_loadAsc(nullptr, "SEC_ASC_1", &s_ascTable);

}  // namespace

// The service's shared context: one without a provider, which trusts what the
// key store trusts; the same one while the runtime runs.
HRESULT CPSEFactory::GetASC(ASC** out)
{
    static ASC* shared = nullptr;
    const auto* table = ZELK_ApiCast<SEC_ASC_TABLE>(s_ascTable);
    if (shared == nullptr && table != nullptr) {
        SECAttribute noProvider {};
        noProvider.id = SEC_ATTR_NO_PROVIDER;
        table->create_ASC(&shared, &noProvider);
    }
    *out = shared;
    if (shared == nullptr)
        return E_FAIL;
    shared->AddRef();
    return S_OK;
}

}  // namespace ZELK::PSESVC

namespace kestrin::service::test {
namespace {

using kestrin::testsupport::EnrolServer;
using kestrin::testsupport::QueuedReply;
using ZELK::PSESVC::CModelCfgPolicy;
using ZELK::PSESVC::CPolicyGroupsMonitor;
using namespace ZELK::PSESVC;

EnrolServer* s_server = nullptr;

std::vector<std::string> Names(const char* multi)
{
    std::vector<std::string> out;
    for (const char* p = multi; p != nullptr && *p != '\0'; p += std::strlen(p) + 1)
        out.emplace_back(p);
    return out;
}

std::string Text(const char* key)
{
    IResourceManager* resources = nullptr;
    std::string text;
    if (GetResourceManager(L"kvlogsvc", &resources) == S_OK && resources != nullptr) {
        text = StringT<char>(resources->GetW(key), 0);
        resources->Release();
    }
    return text;
}

class CfgPolicy : public ServiceTest {
protected:
    static void SetUpTestSuite()
    {
        s_server = new EnrolServer();
        std::string error;
        if (!s_server->Start(error))
            GTEST_FAIL() << error;
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(s_server, nullptr);
        char tmpl[] = "/tmp/cfgpolicy-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_home = tmpl;
        std::filesystem::create_directories(m_home + "/user/kestrin");
        std::filesystem::create_directories(m_home + "/system/kestrin");
        setenv("XDG_CONFIG_HOME", (m_home + "/user").c_str(), 1);
        setenv("XDG_CONFIG_DIRS", (m_home + "/system").c_str(), 1);
        setenv("XDG_DATA_HOME", (m_home + "/data").c_str(), 1);
        TrustTestRoot();
        s_server->Reset();
        ServiceTest::SetUp();
    }

    void TearDown() override
    {
        if (m_monitor != nullptr) {
            m_monitor->Stop();
            m_monitor->Release();
        }
        if (m_model != nullptr)
            m_model->Release();
        ServiceTest::TearDown();
        std::error_code ec;
        std::filesystem::remove_all(m_home, ec);
    }

    void TrustTestRoot()
    {
        std::unique_ptr<kestrin::keystore::KeyStore> store;
        ASSERT_EQ(kestrin::keystore::KeyStore::Open({}, &store), S_OK);
        std::string body;
        std::istringstream in(s_server->ReadFile("root"));
        for (std::string line; std::getline(in, line);)
            if (line.rfind("-----", 0) != 0)
                body += line;
        const std::string root = kestrin::testsupport::Base64Decode(body);
        ASSERT_EQ(
            store->SetTrustSetting(kestrin::keystore::TrustDomain::User,
                                   std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(root.data()), root.size()),
                                   kestrin::keystore::TrustSetting::Trusted),
            S_OK);
    }

    // Writes a preference file with plistlib from a dictionary literal.
    void WritePlist(bool system, const std::string& dict)
    {
        const std::string file = m_home + (system ? "/system" : "/user") + "/kestrin/settings.plist";
        const std::string script = "import plistlib, sys\nplistlib.dump(" + dict + ", open(sys.argv[1], 'wb'))\n";
        ASSERT_EQ(kestrin::testsupport::RunProgram({"python3", "-c", script, file}, {}, nullptr), 0);
    }

    // "groups/user" of the user's preference file as plistlib reads it.
    nlohmann::json Stored()
    {
        const std::string script = "import json, plistlib, sys\n"
                                   "d = plistlib.load(open(sys.argv[1], 'rb'))\n"
                                   "print(json.dumps(d.get('groups', {}).get('user', {})))\n";
        std::string out;
        if (kestrin::testsupport::RunProgram({"python3", "-c", script, m_home + "/user/kestrin/settings.plist"}, {},
                                             &out)
            != 0)
            return nlohmann::json();
        return nlohmann::json::parse(out, nullptr, false);
    }

    CModelCfgPolicy* Model()
    {
        if (m_model == nullptr) {
            EXPECT_EQ(CSingletonFactoryImpl<CModelCfgPolicy>::New(&m_model), S_OK);
        }
        return m_model;
    }

    void QueueGroups(int status, const std::string& reason, const std::string& body)
    {
        QueuedReply reply;
        reply.status = status;
        reply.reason = reason;
        reply.headers = {{"Content-Type", "application/json"}};
        reply.body = body;
        ASSERT_TRUE(s_server->Queue(CFGPOLICY_GROUPS_PATH, reply));
    }

    size_t GroupRequests()
    {
        size_t count = 0;
        for (const auto& request : s_server->Requests())
            if (request["target"] == CFGPOLICY_GROUPS_PATH)
                ++count;
        return count;
    }

    std::string Good() const { return "localhost:" + std::to_string(s_server->Port("good")); }

    std::string m_home;
    CModelCfgPolicy* m_model = nullptr;
    CPolicyGroupsMonitor* m_monitor = nullptr;
};

TEST_F(CfgPolicy, TimeToLiveIsReadAsTheNextStep)
{
    const struct {
        unsigned in, out;
    } cases[] = {{0, 0},   {1, 1},   {2, 5},   {3, 5},   {5, 5},     {6, 10},      {7, 10},
                 {10, 10}, {11, 60}, {45, 60}, {60, 60}, {61, 1440}, {5000, 1440}, {0xFFFFFFFF, 1440}};
    for (const auto& c : cases)
        EXPECT_EQ(CModelCfgPolicy::RoundTTL(c.in), c.out) << c.in;

    WritePlist(false, "{'groups': {'user': {'PolicyTTL': 7, 'PolicyHost': 'https://a', 'useWindowsHttpProxy': 1}}}");
    EXPECT_EQ(Model()->GetDWORD(CFGPOLICY_TTL), 10u);
    EXPECT_STREQ(Model()->GetString(CFGPOLICY_HOST), "https://a");
    EXPECT_TRUE(Model()->GetBool(CFGPOLICY_USE_SYSTEM_PROXY));
    EXPECT_EQ(Model()->GetDWORD(CFGPOLICY_STATUS), 0u);
    EXPECT_EQ(Model()->GetString(CFGPOLICY_STATUS), nullptr);

    // An outside change is read again on the policy thread.
    const int64_t revision = Model()->GetRevision();
    WritePlist(false, "{'groups': {'user': {'PolicyTTL': 45, 'PolicyHost': 'https://a', 'useWindowsHttpProxy': 1}}}");
    EXPECT_TRUE(WaitFor([&] { return Model()->GetDWORD(CFGPOLICY_TTL) == 60; }, std::chrono::seconds(30)));
    EXPECT_GT(Model()->GetRevision(), revision);
}

TEST_F(CfgPolicy, GroupsComeInReplyOrderAndChoosingOneSetsItsPath)
{
    Model()->SetString(CFGPOLICY_HOST, Good().c_str());
    QueueGroups(200, "OK", R"({"zeta": "/groups/zeta.xml", "alpha": "/groups/alpha.xml", "number": 5})");
    const int64_t revision = Model()->GetRevision();
    const char* names = Model()->GetString(CFGPOLICY_GROUPS);
    EXPECT_EQ(Names(names), (std::vector<std::string> {"zeta", "alpha", "number"}));
    EXPECT_EQ(Names(Model()->GetString(CFGPOLICY_GROUP_NAMES)), Names(names));
    EXPECT_STREQ(Model()->GetString(CFGPOLICY_HOST), ("https://" + Good()).c_str());
    EXPECT_EQ(Model()->GetDWORD(CFGPOLICY_STATUS), 0u);
    EXPECT_STREQ(Model()->GetString(CFGPOLICY_STATUS), "OK");
    EXPECT_GT(Model()->GetRevision(), revision);

    auto requests = s_server->Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0]["method"], "GET");
    EXPECT_EQ(requests[0]["target"], CFGPOLICY_GROUPS_PATH);
    EXPECT_EQ(requests[0]["version"], "HTTP/1.0");
    EXPECT_EQ(EnrolServer::HeaderValues(requests[0], "Accept"),
              std::vector<std::string> {"text/xml, application/json"});

    // The held list answers without another request.
    EXPECT_EQ(Model()->GetString(CFGPOLICY_GROUPS), names);
    EXPECT_EQ(GroupRequests(), 1u);

    EXPECT_EQ(Model()->SetString(CFGPOLICY_GROUP, "alpha"), S_OK);
    EXPECT_STREQ(Model()->GetString(CFGPOLICY_GROUP), "alpha");
    Model()->SetDWORD(CFGPOLICY_TTL, 60);
    Model()->SetBool(CFGPOLICY_USE_SYSTEM_PROXY, true);
    Model()->SetString(CFGPOLICY_PROXY_URL, "http://proxy.invalid:3128");
    Model()->Apply();
    nlohmann::json stored = Stored();
    EXPECT_EQ(stored["PolicyHost"], "https://" + Good());
    EXPECT_EQ(stored["PolicyName"], "alpha");
    EXPECT_EQ(stored["PolicyPath"], "/groups/alpha.xml");
    EXPECT_EQ(stored["PolicyTTL"], 60);
    EXPECT_EQ(stored["useWindowsHttpProxy"], 1);
    EXPECT_EQ(stored["HTTPProxyURL"], "http://proxy.invalid:3128");

    // A member that is no text, or none at all, leaves no path behind.
    for (const char* group : {"number", "missing"}) {
        Model()->SetString(CFGPOLICY_GROUP, "alpha");
        Model()->SetString(CFGPOLICY_GROUP, group);
        Model()->Apply();
        stored = Stored();
        EXPECT_EQ(stored["PolicyName"], group);
        EXPECT_TRUE(stored.value("PolicyPath", std::string()).empty()) << group;
    }

    // Another host forgets the group with its path.
    Model()->SetString(CFGPOLICY_GROUP, "alpha");
    Model()->SetString(CFGPOLICY_HOST, "https://other.invalid");
    EXPECT_EQ(Model()->GetString(CFGPOLICY_GROUP), nullptr);
    Model()->Apply();
    stored = Stored();
    EXPECT_TRUE(stored.value("PolicyName", std::string()).empty());
    EXPECT_TRUE(stored.value("PolicyPath", std::string()).empty());
}

TEST_F(CfgPolicy, HostsAreRewrittenToSchemeHostAndPort)
{
    const std::string port = std::to_string(s_server->Port("good"));
    for (const std::string& host :
         {"localhost:" + port, "https://localhost:" + port + "/ignored/path?q=1", "https://user@localhost:" + port}) {
        QueueGroups(200, "OK", R"({"g": "/g"})");
        Model()->SetString(CFGPOLICY_HOST, host.c_str());
        EXPECT_EQ(Names(Model()->GetString(CFGPOLICY_GROUPS)), std::vector<std::string> {"g"}) << host;
        EXPECT_STREQ(Model()->GetString(CFGPOLICY_HOST), ("https://localhost:" + port).c_str());
    }
    EXPECT_EQ(GroupRequests(), 3u);
    Model()->Apply();
    EXPECT_EQ(Stored()["PolicyHost"], "https://localhost:" + port);

    // Without a port none is added.
    Model()->SetString(CFGPOLICY_HOST, "no-such-host.invalid");
    EXPECT_EQ(Model()->GetString(CFGPOLICY_GROUPS), nullptr);
    EXPECT_STREQ(Model()->GetString(CFGPOLICY_HOST), "https://no-such-host.invalid");
}

TEST_F(CfgPolicy, AnErrorStatusKeepsTheHeldReplyAndItsLine)
{
    Model()->SetString(CFGPOLICY_HOST, Good().c_str());
    QueueGroups(200, "OK", R"({"alpha": "/groups/alpha.xml"})");
    ASSERT_NE(Model()->GetString(CFGPOLICY_GROUPS), nullptr);

    Model()->SetString(CFGPOLICY_HOST, Good().c_str());
    QueueGroups(404, "Not Found", "{\"beta\": \"/b\"}");
    EXPECT_EQ(Model()->GetString(CFGPOLICY_GROUPS), nullptr);
    EXPECT_EQ(Model()->GetDWORD(CFGPOLICY_STATUS), 0xA2500202u);
    EXPECT_STREQ(Model()->GetString(CFGPOLICY_STATUS), "404 Not Found");
    EXPECT_EQ(Model()->GetString(CFGPOLICY_GROUP_NAMES), nullptr);
    Model()->SetString(CFGPOLICY_GROUP, "alpha");
    Model()->Apply();
    EXPECT_EQ(Stored()["PolicyPath"], "/groups/alpha.xml");

    // A 200 whose body is no JSON object is the server's error, not an empty
    // list: the next call asks again.
    for (const char* body : {"<html>busy</html>", "[\"alpha\"]", ""}) {
        QueueGroups(200, "OK", body);
        EXPECT_EQ(Model()->GetString(CFGPOLICY_GROUPS), nullptr) << body;
        EXPECT_EQ(Model()->GetDWORD(CFGPOLICY_STATUS), 0xA2500202u) << body;
        EXPECT_EQ(Model()->GetString(CFGPOLICY_STATUS), Text("ERR_SERVER_ERR")) << body;
    }
    EXPECT_EQ(GroupRequests(), 5u);
    Model()->SetString(CFGPOLICY_GROUP, "alpha");
    Model()->Apply();
    EXPECT_EQ(Stored()["PolicyPath"], "/groups/alpha.xml");

    // An empty object is a valid, empty list.
    QueueGroups(200, "OK", "{}");
    EXPECT_EQ(Model()->GetString(CFGPOLICY_GROUPS), nullptr);
    EXPECT_EQ(Model()->GetDWORD(CFGPOLICY_STATUS), 0u);
    EXPECT_STREQ(Model()->GetString(CFGPOLICY_STATUS), "OK");
    EXPECT_EQ(Model()->GetString(CFGPOLICY_GROUPS), nullptr);
    EXPECT_EQ(GroupRequests(), 6u);
}

TEST_F(CfgPolicy, EachTransportFailureHasItsCodeAndText)
{
    WritePlist(false, "{'groups': {'user': {'networkTimeout': 2, 'sslHostExtensionCheck': 1}}}");
    const std::string silent = "https://localhost:" + std::to_string(s_server->Port("silent"));
    const struct {
        std::string host;
        uint32_t code;
        const char* key;
    } cases[] = {
        {"localhost:" + std::to_string(s_server->Port("wrongname")), 0xA250020A, "ERR_SSL_CERT_NAME"},
        {"localhost:" + std::to_string(s_server->Port("unknownca")), 0xA0600203, "ERR_SSL_ROOT_CERT"},
        {"localhost:" + std::to_string(s_server->Port("expired")), 0xA250020D, "ERR_SSL_ROOT_CERT"},
        {"localhost:" + std::to_string(s_server->Port("noserverauth")), 0xA250020C, "ERR_SSL_CERT_EXT"},
        {"no-such-host.invalid", 0xA2500214, "ERR_UNKNOWN_HOST"},
        {silent, 0xA2500204, "ERR_CONNECTION_TIMEOUT"},
        {"http://localhost:" + std::to_string(s_server->Port("admin")), 0xA2500200, "ERR_TLS_ERROR"},
        {std::string(SEC_URL_MAX_LENGTH, 'h'), 0xA2500200, "ERR_TLS_ERROR"},
        {std::string(SEC_URL_MAX_LENGTH + 1, 'h'), 0x80000003, "ERR_UNKNOWN_CONNECTION_ERR"},
    };
    for (const auto& c : cases) {
        Model()->SetString(CFGPOLICY_HOST, c.host.c_str());
        EXPECT_EQ(Model()->GetString(CFGPOLICY_GROUPS), nullptr) << c.key;
        EXPECT_EQ(Model()->GetDWORD(CFGPOLICY_STATUS), c.code) << c.host.substr(0, 60);
        EXPECT_EQ(Model()->GetString(CFGPOLICY_STATUS), Text(c.key)) << c.key;
        EXPECT_FALSE(Text(c.key).empty()) << c.key;
    }

    // The proxy of the settings carries the request.
    Model()->SetString(CFGPOLICY_HOST, Good().c_str());
    Model()->SetString(CFGPOLICY_PROXY_URL, "  http://no-such-proxy.invalid:3128 ");
    EXPECT_EQ(Model()->GetString(CFGPOLICY_GROUPS), nullptr);
    EXPECT_EQ(Model()->GetDWORD(CFGPOLICY_STATUS), 0xA2500214u);
    Model()->SetString(CFGPOLICY_PROXY_URL, ("http://localhost:" + std::to_string(s_server->Port("proxy"))).c_str());
    QueueGroups(200, "OK", R"({"viaproxy": "/p"})");
    EXPECT_EQ(Names(Model()->GetString(CFGPOLICY_GROUPS)), std::vector<std::string> {"viaproxy"});
    ASSERT_EQ(s_server->ProxyTargets().size(), 1u);

    // Codes the table does not name.
    EXPECT_STREQ(CModelCfgPolicy::StatusTextKey(static_cast<HRESULT>(0x80002000)), "ERR_TLS_ERROR");
    EXPECT_STREQ(CModelCfgPolicy::StatusTextKey(static_cast<HRESULT>(0x80000040)), "ERR_TLS_ERROR");
    EXPECT_STREQ(CModelCfgPolicy::StatusTextKey(static_cast<HRESULT>(0x80000004)), "ERR_UNKNOWN_CONNECTION_ERR");
    EXPECT_STREQ(CModelCfgPolicy::StatusTextKey(static_cast<HRESULT>(0xA2500215)), "ERR_SSL_ROOT_CERT");
    EXPECT_STREQ(CModelCfgPolicy::StatusTextKey(static_cast<HRESULT>(0xA250001B)), "ERR_CONNECTION_TIMEOUT");
    EXPECT_EQ(CModelCfgPolicy::StatusTextKey(S_OK), nullptr);
}

TEST_F(CfgPolicy, TheDownloadMarksTheSharedTlsContext)
{
    Model()->SetString(CFGPOLICY_HOST, Good().c_str());
    QueueGroups(200, "OK", "{}");
    Model()->GetString(CFGPOLICY_GROUPS);
    ASC* asc = nullptr;
    ASSERT_EQ(CPSEFactory::GetASC(&asc), S_OK);
    ssl_context* tls = nullptr;
    ASSERT_EQ(asc->getSSLContext(&tls), S_OK);
    unsigned long options = 0;
    EXPECT_EQ(tls->GetOptions(&options), S_OK);
    EXPECT_EQ(options & 0x8, 0x8u);
    tls->Release();
    asc->Release();
}

TEST_F(CfgPolicy, LockedValuesAndReadOnlyParamsRefuseWrites)
{
    WritePlist(true, "{'groups': {'user': {'PolicyHost': 'https://fixed.example', 'PolicyTTL': 5}}}");
    EXPECT_FALSE(Model()->IsChangeable(CFGPOLICY_HOST));
    EXPECT_FALSE(Model()->IsChangeable(CFGPOLICY_TTL));
    EXPECT_TRUE(Model()->IsChangeable(CFGPOLICY_PROXY_URL));
    EXPECT_FALSE(Model()->IsChangeable(CFGPOLICY_STATUS));
    EXPECT_FALSE(Model()->IsChangeable(CFGPOLICY_GROUPS));
    EXPECT_EQ(Model()->SetString(CFGPOLICY_HOST, "https://mine"), ZELK_RC(0x80070005));
    EXPECT_STREQ(Model()->GetString(CFGPOLICY_HOST), "https://fixed.example");
    EXPECT_EQ(Model()->SetDWORD(CFGPOLICY_TTL, 60), ZELK_RC(0x80070005));
    EXPECT_EQ(Model()->GetDWORD(CFGPOLICY_TTL), 5u);

    EXPECT_EQ(Model()->SetString(CFGPOLICY_GROUP_DISPLAY_NAME, "x"), ZELK_RC(0x80070005));
    EXPECT_EQ(Model()->SetDWORD(CFGPOLICY_GROUPS, 1), ZELK_RC(0x80070005));
    EXPECT_EQ(Model()->SetString(CFGPOLICY_GROUP_NAMES, "x"), ZELK_RC(0x80070005));
    EXPECT_EQ(Model()->SetDWORD(CFGPOLICY_PROXY_URL, 1), ZELK_RC(0x80000003));
    EXPECT_EQ(Model()->SetBool(CFGPOLICY_GROUP, true), ZELK_RC(0x80000003));
    EXPECT_EQ(Model()->SetString(CFGPOLICY_USE_SYSTEM_PROXY, "1"), ZELK_RC(0x80000003));
    EXPECT_EQ(Model()->SetBool(CFGPOLICY_USE_SYSTEM_PROXY, true), S_OK);
    EXPECT_EQ(Model()->GetString(CFGPOLICY_GROUP_DISPLAY_NAME), nullptr);
    EXPECT_EQ(Model()->GetString(CFGPOLICY_TTL), nullptr);
    EXPECT_EQ(Model()->GetDWORD(CFGPOLICY_HOST), 0u);
    EXPECT_FALSE(Model()->GetBool(CFGPOLICY_HOST));

    // Only the settings interface is offered.
    void* other = nullptr;
    EXPECT_EQ(Model()->QueryInterface(IID_IGUIModel, &other), ZELK_RC(0x80000004));
    IUnknown* unknown = nullptr;
    ASSERT_EQ(Model()->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    unknown->Release();
}

TEST_F(CfgPolicy, StatusChangesAdvanceTheRevisionOnce)
{
    const int64_t start = Model()->GetRevision();
    EXPECT_EQ(Model()->SetDWORD(CFGPOLICY_STATUS, 0xA2500214), S_OK);
    EXPECT_EQ(Model()->GetString(CFGPOLICY_STATUS), Text("ERR_UNKNOWN_HOST"));
    const int64_t after = Model()->GetRevision();
    EXPECT_GT(after, start);
    Model()->SetDWORD(CFGPOLICY_STATUS, 0xA2500214);
    EXPECT_EQ(Model()->GetRevision(), after);
    Model()->SetDWORD(CFGPOLICY_STATUS, 0);
    EXPECT_STREQ(Model()->GetString(CFGPOLICY_STATUS), "OK");
    EXPECT_EQ(Model()->GetDWORD(CFGPOLICY_STATUS), 0u);
    Model()->SetString(CFGPOLICY_STATUS, "custom");
    EXPECT_STREQ(Model()->GetString(CFGPOLICY_STATUS), "custom");
}

// A text handed out stays readable while another thread replaces it.
TEST_F(CfgPolicy, TextsHandedOutStayValidWhileOthersChangeThem)
{
    CModelCfgPolicy* model = Model();
    std::atomic<bool> done {false};
    std::thread writer([&] {
        for (int i = 0; i < 2000; ++i) {
            const std::string text = "https://host-" + std::to_string(i) + ".invalid";
            model->SetString(CFGPOLICY_HOST, text.c_str());
            model->SetString(CFGPOLICY_PROXY_URL, text.c_str());
            model->SetString(CFGPOLICY_STATUS, text.c_str());
        }
        done = true;
    });
    size_t wrong = 0;
    while (!done)
        for (IGUIModelCfgPolicy_Param param : {CFGPOLICY_HOST, CFGPOLICY_PROXY_URL, CFGPOLICY_STATUS})
            if (const char* text = model->GetString(param))
                wrong += std::strncmp(text, "https://host-", 13) != 0 ? 1 : 0;
    writer.join();
    EXPECT_EQ(wrong, 0u);
    EXPECT_STREQ(model->GetString(CFGPOLICY_HOST), "https://host-1999.invalid");
}

TEST_F(CfgPolicy, ApplyWithoutHostDropsTheGroupPolicy)
{
    WritePlist(false, "{'groups': {'user': {'PolicyHost': 'https://h', 'PolicyName': 'g', 'PolicyPath': '/g', "
                      "'applications': {'a': {'x': 1}}, 'profiles': {'p': {'y': 'z'}}, 'other': {'k': 2}}}}");
    EXPECT_STREQ(Model()->GetString(CFGPOLICY_GROUP), "g");
    Model()->SetString(CFGPOLICY_HOST, "");
    Model()->SetDWORD(CFGPOLICY_TTL, 10);
    EXPECT_EQ(Model()->Apply(), S_OK);
    const nlohmann::json stored = Stored();
    EXPECT_TRUE(stored.value("PolicyHost", std::string()).empty());
    EXPECT_TRUE(stored.value("PolicyName", std::string()).empty());
    EXPECT_TRUE(stored.value("PolicyPath", std::string()).empty());
    EXPECT_EQ(stored["PolicyTTL"], 10);
    EXPECT_FALSE(stored.contains("applications"));
    EXPECT_FALSE(stored.contains("profiles"));
    EXPECT_TRUE(stored.contains("other"));

    // Cancel drops edits that were not applied.
    Model()->SetString(CFGPOLICY_HOST, "https://edited");
    Model()->Cancel();
    EXPECT_EQ(Model()->GetString(CFGPOLICY_HOST), nullptr);
}

TEST_F(CfgPolicy, TheMonitorDownloadsTheAppliedGroupsPath)
{
    ASSERT_EQ(CSingletonFactoryImpl<CPolicyGroupsMonitor>::New(&m_monitor), S_OK);
    m_monitor->Start();
    // The monitor watches the store once its first load is done; an Apply
    // before that would go unseen.
    CMonitor::WaitForAllInitialized();
    Model()->SetString(CFGPOLICY_HOST, Good().c_str());
    QueueGroups(200, "OK", R"({"alpha": "/groups/alpha.xml", "beta": "/groups/beta.xml"})");
    ASSERT_NE(Model()->GetString(CFGPOLICY_GROUPS), nullptr);
    Model()->SetString(CFGPOLICY_GROUP, "beta");
    QueuedReply policy;
    policy.status = 404;
    policy.reason = "Not Found";
    ASSERT_TRUE(s_server->Queue("/groups/beta.xml", policy));
    Model()->Apply();
    auto fetched = [] {
        for (const auto& request : s_server->Requests())
            if (request["target"] == "/groups/beta.xml")
                return true;
        return false;
    };
    ASSERT_TRUE(WaitFor(fetched, std::chrono::seconds(50)));
    // The monitor reports its failed download into the status.
    EXPECT_TRUE(WaitFor([&] { return Model()->GetDWORD(CFGPOLICY_STATUS) != 0; }, std::chrono::seconds(50)));
}

}  // namespace
}  // namespace kestrin::service::test
