// The Kerberos token over a real KDC: one token per process, made only where
// the crypto library offers Kerberos; the Kerberos row with its names and the
// re-authentication verb; application objects "Kerberos-"; the interactive
// fallback of "SSOMode" 5 and the name refresh after a handshake.
#include "tokens/token_kerberos.h"

#include <stdlib.h>

#include <cstring>
#include <string>

#include "fakes/fake_dialog.h"
#include "kdc_fixture.h"
#include "model/model_kerberos.h"
#include "qev_kerberos.h"
#include "tokens/kerberos_api.h"
#include "tokens/token.h"
#include "tokens_fixture.h"
#include "zelk_alloc.h"
#include "zelk_class.h"

namespace kestrin::service::test {
namespace {

using kestrin::testsupport::KdcFixture;
using ZELK::PSESVC::CKerberosAPI;
using ZELK::PSESVC::CModelKerberos;
using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CToken_Kerberos;
using ZELK::PSESVC::IGUIModelKerberos;

void FreeOctets(OctetString* s)
{
    const SEC_TYPE_TABLE* type = SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString);
    if (s && type)
        type->free(s);
}

// The target name a ticket blob carries.
std::string BlobTarget(const OctetString* blob)
{
    uint32_t n = 0;
    if (blob == nullptr || blob->length < 4)
        return "<none>";
    std::memcpy(&n, blob->data, 4);
    return std::string(reinterpret_cast<const char*>(blob->data) + 4, n);
}

struct RowState {
    std::string upn;
    std::string dname;
    std::vector<std::string> verbs;  // "name state"
};

RowState Row()
{
    RowState state;
    CModelKerberos* row = nullptr;
    EXPECT_EQ(CModelKerberos::New<CModelKerberos>(&row), S_OK);
    if (row == nullptr)
        return state;
    state.upn = row->GetUPN() ? row->GetUPN() : "";
    state.dname = row->GetDName() ? row->GetDName() : "";
    for (uint64_t i = 0; i < row->GetVerbCount(); ++i) {
        ZELK::PSESVC::IGUIVerb* verb = nullptr;
        if (SUCCEEDED(row->GetVerb(i, &verb)) && verb) {
            state.verbs.push_back(std::string(verb->GetVerbName()) + " " + std::to_string(verb->GetState()));
            verb->Release();
        }
    }
    static_cast<IGUIModelKerberos*>(row)->Release();
    return state;
}

size_t VerbRuns()
{
    size_t runs = 0;
    for (const std::string& line : Dialogs::Log())
        runs += line == "verb verb.reauth" ? 1 : 0;
    return runs;
}

class TokenKerberosTest : public TokensTest {
protected:
    static void SetUpTestSuite()
    {
        s_kdc = new KdcFixture();
        std::string error;
        if (!s_kdc->Start(error)) {
            ADD_FAILURE() << error;
            delete s_kdc;
            s_kdc = nullptr;
        }
    }
    static void TearDownTestSuite()
    {
        delete s_kdc;
        s_kdc = nullptr;
    }
    void SetUp() override
    {
        ASSERT_NE(s_kdc, nullptr);
        TokensTest::SetUp();
        Dialogs::Reset();
        s_kdc->ExportToProcess();
        ASSERT_TRUE(s_kdc->Kinit("alice", s_kdc->Keytab("alice")));
    }
    void TearDown() override
    {
        if (m_token != nullptr)
            m_token->Release();
        TokensTest::TearDown();
        CKerberosAPI::s_bChecked = false;
        CKerberosAPI::s_bIsAPIAvailable = false;
    }
    CToken_Kerberos* Token()
    {
        if (m_token == nullptr) {
            EXPECT_EQ(CToken_Kerberos::New(&m_token), S_OK);
        }
        return m_token;
    }
    void NoCache() { setenv("KRB5CCNAME", ("FILE:" + m_dir + "/no-cache").c_str(), 1); }

    CToken_Kerberos* m_token = nullptr;
    static inline KdcFixture* s_kdc = nullptr;
};

TEST_F(TokenKerberosTest, WithoutTheKerberosTableThereIsNoToken)
{
    CKerberosAPI::s_bChecked = true;
    CKerberosAPI::s_bIsAPIAvailable = false;
    EXPECT_FALSE(CToken_Kerberos::IsAvailable());
    CToken_Kerberos* token = reinterpret_cast<CToken_Kerberos*>(1);
    EXPECT_EQ(CToken_Kerberos::New(&token), E_NOTIMPL);
    EXPECT_EQ(token, nullptr);
    IUnknown* object = nullptr;
    EXPECT_EQ(CZELK_CLASS::CreateObject("zelk", "zelk.kerberos", IID_IUnknown, reinterpret_cast<void**>(&object)),
              E_NOTIMPL);
    OctetString* blob = nullptr;
    EXPECT_EQ(CToken_Kerberos::readApplObject("Kerberos-HTTP/localhost", &blob), E_NOTIMPL);
    EXPECT_EQ(CToken_Kerberos::FinishedPrivateKeyOperation(), E_NOTIMPL);
    EXPECT_EQ(blob, nullptr);
}

TEST_F(TokenKerberosTest, OneTokenFillsTheKerberosRow)
{
    IUnknown* byName = nullptr;
    ASSERT_EQ(CZELK_CLASS::CreateObject("zelk", "zelk.kerberos", IID_IUnknown, reinterpret_cast<void**>(&byName)),
              S_OK);
    EXPECT_EQ(byName, static_cast<IUnknown*>(Token()));
    byName->Release();

    RowState row = Row();
    EXPECT_EQ(row.upn, "ALICE@KESTRIN.TEST");
    EXPECT_EQ(row.dname, "CN=ALICE@KESTRIN.TEST");
    ASSERT_EQ(row.verbs.size(), 2u);
    EXPECT_EQ(row.verbs[1], "verb.reauth 16");

    // Without a ticket cache the refresh empties the row.
    NoCache();
    EXPECT_EQ(Token()->Refresh(), S_OK);
    row = Row();
    EXPECT_EQ(row.upn, "");
    EXPECT_EQ(row.dname, "");

    // The verb runs in the application and is not offered: the names are
    // read again, 0x80000001.
    s_kdc->ExportToProcess();
    EXPECT_EQ(CToken::DoVerbByName(Token(), "verb.reauth"), E_NOTIMPL);
    EXPECT_EQ(VerbRuns(), 1u);
    EXPECT_EQ(Row().upn, "ALICE@KESTRIN.TEST");
}

TEST_F(TokenKerberosTest, ApplicationObjectsNameTheirPrincipalAfterThePrefix)
{
    struct Case {
        const char* name;
        HRESULT expected;
        const char* target;  // carried in the blob
    } cases[] = {
        {"Kerberos-HTTP/localhost", S_OK, "HTTP/localhost"},
        {"Kerberos-QEV/localhost", S_OK, "QEV/localhost"},
        // No parsing: a distinguished name is asked for as it stands.
        {"Kerberos-CN=localhost", E_FAIL, nullptr},
        {"kerberos-HTTP/localhost", E_INVALIDARG, nullptr},
        {"HTTP/localhost", E_INVALIDARG, nullptr},
        {nullptr, E_INVALIDARG, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        OctetString* blob = nullptr;
        EXPECT_EQ(CToken_Kerberos::readApplObject(c.name, &blob), c.expected);
        if (c.target != nullptr)
            EXPECT_EQ(BlobTarget(blob), c.target);
        else
            EXPECT_EQ(blob, nullptr);
        FreeOctets(blob);
    }
}

// Logs the user in as the application's dialog would: a new ticket, then 0.
class LoggingIn : public CToken_Kerberos {
public:
    HRESULT Reauth(ZELK::PSESVC::ICredUI*) override
    {
        ++logins;
        if (s_kdc == nullptr || !s_kdc->Kinit("alice", s_kdc->Keytab("alice")))
            return E_FAIL;
        s_kdc->ExportToProcess();
        return S_OK;
    }
    static inline KdcFixture* s_kdc = nullptr;
    int logins = 0;
};

TEST_F(TokenKerberosTest, WithoutCredentialsModeFiveAsksTheUserOnce)
{
    struct Case {
        const char* dict;
        HRESULT expected;
        size_t verbs;
    } cases[] = {
        {"{}", SEC_E_KERBEROS_NO_CREDENTIALS, 0},
        {"{'Common': {'Kerberos': {'SSOMode': 5}}}", SEC_E_KERBEROS_NO_CREDENTIALS, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dict);
        ServiceTest::TearDown();
        Plist(c.dict);
        ServiceTest::SetUp();
        Dialogs::Reset();
        NoCache();
        CaptureTrace(1);
        OctetString* ticket = nullptr;
        OctetString* key = nullptr;
        CToken_Kerberos* token = nullptr;
        ASSERT_EQ(CToken_Kerberos::New(&token), S_OK);
        EXPECT_EQ(token->CreateTicket("HTTP/localhost", &ticket, &key, nullptr), c.expected);
        EXPECT_EQ(ticket, nullptr);
        EXPECT_EQ(VerbRuns(), c.verbs);
        EXPECT_EQ(CountTrace("SSO_MODE=5 forces an interactive login now"), c.verbs);
        // The blob of an application object asks the user once too.
        OctetString* blob = nullptr;
        EXPECT_EQ(CToken_Kerberos::readApplObject("Kerberos-HTTP/localhost", &blob), c.expected);
        EXPECT_EQ(blob, nullptr);
        EXPECT_EQ(VerbRuns(), 2 * c.verbs);
        token->Release();
    }

    // A login in the dialog brings a ticket: the request runs once more.
    LoggingIn::s_kdc = s_kdc;
    CComObject<LoggingIn>* token = nullptr;
    ASSERT_EQ(CComObject<LoggingIn>::CreateInstance(&token), S_OK);
    token->AddRef();
    OctetString* blob = nullptr;
    EXPECT_EQ(token->CreateTicket("HTTP/localhost", &blob), S_OK);
    EXPECT_EQ(token->logins, 1);
    EXPECT_EQ(BlobTarget(blob), "HTTP/localhost");
    FreeOctets(blob);
    token->Release();
}

TEST_F(TokenKerberosTest, AHandshakeRereadsTheNamesInModesTwoAndFour)
{
    struct Case {
        const char* dict;
        bool reread;
    } cases[] = {
        {"{}", false},
        {"{'Common': {'Kerberos': {'SSOMode': 2}}}", true},
        {"{'Common': {'Kerberos': {'SSOMode': 4}}}", true},
        {"{'Common': {'Kerberos': {'SSOMode': 9}}}", true},
        {"{'Common': {'Kerberos': {'SSOMode': 3}}}", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dict);
        ServiceTest::TearDown();
        Plist(c.dict);
        ServiceTest::SetUp();
        s_kdc->ExportToProcess();
        CToken_Kerberos* token = nullptr;
        ASSERT_EQ(CToken_Kerberos::New(&token), S_OK);
        EXPECT_EQ(Row().upn, "ALICE@KESTRIN.TEST");
        NoCache();
        EXPECT_EQ(CToken_Kerberos::FinishedPrivateKeyOperation(), S_OK);
        EXPECT_EQ(Row().upn, c.reread ? "" : "ALICE@KESTRIN.TEST");
        token->Release();
    }
}

}  // namespace
}  // namespace kestrin::service::test
