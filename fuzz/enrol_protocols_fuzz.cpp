// The enrolment client's protocols 2.0 and 3.0 reading the server's replies,
// fed through a fake connection: the client's transport calls are answered
// from the input, which holds the replies one after another (separated by
// "\n=====\n"). The first byte picks the protocol; the first byte of each
// reply its content type. The dialogue answers whatever the client state
// asks for until the replies run out or the dialogue ends.
#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "enrol_bindings.h"
#include "enrol_client_fuzz.h"
#include "zelk_policy_client.h"

using namespace kestrin::enrol;

namespace {

constexpr char kSeparator[] = "\n=====\n";
constexpr int kMaxSteps = 16;

class FakeConnectionClient : public CKestrin {
public:
    std::vector<std::string> replies;

    HRESULT create_urlRef(const char*) override { return S_OK; }
    HRESULT finalize_url() override { return S_OK; }
    HRESULT Send_Any(const char* body, const char*) override
    {
        if (body == nullptr) {
            SetState(QM_STATE_ERROR);
            return E_QM_COMPOSEXML;
        }
        if (m_next >= replies.size())
            return E_QM_URL_ERROR;
        const std::string& reply = replies[m_next++];
        static const char* const kTypes[] = {"application/json", "message/plain; charset=UTF-8",
                                             "application/pkcs7-mime", nullptr};
        m_type = reply.empty() ? nullptr : kTypes[static_cast<unsigned char>(reply[0]) % 4];
        m_body.assign(reply.empty() ? reply : reply.substr(1));
        m_blob = OctetString {m_body.size(), reinterpret_cast<unsigned char*>(m_body.data())};
        return S_OK;
    }
    const char* GetHttpResponseHeader(const char* name) override
    {
        return name != nullptr && strcasecmp(name, "Content-Type") == 0 ? m_type : nullptr;
    }
    const char* GetResponseBody() override { return m_body.c_str(); }
    OctetString* GetResponseBodyBlob() override { return &m_blob; }

private:
    size_t m_next = 0;
    std::string m_body;
    OctetString m_blob {0, nullptr};
    const char* m_type = nullptr;
};

// Every field answered with a text beyond ASCII.
void FillFields(IKestrin* client)
{
    for (unsigned long i = 0;; ++i) {
        IKestrinInputField* field = nullptr;
        if (client->GetInputObjects(i, &field) != S_OK || field == nullptr)
            break;
        field->SetValue(L"v\u00E4lue&=%");
        field->Release();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::StartRuntime();
    if (size == 0)
        return 0;
    auto* client = new CComObject<FakeConnectionClient>();
    client->AddRef();
    const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
    for (size_t start = 0;;) {
        size_t end = input.find(kSeparator, start);
        client->replies.push_back(input.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            break;
        start = end + sizeof kSeparator - 1;
    }
    ZELK_IPolicy* policy = nullptr;
    if (ZELK_PolOpenType("fuzz", "zelk.policy.mem", &policy) != S_OK || policy == nullptr)
        std::abort();
    policy->SetString("enrollURL0", data[0] % 2 == 0 ? "https://fuzz.invalid/KestrinServer/kvc2/doLogin"
                                                     : "https://fuzz.invalid/KestrinServer/kvc3/doLogin");
    client->SetPolicy(policy);
    client->SetCertNameRequest("fuzz");
    HRESULT hr = client->Send_Init(L"en-US");
    for (int step = 0; step < kMaxSteps && SUCCEEDED(hr); ++step) {
        switch (client->GetState()) {
        case QM_STATE_INPUT:
            FillFields(client);
            hr = client->Send_Auth();
            break;
        case QM_STATE_AUTH:
            hr = client->Send_Auth(L"user", L"p\u00E4ss");
            break;
        case QM_STATE_SPNEGO:
            hr = client->Send_Auth_SPNEGO("dG9rZW4=");
            break;
        case QM_STATE_NEW_PIN:
            hr = client->Send_NewPin(L"4711");
            break;
        case QM_STATE_NEXT_CODE:
            hr = client->Send_NextCode(L"222222");
            break;
        case QM_STATE_READY:
            hr = client->Send_PKCS10();
            break;
        default:
            hr = E_FAIL;
            break;
        }
        for (unsigned index = 0; index < 10; ++index)
            client->GetString(index);
    }
    client->Release();
    ZELK_PolClose(&policy);
    return 0;
}
