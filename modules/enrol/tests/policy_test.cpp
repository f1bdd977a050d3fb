// The client-policy downloader "zelk.kvlogin.policy": documents pushed into
// the user's plist store (read back by Python's plistlib), the document
// checks, and downloads from the test enrolment server with their failures
// reported through a recording notification call-back.
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "enrol_fixture.h"
#include "enrol_server.h"
#include "keystore.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_kestrin.h"
#include "zelk_kestrin_policy.h"
#include "zelk_object.h"
#include "zelk_policy_client.h"
#include "zelk_resloader.h"

namespace kestrin::enrol::test {
namespace {

using kestrin::testsupport::EnrolServer;
using kestrin::testsupport::QueuedReply;
using kestrin::testsupport::RunProgram;
using nlohmann::json;

constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005);

EnrolServer* s_server = nullptr;

class Recorder : public IKestrinServiceNotification, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Recorder)
    ZELK_INTMAP_ENTRY(IKestrinServiceNotification)
    ZELK_END_INTMAP()

    HRESULT Notify(unsigned kind, const wchar_t* text) override
    {
        messages.push_back({kind, Narrow(text)});
        return S_OK;
    }
    std::vector<std::pair<unsigned, std::string>> messages;
};

class Policy : public EnrolRuntime {
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
        EnrolRuntime::SetUp();
        ASSERT_EQ(ZELK_CreateObject(ZELK_KESTRIN_MODULE, ZELK_KESTRIN_POLICY_CLASS, IID_IKestrinPolicy,
                                    reinterpret_cast<void**>(&downloader)),
                  S_OK);
        recorder = new CComObject<Recorder>();
        recorder->AddRef();
        ASSERT_EQ(downloader->SetNotificationCallback(recorder), S_OK);
        if (s_server != nullptr)
            s_server->Reset();
    }

    void TearDown() override
    {
        if (downloader != nullptr)
            downloader->Release();
        if (recorder != nullptr)
            recorder->Release();
        EnrolRuntime::TearDown();
    }

    HRESULT Import(const std::string& document, const char* group = "user")
    {
        m_store = json();
        OctetString bytes {document.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(document.data()))};
        return downloader->ImportPolicy(&bytes, 2, group);
    }

    // The user's plist store as JSON, read by plistlib.
    json Store()
    {
        const std::string file = m_home.path() + "/config/kestrin/settings.plist";
        std::string out;
        const std::string script = "import json, plistlib, sys\n"
                                   "try:\n"
                                   "    data = plistlib.load(open(sys.argv[1], 'rb'))\n"
                                   "except FileNotFoundError:\n"
                                   "    data = {}\n"
                                   "print(json.dumps(data, default=str))\n";
        if (RunProgram({"python3", "-c", script, file}, {}, &out) != 0)
            return json();
        return json::parse(out, nullptr, false);
    }

    // The value at a slash path of the store (read once per change), or null.
    json At(const std::string& path)
    {
        if (m_store.is_null())
            m_store = Store();
        json node = m_store;
        size_t start = 0;
        while (start <= path.size()) {
            const size_t end = path.find('/', start);
            const std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
            if (!node.is_object() || !node.contains(part))
                return json();
            node = node[part];
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
        return node;
    }

    // The test CA's root is trusted in the user's key store.
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

    std::string Text(const char* key)
    {
        IResourceManager* resources = nullptr;
        std::string text;
        if (GetResourceManager(L"kvlogsvc", &resources) == S_OK && resources != nullptr) {
            text = Narrow(resources->GetW(key));
            resources->Release();
        }
        return text;
    }

    HRESULT Download(const std::string& url)
    {
        m_store = json();
        return downloader->DownloadPolicy(url.c_str(), 2, "user");
    }

    IKestrinPolicy* downloader = nullptr;
    CComObject<Recorder>* recorder = nullptr;
    json m_store;
};

std::string Entry(const std::string& name, const std::string& values)
{
    return "<entry name=\"" + name + "\"><attributes>" + values + "</attributes></entry>";
}

std::string Value(const std::string& name, const std::string& type, const std::string& value)
{
    return "<attribute name=\"" + name + "\" type=\"" + type + "\" value=\"" + value + "\"/>";
}

std::string Document(const std::string& products, const std::string& group = "Sales")
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kestrin.client.policy name=\"" + group + "\">" + products
           + "</kestrin.client.policy>";
}

std::string Product(const std::string& name, const std::string& keys)
{
    return "<" + name + "><machine>" + keys + "</machine></" + name + ">";
}

TEST_F(Policy, CompactAndPrettyDocumentsPushEveryEntryWithItsTypes)
{
    const std::string values =
        Value("url", "string", "https://enrol.example/kestrin/") + Value("keySize", "INTEGER", "2048")
        + Value("negative", "integer", "-5") + Value("prefix", "integer", "12abc") + Value("yes", "Boolean", "TRUE")
        + Value("no", "boolean", "yes") + Value("other", "float", "1.5") + Value("text", "string", "Grüße");
    const std::string compact =
        Document(Product("kestrin", "<profiles>" + Entry("first", values) + Entry("second", values) + "</profiles>"));
    ASSERT_EQ(Import(compact), S_OK);
    for (const char* entry : {"first", "second"}) {
        const std::string at = std::string("groups/user/profiles/") + entry + "/";
        EXPECT_EQ(At(at + "url"), "https://enrol.example/kestrin/") << entry;
        EXPECT_EQ(At(at + "keySize"), 2048) << entry;
        // The plist integer holds the number's 32 bits as signed.
        EXPECT_EQ(At(at + "negative"), -5) << entry;
        EXPECT_EQ(At(at + "prefix"), 12) << entry;
        EXPECT_EQ(At(at + "yes"), 1) << entry;
        EXPECT_EQ(At(at + "no"), 0) << entry;
        EXPECT_EQ(At(at + "other"), 0) << entry;
        EXPECT_EQ(At(at + "text"), "Grüße") << entry;
        EXPECT_EQ(At(at + "UserProfileGroup"), "Sales") << entry;
    }

    // Pretty-printed, with text nodes between every element, a description at
    // the root level and a product of its own name.
    const std::string pretty = "<?xml version=\"1.0\"?>\n<kestrin.client.policy>\n"
                               "  <attribute name=\"Description\" value=\"test\"/>\n"
                               "  <Apps>\n    <machine>\n      <list>\n        "
                               + Entry("one", Value("a", "string", "1")) + "\n        "
                               + Entry("two", Value("b", "string", "2"))
                               + "\n      </list>\n    </machine>\n  </Apps>\n</kestrin.client.policy>\n";
    ASSERT_EQ(Import(pretty), S_OK);
    EXPECT_EQ(At("groups/user/Apps/list/one/a"), "1");
    EXPECT_EQ(At("groups/user/Apps/list/two/b"), "2");
    // A document without a group name writes none.
    EXPECT_TRUE(At("groups/user/Apps/list/one/UserProfileGroup").is_null());
    EXPECT_TRUE(recorder->messages.empty());
    ZELK_IPolicy* entry = nullptr;
    ASSERT_EQ(ZELK_PolOpen("groups/user/profiles/first", &entry), S_OK);
    EXPECT_EQ(entry->GetDWORD("negative"), 0xFFFFFFFBu);
    ZELK_PolClose(&entry);
}

TEST_F(Policy, ProductPathsWithAndWithoutGroup)
{
    const std::string keys = "<k>" + Entry("e", Value("v", "string", "x")) + "</k>";
    ASSERT_EQ(Import(Document(Product("KESTRIN", keys) + Product("other", keys)), "user"), S_OK);
    EXPECT_EQ(At("groups/user/k/e/v"), "x");
    EXPECT_EQ(At("groups/user/other/k/e/v"), "x");
    ASSERT_EQ(Import(Document(Product("kestrin", keys) + Product("other", keys)), nullptr), S_OK);
    EXPECT_EQ(At("k/e/v"), "x");
    EXPECT_EQ(At("other/k/e/v"), "x");
}

TEST_F(Policy, ActionsCleanReplaceAndNone)
{
    auto keys = [](const std::string& action, const std::string& values) {
        return "<k" + action + ">" + Entry("e", values) + "</k>";
    };
    const std::string both = Value("a", "string", "1") + Value("b", "string", "2");
    const std::string onlyA = Value("a", "string", "3");
    for (const char* action : {"", " action=\"REPLACE\"", " action=\"clean\""}) {
        ASSERT_EQ(Import(Document(Product("kestrin", keys("", both) + "<gone>" + Entry("x", both) + "</gone>"))), S_OK);
        ASSERT_EQ(At("groups/user/k/e/b"), "2");
        ASSERT_EQ(Import(Document(Product("kestrin", keys(action, onlyA)))), S_OK);
        EXPECT_EQ(At("groups/user/k/e/a"), "3") << action;
        // Replace and clean drop the value the new document lacks; without an
        // action the old value stays.
        EXPECT_EQ(At("groups/user/k/e/b").is_null(), *action != '\0') << action;
        EXPECT_EQ(At("groups/user/gone/x/a"), "1") << action;
    }
    // Cleaning a key without entries removes it and says so.
    ASSERT_EQ(Import(Document(Product("kestrin", "<gone action=\"clean\"> </gone>"))), S_OK);
    EXPECT_TRUE(At("groups/user/gone").is_null());
    ASSERT_EQ(recorder->messages.size(), 1u);
    EXPECT_EQ(recorder->messages[0].first, 3u);
    EXPECT_NE(recorder->messages[0].second.find("gone"), std::string::npos);
}

TEST_F(Policy, BadEntriesAndProductsFailAloneAndNothingLeavesTheGroup)
{
    const std::string good = Entry("ok", Value("v", "string", "x"));
    struct Case {
        const char* what;
        std::string keys;
    } cases[] = {
        {"empty name", "<k>" + Entry("", Value("v", "string", "x")) + good + "</k>"},
        {"slash", "<k>" + Entry("../../escape", Value("v", "string", "x")) + good + "</k>"},
        {"backslash", "<k>" + Entry("a\\b", Value("v", "string", "x")) + good + "</k>"},
        {"dot dot", "<k>" + Entry("..", Value("v", "string", "x")) + good + "</k>"},
        {"no name", "<k><entry><attributes>" + Value("v", "string", "x") + "</attributes></entry>" + good + "</k>"},
        {"missing value",
         "<k>" + Entry("half", "<attribute name=\"n\" type=\"string\"/>" + Value("m", "string", "y")) + good + "</k>"},
    };
    for (const Case& c : cases) {
        recorder->messages.clear();
        EXPECT_EQ(Import(Document(Product("kestrin", c.keys))), kFail) << c.what;
        EXPECT_EQ(At("groups/user/k/ok/v"), "x") << c.what;
        ASSERT_FALSE(recorder->messages.empty()) << c.what;
        EXPECT_EQ(recorder->messages[0], (std::pair<unsigned, std::string>(1, Text("ERR_PARSE_XML")))) << c.what;
    }
    // Nothing below the group but the keys named, and the missing value's
    // later attributes were not written.
    json store = Store();
    EXPECT_EQ(store.size(), 1u) << store.dump();
    EXPECT_EQ(store["groups"].size(), 1u) << store.dump();
    EXPECT_TRUE(At("groups/user/k/half/m").is_null());

    // A product without "machine", and a root-level attribute that is no
    // description, fail beside a product that succeeds.
    ASSERT_EQ(
        Import(Document(Product("good", "<k>" + good + "</k>") + "<bad><k/></bad>" + "<attribute name=\"other\"/>")),
        kFail);
    EXPECT_EQ(At("groups/user/good/k/ok/v"), "x");
}

TEST_F(Policy, DocumentChecks)
{
    const std::string valid = Document(Product("kestrin", "<k>" + Entry("e", Value("v", "string", "x")) + "</k>"));
    std::string exact = valid;
    exact.insert(exact.find("<kestrin.client.policy"), 0x100000 - valid.size(), ' ');
    ASSERT_EQ(exact.size(), 0x100000u);
    struct Case {
        const char* what;
        std::string document;
        HRESULT expected;
    } cases[] = {
        {"exactly 1 MiB", exact, S_OK},
        {"1 MiB and one byte", exact + " ", kFail},
        {"a comment", valid + "<!-- c -->", kFail},
        {"a document type", "<!DOCTYPE x>" + valid, kFail},
        {"not well-formed", valid.substr(0, valid.size() - 3), kFail},
        {"a NUL inside", valid.substr(0, 10) + std::string(1, '\0') + valid.substr(10), kFail},
        {"another root", "<other>" + Product("kestrin", "<k/>") + "</other>", kFail},
        {"an empty root", "<kestrin.client.policy/>", kFail},
        {"empty", "", kFail},
    };
    for (const Case& c : cases) {
        recorder->messages.clear();
        EXPECT_EQ(Import(c.document), c.expected) << c.what;
        if (c.expected == kFail) {
            ASSERT_EQ(recorder->messages.size(), 1u) << c.what;
            const bool parsed = std::string(c.what).find("root") != std::string::npos;
            EXPECT_EQ(recorder->messages[0].second, Text(parsed ? "ERR_PARSE_XML" : "ERR_XML_MALFORMED")) << c.what;
        }
    }
}

TEST_F(Policy, DownloadsPushOnceUntilForgotten)
{
    const std::string path = "/policy/user.xml";
    const std::string url = s_server->Url("good", path);
    auto serve = [&](const std::string& value) {
        QueuedReply reply;
        reply.headers = {{"Content-Type", "text/xml"}};
        reply.body = Document(Product("kestrin", "<k>" + Entry("e", Value("v", "string", value)) + "</k>"));
        ASSERT_TRUE(s_server->Queue(path, reply));
    };
    TrustTestRoot();
    serve("first");
    ASSERT_EQ(Download(url), S_OK);
    EXPECT_EQ(At("groups/user/k/e/v"), "first");
    // The same document again writes nothing: a value changed in between stays.
    ZELK_IPolicy* entry = nullptr;
    ASSERT_EQ(ZELK_PolOpenType("groups/user/k/e", "zelk.policy.plist", &entry), S_OK);
    ASSERT_EQ(entry->SetString("v", "changed"), S_OK);
    m_store = json();
    serve("first");
    EXPECT_EQ(Download(url), 1);
    EXPECT_EQ(At("groups/user/k/e/v"), "changed");
    // No URL forgets the document: the next download pushes it again.
    EXPECT_EQ(downloader->DownloadPolicy(nullptr, 2, "user"), 1);
    EXPECT_EQ(downloader->DownloadPolicy("", 2, "user"), 1);
    EXPECT_EQ(At("groups/user/k/e/v"), "changed");
    serve("first");
    ASSERT_EQ(Download(url), S_OK);
    EXPECT_EQ(At("groups/user/k/e/v"), "first");
    serve("second");
    ASSERT_EQ(Download(url), S_OK);
    EXPECT_EQ(At("groups/user/k/e/v"), "second");
    ZELK_PolClose(&entry);
    EXPECT_TRUE(recorder->messages.empty());

    // A status other than 200 fails and names the URL, without a transport text.
    QueuedReply refused;
    refused.status = 404;
    refused.reason = "Not Found";
    refused.body = Document("");
    ASSERT_TRUE(s_server->Queue(path, refused));
    EXPECT_EQ(Download(url), kFail);
    ASSERT_EQ(recorder->messages.size(), 1u);
    EXPECT_EQ(recorder->messages[0],
              (std::pair<unsigned, std::string>(1, Text("ERR_POLICY_DOWNLOAD") + "\nURL: " + url + "\n")));
    EXPECT_EQ(At("groups/user/k/e/v"), "second");
}

TEST_F(Policy, TransportFailuresNameTheirTexts)
{
    // The group's settings make the connection: a short time-out for the
    // listener that never answers.
    ZELK_IPolicy* group = nullptr;
    ASSERT_EQ(ZELK_PolOpen("groups/user", &group), S_OK);
    ASSERT_EQ(group->SetDWORD("networkTimeout", 1), S_OK);
    ASSERT_EQ(group->SetDWORD("sslHostExtensionCheck", 1), S_OK);
    ZELK_PolClose(&group);
    TrustTestRoot();
    struct Case {
        std::string url;
        const char* key;
    } cases[] = {
        {"https://host.invalid/policy.xml", "ERR_UNKNOWN_HOST"},
        {s_server->Url("unknownca", "/policy.xml"), "ERR_SSL_ROOT_CERT"},
        {s_server->Url("wrongname", "/policy.xml"), "ERR_SSL_CERT_NAME"},
        {s_server->Url("noserverauth", "/policy.xml"), "ERR_SSL_CERT_EXT"},
        {"http://localhost:" + std::to_string(s_server->Port("good")) + "/policy.xml", "ERR_SSL_ROOT_CERT"},
        {"https://localhost:" + std::to_string(s_server->Port("silent")) + "/policy.xml", "ERR_CONNECTION_TIMEOUT"},
    };
    for (const Case& c : cases) {
        recorder->messages.clear();
        const HRESULT hr = Download(c.url);
        EXPECT_LT(hr, 0) << c.url;
        EXPECT_NE(hr, kFail) << c.url;
        ASSERT_EQ(recorder->messages.size(), 1u) << c.url;
        EXPECT_EQ(recorder->messages[0].second, Text("ERR_POLICY_DOWNLOAD") + "\nURL: " + c.url + "\n" + Text(c.key))
            << c.url;
    }
    EXPECT_TRUE(Store().empty() || At("groups/user/k").is_null());
}

}  // namespace
}  // namespace kestrin::enrol::test
