// Protocol selection, the client's host name and address, transport codes as
// enrolment results, and the input fields.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "enrol_fixture.h"
#include "kestrin_codes.h"
#include "kestrin_input_field.h"
#include "kestrin_ip.h"
#include "kestrin_protocol.h"
#include "qev_ssl.h"
#include "qev_url.h"

namespace kestrin::enrol::test {
namespace {

class Protocols : public EnrolRuntime {};

TEST_F(Protocols, TheEnrolUrlChoosesTheVersion)
{
    struct Case {
        const char* url;
        HRESULT version;
    } cases[] = {
        {"https://h/kestrin/enrol", 1},
        {"https://h/KestrinServer/kvc1/", 1},
        {"https://h/KestrinServer/kvc1/KestrinServer/kvc2/", 1},
        {"https://h/KestrinServer/kvc2/x", 2},
        {"https://h/KESTRINSERVER/KVC1/", 3},
        {"https://h/KestrinServer/kvc3/", 3},
        {"https://h/", 3},
        {"", 3},
    };
    for (const Case& k : cases) {
        std::unique_ptr<CKestrin_Protocol> p(CKestrin_Protocol::New(nullptr, k.url));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->GetProtocolVersion(), k.version) << k.url;
        IKestrinInputField* field = nullptr;
        if (k.version == 1) {
            ASSERT_EQ(p->GetInputObjects(0, &field), S_OK);
            EXPECT_STREQ(field->GetField(), "j_username");
            EXPECT_STREQ(field->GetType(), "text");
            field->Release();
            ASSERT_EQ(p->GetInputObjects(1, &field), S_OK);
            EXPECT_STREQ(field->GetType(), "password");
            field->Release();
            EXPECT_EQ(p->GetInputObjects(2, &field), E_FAIL);
            EXPECT_EQ(p->Send_Auth(), E_NOTIMPL);
            EXPECT_EQ(p->Send_PKCS10(), E_NOTIMPL);
        } else {
            EXPECT_EQ(p->GetInputObjects(0, &field), E_FAIL);
            EXPECT_EQ(field, nullptr);
        }
        EXPECT_EQ(p->GetInputObjects(0, nullptr), E_INVALIDARG);
    }
}

// A resolver that answers the addresses a test sets, in order.
int s_families[2];
int s_familyCount = 0;
bool s_noName = false;

int FakeHostName(char* name, size_t length)
{
    if (s_noName)
        return -1;
    std::strncpy(name, "client", length);
    return 0;
}

int FakeResolve(const char*, const char*, const addrinfo* hints, addrinfo** result)
{
    EXPECT_NE(hints->ai_flags & AI_CANONNAME, 0);
    addrinfo* head = nullptr;
    for (int i = s_familyCount - 1; i >= 0; --i) {
        auto* a = static_cast<addrinfo*>(std::calloc(1, sizeof(addrinfo)));
        a->ai_family = s_families[i];
        if (s_families[i] == AF_INET) {
            auto* in = static_cast<sockaddr_in*>(std::calloc(1, sizeof(sockaddr_in)));
            in->sin_family = AF_INET;
            inet_pton(AF_INET, "192.0.2.7", &in->sin_addr);
            a->ai_addr = reinterpret_cast<sockaddr*>(in);
        } else {
            auto* in6 = static_cast<sockaddr_in6*>(std::calloc(1, sizeof(sockaddr_in6)));
            in6->sin6_family = AF_INET6;
            a->ai_addr = reinterpret_cast<sockaddr*>(in6);
        }
        a->ai_canonname = i == 0 ? strdup("client.example") : nullptr;
        a->ai_next = head;
        head = a;
    }
    *result = head;
    return head != nullptr ? 0 : EAI_NONAME;
}

void FakeFree(addrinfo* a)
{
    while (a != nullptr) {
        addrinfo* next = a->ai_next;
        std::free(a->ai_addr);
        std::free(a->ai_canonname);
        std::free(a);
        a = next;
    }
}

TEST_F(Protocols, HostNameAndAddressComeFromTheFirstAnswer)
{
    CKestrinIP::SetResolver(&FakeResolve, &FakeFree, &FakeHostName);
    struct Case {
        int families[2];
        int count;
        bool noName;
        HRESULT expected;
    } cases[] = {
        {{AF_INET, AF_INET6}, 2, false, S_OK},
        {{AF_INET6, AF_INET}, 2, false, E_FAIL},
        {{0, 0}, 0, false, E_FAIL},
        {{AF_INET, 0}, 1, true, E_FAIL},
    };
    for (const Case& k : cases) {
        std::memcpy(s_families, k.families, sizeof s_families);
        s_familyCount = k.count;
        s_noName = k.noName;
        StringT<char> host, address;
        EXPECT_EQ(CKestrinIP::GetIp(&host, &address), k.expected);
        if (k.expected == S_OK) {
            EXPECT_STREQ(host, "client.example");
            EXPECT_STREQ(address, "192.0.2.7");
        } else {
            EXPECT_FALSE(host);
        }
    }
    CKestrinIP::SetResolver(nullptr, nullptr, nullptr);
    StringT<char> host, address;
    EXPECT_EQ(CKestrinIP::GetIp(nullptr, &address), E_INVALIDARG);
}

TEST_F(Protocols, TransportCodesBecomeEnrolmentResults)
{
    struct Case {
        HRESULT transport;
        HRESULT result;
    } cases[] = {
        {S_OK, S_OK},
        {E_SSL_UNTRUSTED, E_QM_URL_ERROR_SSL},
        {E_SSL_ACCESSDENIED, E_ACCESSDENIED},
        {E_URL_CONNECTTIMEOUT, E_QM_SERVER_CONNECT_TIMEOUT},
        {E_URL_FAILED, E_QM_URL_ERROR},
        {E_URL_SERVERERROR, E_QM_SERVER_ERROR},
        {E_URL_TIMEOUT, E_QM_SERVER_CONNECT_TIMEOUT},
        {E_URL_CERTNAME, E_QM_URL_ERROR_SSL_NAME},
        {ZELK_RC(0xA250020B), E_QM_URL_ERROR_SSL_NAME},
        {E_URL_CERTEXT, E_QM_URL_ERROR_SSL_EXT},
        {E_URL_CERTCHAIN, E_QM_URL_ERROR_SSL},
        {E_URL_UNKNOWNHOST, E_QM_SERVER_ERROR_NOHOST},
        {ZELK_RC(0xA2500215), E_QM_URL_ERROR},
        {E_FAIL, E_QM_URL_ERROR},
    };
    for (const Case& k : cases)
        EXPECT_EQ(MapTransportCode(k.transport), k.result) << std::hex << k.transport;
}

TEST_F(Protocols, InputFieldsTrimPromptsAndEncodeValues)
{
    CKestrinInputField* field = nullptr;
    ASSERT_EQ(CKestrinInputField::New(&field), S_OK);
    struct Case {
        const char* prompt;
        const char* expected;
    } prompts[] = {{" Password: ", "Password"}, {"User name :", "User name "}, {":", ":"}, {"", ""}};
    for (const Case& k : prompts) {
        StringT<char> out;
        field->RemoveTrailingColon(k.prompt, &out);
        EXPECT_STREQ(out, k.expected) << k.prompt;
    }
    field->SetUserPrompt("Name:");
    EXPECT_STREQ(field->GetUserPrompt(), "Name");
    EXPECT_EQ(Narrow(field->GetUserPromptW()), "Name");
    field->SetValue(L"a b&c");
    EXPECT_STREQ(field->GetValueURLEncoded(), "a%20b%26c");
    field->SetValue(L"");
    EXPECT_STREQ(field->GetValueURLEncoded(), "");
    IKestrinInputField* asInterface = nullptr;
    ASSERT_EQ(field->QueryInterface(IID_IKestrinInputField, reinterpret_cast<void**>(&asInterface)), S_OK);
    void* asClass = nullptr;
    ASSERT_EQ(field->QueryInterface(IID_CKestrinInputField, &asClass), S_OK);
    EXPECT_EQ(asClass, static_cast<void*>(field));
    asInterface->Release();
    field->Release();
    field->Release();
    EXPECT_EQ(CKestrinInputField::New(nullptr, &field), E_INVALIDARG);
}

}  // namespace
}  // namespace kestrin::enrol::test
