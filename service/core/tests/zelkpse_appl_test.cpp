// The service PSE's application objects and control channel on a service PSE
// whose token manager and connection broker are recording stand-ins.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_token_calls.h"
#include "qev_attributes.h"
#include "qev_results.h"
#include "service_fixture.h"
#include "webadapter/kvc_api_facade.h"
#include "webadapter/tests/facade_double.h"
#include "zelk_class.h"
#include "zelk_holders.h"
#include "zelk_object.h"
#include "zelkpse.h"

namespace kestrin::service::test {
namespace {

using ZELK::PSESVC::CKVCAPIFacade;
using ZELK::PSESVC::ZELKPSE;

std::vector<std::string> s_transactions;

class FakeFacade : public kestrin::webadapter::test::FacadeDouble {
public:
    HRESULT transact(const char* caller, const char* path, IJsonObject* request, IJsonObject* response) override
    {
        const char* id = request->getMemberStringValueStatic("id");
        s_transactions.push_back(std::string(caller ? caller : "(null)") + " " + path + " " + (id ? id : "-"));
        response->setMemberStringValue("answer", "ok \"quoted\"");
        response->setMemberNumberValue("status", 200);
        return 0x1F4;
    }
};

HRESULT CreateFacade(const GUID& iid, void** out)
{
    CComObject<FakeFacade>* object = nullptr;
    HRESULT hr = CComObject<FakeFacade>::CreateInstance(&object);
    if (FAILED(hr))
        return hr;
    object->AddRef();
    hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
}

CZELK_CLASS s_facade("zelk", ZELK::PSESVC::KVC_API_FACADE_CLASS, &CreateFacade);

OctetString Bytes(const std::string& bytes)
{
    return OctetString {bytes.size(), reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()))};
}

class ApplObjectTest : public ServiceTest {
protected:
    void SetUp() override
    {
        ServiceTest::SetUp();
        TokenCalls::Reset();
        s_transactions.clear();
        ASSERT_EQ(CComObject<ZELKPSE>::CreateInstance(&m_pse), S_OK);
        m_pse->AddRef();
    }
    void TearDown() override
    {
        m_pse->Release();
        ServiceTest::TearDown();
    }

    HRESULT Write(const char* name, const std::string& bytes)
    {
        OctetString value = Bytes(bytes);
        return m_pse->writeApplObject(name, &value);
    }
    // The value read as text, "(none)" for 1, "(null)" for a NULL value.
    std::string Read(const char* name)
    {
        OctetString* value = reinterpret_cast<OctetString*>(1);
        HRESULT hr = m_pse->readApplObject(name, &value);
        if (hr == S_FALSE) {
            EXPECT_EQ(value, nullptr);
            return "(none)";
        }
        EXPECT_EQ(hr, S_OK);
        if (value == nullptr)
            return "(null)";
        std::string text(reinterpret_cast<char*>(value->data), value->length);
        AuxFree(&value);
        return text;
    }

    CComObject<ZELKPSE>* m_pse = nullptr;
};

TEST_F(ApplObjectTest, StoresReplacesAndKeepsWriteOnceValues)
{
    OctetString* out = nullptr;
    EXPECT_EQ(m_pse->readApplObject(nullptr, &out), E_INVALIDARG);
    EXPECT_EQ(m_pse->readApplObject("a", nullptr), E_INVALIDARG);
    EXPECT_EQ(m_pse->writeApplObject(nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(Read("never"), "(none)");

    EXPECT_EQ(Write("plain", "one"), S_OK);
    EXPECT_EQ(Write("plain", std::string("t\0wo", 4)), S_OK);
    EXPECT_EQ(Read("plain"), std::string("t\0wo", 4));
    EXPECT_EQ(m_pse->writeApplObject("plain", nullptr), S_OK);
    EXPECT_EQ(Read("plain"), "(null)");
    EXPECT_EQ(Read("Plain"), "(none)");

    EXPECT_EQ(Write("!once", "first"), S_OK);
    EXPECT_EQ(Write("!once", "second"), E_ACCESSDENIED);
    EXPECT_EQ(Read("!once"), "first");

    // 1 MiB without a NUL is kept whole.
    std::string big(1 << 20, 'x');
    EXPECT_EQ(Write("big", big), S_OK);
    EXPECT_EQ(Read("big"), big);
}

TEST_F(ApplObjectTest, CommandsAreRunAndNeverStored)
{
    struct Case {
        const char* name;
        std::string value;
        const char* call;
    } cases[] = {
        {"kvc.login", std::string("tok:a\0gvx.example", 17), "login tok:a|gvx.example"},
        {"kvc.login", std::string("tok:a\0", 6), "login tok:a|(null)"},
        {"kvc.login", "tok:a", "login tok:a|(null)"},
        {"kvc.login", std::string("\0\0\0", 3), "login |"},
        {"kvc.login", std::string("a\0b\0c", 5), "login a|b"},
        {"kvc.login", "", "login (null)|(null)"},
        {"kvc.login.gvx", "tok:b/target/x", "login tok:b|target/x"},
        {"kvc.login.gvx", "tok:b", "login tok:b|(null)"},
        {"kvc.logout", std::string("tok:c\0ignored", 13), "logout tok:c"},
        {"kvc.is.enrolled", "tok:d", "enrolled tok:d"},
    };
    for (const Case& c : cases) {
        TokenCalls::Reset();
        TokenCalls::s_result = 0x7;
        EXPECT_EQ(Write(c.name, c.value), 0x7) << c.call;
        EXPECT_EQ(TokenCalls::Calls(), std::vector<std::string> {c.call});
        EXPECT_EQ(Read(c.name), "(none)");
    }
    TokenCalls::Reset();
    TokenCalls::s_result = E_TOKEN_NOTFOUND;
    EXPECT_EQ(Write("kvc.is.enrolled", "unknown"), E_TOKEN_NOTFOUND);

    TokenCalls::Reset();
    EXPECT_EQ(Write("kvc.other", "x"), E_INVALIDARG);
    EXPECT_TRUE(TokenCalls::Calls().empty());
    EXPECT_EQ(Read("kvc.other"), "(none)");
}

TEST_F(ApplObjectTest, TheUserObjectIsWrittenOnceEvenWithoutASession)
{
    EXPECT_EQ(Write("!org.kestrin.client.user", std::string("alice\0rest", 10)), E_FAIL);
    EXPECT_EQ(Write("!org.kestrin.client.user", "bob"), E_ACCESSDENIED);
    EXPECT_EQ(Read("!org.kestrin.client.user"), std::string("alice\0rest", 10));
}

TEST_F(ApplObjectTest, SessionsShareTheListSafely)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 200; ++i) {
                std::string name = "n" + std::to_string(t) + "." + std::to_string(i);
                EXPECT_EQ(Write(name.c_str(), name), S_OK);
                EXPECT_EQ(Write("shared", name), S_OK);
                EXPECT_EQ(Read(name.c_str()), name);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(Read("n7.199"), "n7.199");
    EXPECT_EQ(Read("shared").substr(0, 1), "n");
}

class ControlTest : public ApplObjectTest {};

TEST_F(ControlTest, ActionsGoToTheBrokerAndPathsToTheFacade)
{
    char caller[] = "https://portal.example";
    char path[] = "mzt/sign";
    char request[] = "{\"id\":\"r1\"}";
    SECAttribute req {SEC_ATTR_CONTROL_REQUEST, request, 0, 0, 0, nullptr, nullptr};
    SECAttribute pathAttr {SEC_ATTR_CONTROL_PATH, path, 0, 0, 0, nullptr, &req};
    SECAttribute in {SEC_ATTR_CONTROL_CALLER, caller, 0, 0, 0, nullptr, &pathAttr};
    SECAttribute out {SEC_ATTR_CONTROL_ANSWER, nullptr, 0, 0, 0, nullptr, nullptr};

    EXPECT_EQ(m_pse->control(&out, &out), S_OK);
    EXPECT_EQ(out.value, nullptr);

    ASSERT_EQ(m_pse->control(&in, &out), S_OK);
    EXPECT_EQ(s_transactions, std::vector<std::string> {"https://portal.example mzt/sign r1"});
    ASSERT_NE(out.value, nullptr);
    std::string answer = static_cast<char*>(out.value);
    sec_free(out.value);
    out.value = nullptr;
    // Python's json reads the answer.
    std::string command = "python3 -c 'import json,sys; d=json.loads(sys.argv[1]); "
                          "sys.exit(0 if d[\"answer\"]==\"ok \\\"quoted\\\"\" and d[\"status\"]==200 else 1)' '"
                          + answer + "'";
    EXPECT_EQ(std::system(command.c_str()), 0) << answer;

    char action[] = "connect";
    SECAttribute actionIn {SEC_ATTR_ACTION, action, 0, 0, 0, nullptr, &in};
    EXPECT_EQ(m_pse->control(&actionIn, &out), 0x42);
    EXPECT_EQ(TokenCalls::Calls(), std::vector<std::string> {"action connect"});
    EXPECT_EQ(s_transactions.size(), 1u);
}

TEST_F(ControlTest, ARequestThatCannotBeAnsweredIsRefusedBeforeTheFacade)
{
    char path[] = "kvc/getprofiles";
    char notJson[] = "{not json";
    char request[] = "{}";
    SECAttribute bad {SEC_ATTR_CONTROL_REQUEST, notJson, 0, 0, 0, nullptr, nullptr};
    SECAttribute good {SEC_ATTR_CONTROL_REQUEST, request, 0, 0, 0, nullptr, nullptr};
    SECAttribute withBad {SEC_ATTR_CONTROL_PATH, path, 0, 0, 0, nullptr, &bad};
    SECAttribute withGood {SEC_ATTR_CONTROL_PATH, path, 0, 0, 0, nullptr, &good};
    SECAttribute withoutRequest {SEC_ATTR_CONTROL_PATH, path, 0, 0, 0, nullptr, nullptr};
    SECAttribute answer {SEC_ATTR_CONTROL_ANSWER, nullptr, 0, 0, 0, nullptr, nullptr};
    SECAttribute other {SEC_ATTR_CONTROL_CALLER, nullptr, 0, 0, 0, nullptr, nullptr};
    int32_t number = 5;
    SECAttribute wrongType {SEC_ATTR_CONTROL_REQUEST, &number, 0, 0, 0, nullptr, nullptr};
    SECAttribute withWrongType {SEC_ATTR_CONTROL_PATH, path, 0, 0, 0, nullptr, &wrongType};
    wrongType.type = SEC_TypeTable(fptr__common_types, SEC_TYPE_int);

    EXPECT_EQ(m_pse->control(&withBad, &answer), E_FAIL);
    EXPECT_EQ(m_pse->control(&withGood, &other), E_INVALIDARG);
    EXPECT_EQ(m_pse->control(&withGood, nullptr), E_INVALIDARG);
    EXPECT_EQ(m_pse->control(&withoutRequest, &answer), E_INVALIDARG);
    EXPECT_EQ(m_pse->control(&withWrongType, &answer), E_INVALIDARG);
    EXPECT_TRUE(s_transactions.empty());
    EXPECT_EQ(answer.value, nullptr);
    EXPECT_EQ(other.value, nullptr);
}

}  // namespace
}  // namespace kestrin::service::test
