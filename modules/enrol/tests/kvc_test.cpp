// A host program's enrolment through the embedding table "zelk.kvlogin.kvc.1"
// against the test enrolment server: a scripted handler answers the
// questions, the TLS trust comes from an anchors container and the client
// certificate from another, and the result is exported as PKCS#12 that the
// openssl tool opens.
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "enrol_fixture.h"
#include "enrol_server.h"
#include "zelk_kestrin.h"
#include "zelk_kvc.h"
#include "zelk_module.h"
#include "zelk_object.h"

namespace kestrin::enrol::test {
namespace {

using kestrin::testsupport::EnrolServer;
using kestrin::testsupport::RunProgram;

EnrolServer* s_server = nullptr;

// Long enough for a key generation and a dialogue under the sanitizers on a
// busy machine.
constexpr int kLoginMilliseconds = 180000;

// The host's handler: answers each question with the values of its labels
// (from a thread of its own when asked to), or with a fixed answer.
class Host : public KVC_IHandler, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Host)
    ZELK_INTMAP_ENTRY(KVC_IHandler)
    ZELK_END_INTMAP()

    ~Host() override
    {
        for (std::thread& t : answering)
            t.join();
        if (result != nullptr)
            result->Release();
    }

    HRESULT requestLoginData(KVC_ILoginData* data) override
    {
        std::vector<std::pair<int32_t, std::string>> items;
        for (unsigned long i = 0; i < data->getItemCount(); ++i) {
            KVC_ILoginItem* item = nullptr;
            if (data->getItem(i, &item) != S_OK)
                continue;
            items.emplace_back(item->getItemType(), item->getItemLabel() ? item->getItemLabel() : "");
            auto value = values.find(items.back().second);
            if (value != values.end())
                item->setItemValue(value->second.c_str());
            item->Release();
        }
        HRESULT answer = S_OK;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            messages.emplace_back(data->getMessage() ? data->getMessage() : "");
            questions.push_back(items);
            if (questions.size() <= answers.size())
                answer = answers[questions.size() - 1];
        }
        if (FAILED(answer))
            return answer;
        if (fromOtherThread) {
            data->AddRef();
            answering.emplace_back([data] {
                data->login();
                data->Release();
            });
        } else {
            data->login();
        }
        return answer;
    }
    HRESULT loginSucceeded(KVC_IPSE* container) override
    {
        container->AddRef();
        std::lock_guard<std::mutex> lock(m_lock);
        if (result != nullptr)
            result->Release();
        result = container;
        ++ends;
        return S_OK;
    }
    HRESULT loginFailed(HRESULT code, const char* message) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        failed = code;
        failedMessage = message != nullptr ? message : "";
        ++ends;
        return S_OK;
    }

    std::map<std::string, std::string> values;
    // The answers to the questions in turn; S_OK after the last.
    std::vector<HRESULT> answers;
    bool fromOtherThread = false;
    std::vector<std::string> messages;
    std::vector<std::vector<std::pair<int32_t, std::string>>> questions;
    KVC_IPSE* result = nullptr;
    HRESULT failed = S_OK;
    std::string failedMessage;
    int ends = 0;
    std::vector<std::thread> answering;

private:
    std::mutex m_lock;
};

class Embedding : public EnrolRuntime {
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
        EnrolRuntime::SetUp();
        API_COMMON* bound = nullptr;
        ASSERT_EQ(ZELK_GetAPI(ZELK_KESTRIN_MODULE, ZELK_KVC_API, &bound), S_OK);
        table = ZELK_ApiCast<ZELK_KVC_TABLE>(bound);
        host = new CComObject<Host>();
        host->AddRef();
        s_server->Reset();
    }

    void TearDown() override
    {
        for (KVC_IPSE* c : containers)
            c->Release();
        if (host != nullptr)
            host->Release();
        EnrolRuntime::TearDown();
    }

    KVC_IPSE* Container()
    {
        KVC_IPSE* c = nullptr;
        EXPECT_EQ(table->KVC_IPSE_new(&c), S_OK);
        containers.push_back(c);
        return c;
    }
    // The test CA's root, as the TLS connection's only trust.
    KVC_IPSE* Anchors()
    {
        KVC_IPSE* anchors = Container();
        const std::string root = s_server->ReadFile("root");
        EXPECT_EQ(anchors->loadFromPEM(reinterpret_cast<const unsigned char*>(root.data()), root.size()), S_OK);
        return anchors;
    }
    KVC_IProvider* Provider()
    {
        KVC_IProvider* provider = nullptr;
        EXPECT_EQ(table->KVC_IProvider_new(&provider, host), S_OK);
        return provider;
    }

    std::string Write(const std::string& name, const std::vector<unsigned char>& bytes)
    {
        std::string path = m_home.path() + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    // The result as PKCS#12: openssl opens it, its key is the certificate's
    // and the certificate verifies up to the test root.
    void ExpectPkcs12(KVC_IPSE* result)
    {
        unsigned long length = 0;
        ASSERT_EQ(result->getAsPKCS12("export", nullptr, &length), S_OK);
        std::vector<unsigned char> p12(length);
        ASSERT_EQ(result->getAsPKCS12("export", p12.data(), &length), S_OK);
        const std::string path = Write("result.p12", p12);
        std::string info;
        ASSERT_EQ(
            RunProgram({"openssl", "pkcs12", "-info", "-noout", "-in", path, "-passin", "pass:export"}, {}, &info), 0);
        std::string keyPub, certPub;
        ASSERT_EQ(
            RunProgram({"sh", "-c",
                        "openssl pkcs12 -in '" + path + "' -passin pass:export -nocerts -nodes | openssl pkey -pubout"},
                       {}, &keyPub),
            0);
        ASSERT_EQ(RunProgram({"sh", "-c",
                              "openssl pkcs12 -in '" + path + "' -passin pass:export -nokeys -clcerts > '" + path
                                  + ".pem' && openssl x509 -in '" + path + ".pem' -pubkey -noout"},
                             {}, &certPub),
                  0);
        EXPECT_FALSE(keyPub.empty());
        EXPECT_EQ(keyPub, certPub);
        EXPECT_EQ(RunProgram({"openssl", "verify", "-CAfile", s_server->File("root"), "-untrusted",
                              s_server->File("inter"), path + ".pem"},
                             {}),
                  0);
    }

    const ZELK_KVC_TABLE* table = nullptr;
    CComObject<Host>* host = nullptr;
    std::vector<KVC_IPSE*> containers;
};

TEST_F(Embedding, ServerInputFieldsWithTrustAnchorsAndAClientCertificate)
{
    KVC_IPSE* client = Container();
    const std::string identity = s_server->ReadFile("client");
    ASSERT_EQ(client->loadFromPSE(reinterpret_cast<const unsigned char*>(identity.data()), identity.size(), ""), S_OK);
    KVC_IProvider* provider = Provider();
    ASSERT_EQ(provider->setTLSTrustAnchors(Anchors()), S_OK);
    ASSERT_EQ(provider->setClientCert(client), S_OK);
    host->values = {{"User name", "alice"}, {"Password", "secret"}, {"One-time code", "222222"}, {"New PIN", "4711"}};
    host->fromOtherThread = true;
    void* engine = nullptr;
    EXPECT_EQ(provider->getEngine(IID_IKestrin, &engine), E_COMMON_INVALIDDATA);

    ASSERT_EQ(provider->startLogin(s_server->Url("clientcert", "/KestrinServer/kvc3/doLogin?").c_str(), 0), S_OK);
    // While the login runs nothing of it changes.
    EXPECT_EQ(provider->startLogin("https://localhost/", 0), E_COMMON_INVALIDDATA);
    EXPECT_EQ(provider->setClientCert(nullptr), E_COMMON_INVALIDDATA);
    EXPECT_EQ(provider->cancel(), E_NOTIMPL);
    ASSERT_EQ(provider->wait(kLoginMilliseconds), S_OK);

    ASSERT_EQ(host->ends, 1);
    ASSERT_NE(host->result, nullptr) << std::hex << host->failed << " " << host->failedMessage;
    ASSERT_EQ(host->questions.size(), 3u);
    EXPECT_EQ(host->questions[0], (std::vector<std::pair<int32_t, std::string>> {{0, "User name"}, {1, "Password"}}));
    EXPECT_EQ(host->messages[0], "Welcome");
    EXPECT_EQ(host->questions[2], (std::vector<std::pair<int32_t, std::string>> {{1, "New PIN"}}));
    ExpectPkcs12(host->result);
    ASSERT_EQ(provider->getEngine(IID_IKestrinEx, &engine), S_OK);
    static_cast<IKestrinEx*>(engine)->Release();

    // Every request showed the client certificate.
    auto requests = s_server->Requests();
    ASSERT_FALSE(requests.empty());
    for (const auto& request : requests)
        EXPECT_EQ(request["client"], "Kestrin Test Client") << request["target"];
    provider->Release();
}

TEST_F(Embedding, UserNameQuestionCancelledThenAnsweredOnANewLogin)
{
    const std::string url = s_server->Url("good", "/KestrinServer/kvc1/enrol");
    KVC_IProvider* provider = Provider();
    ASSERT_EQ(provider->setTLSTrustAnchors(Anchors()), S_OK);
    host->answers = {E_UI_CANCELLED};
    ASSERT_EQ(provider->startLogin(url.c_str(), 0), S_OK);
    ASSERT_EQ(provider->wait(kLoginMilliseconds), S_OK);
    ASSERT_EQ(host->ends, 1);
    EXPECT_EQ(host->failed, E_UI_CANCELLED);
    ASSERT_EQ(host->questions.size(), 1u);
    EXPECT_EQ(host->questions[0], (std::vector<std::pair<int32_t, std::string>> {{0, "Username"}, {1, "Password"}}));
    EXPECT_EQ(host->failedMessage, host->messages[0]);
    // Only the first request was sent: the cancel sent no credentials.
    EXPECT_EQ(s_server->Requests().size(), 1u);

    // After the end was seen, the same provider enrols.
    host->answers.clear();
    host->questions.clear();
    host->values = {{"Username", "alice"}, {"Password", "secret"}};
    ASSERT_EQ(provider->startLogin(url.c_str(), 0), S_OK);
    ASSERT_EQ(provider->wait(kLoginMilliseconds), S_OK);
    ASSERT_EQ(host->ends, 2);
    ASSERT_NE(host->result, nullptr) << std::hex << host->failed << " " << host->failedMessage;
    ExpectPkcs12(host->result);

    // The result renews: its certificate is the next request's template, and
    // a container of another module is no template.
    KVC_IPSE* renewal = host->result;
    renewal->AddRef();
    ASSERT_EQ(provider->startLoginEx(url.c_str(), renewal, 0), S_OK);
    ASSERT_EQ(provider->wait(kLoginMilliseconds), S_OK);
    EXPECT_EQ(host->ends, 3);
    EXPECT_NE(host->result, renewal);
    renewal->Release();
    provider->Release();
}

TEST_F(Embedding, FailuresReachTheHandlerOnceWithTheirTexts)
{
    // Without trust anchors the server is not trusted.
    KVC_IProvider* provider = Provider();
    ASSERT_EQ(provider->startLogin(s_server->Url("good", "/KestrinServer/kvc1/enrol").c_str(), 0), S_OK);
    ASSERT_EQ(provider->wait(kLoginMilliseconds), S_OK);
    EXPECT_EQ(host->ends, 1);
    EXPECT_LT(host->failed, 0);
    EXPECT_EQ(host->result, nullptr);
    void* engine = nullptr;
    EXPECT_EQ(provider->getEngine(IID_IKestrin, &engine), E_COMMON_INVALIDDATA);

    // A refusal of the server ends the login with the server's text.
    provider->Release();
    provider = Provider();
    ASSERT_EQ(provider->setTLSTrustAnchors(Anchors()), S_OK);
    host->values = {{"User name", "alice"}, {"Password", "wrong"}};
    ASSERT_EQ(provider->startLogin(s_server->Url("good", "/KestrinServer/kvc3/doLogin?").c_str(), 0), S_OK);
    ASSERT_EQ(provider->wait(kLoginMilliseconds), S_OK);
    EXPECT_EQ(host->ends, 2);
    EXPECT_EQ(host->failed, E_ACCESSDENIED);
    EXPECT_EQ(host->questions.size(), 1u);
    EXPECT_EQ(host->failedMessage, "Wrong user name or password");
    EXPECT_EQ(provider->getEngine(IID_IKestrin, &engine), E_COMMON_INVALIDDATA);
    provider->Release();
}

}  // namespace
}  // namespace kestrin::enrol::test
