// The Kerberos identity: the ticket blob, target names as subject and
// service principal, "SSOMode", the user name of the credential cache, and
// tickets and SPNEGO tokens from a real KDC through the crypto library.
#include "tokens/kerberos.h"

#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5.h>
#include <stdlib.h>

#include <cstring>
#include <string>

#include "kdc_fixture.h"
#include "qev_kerberos.h"
#include "tokens/kerberos_api.h"
#include "tokens/kerberos_util.h"
#include "tokens_fixture.h"
#include "zelk_alloc.h"
#include "zelk_holders.h"
#include "zelk_module.h"

namespace kestrin::service::test {
namespace {

using kestrin::testsupport::KdcFixture;
using ZELK::PSESVC::CKerberos;
using ZELK::PSESVC::KerbUtil_convertTicket2OctetString;
using ZELK::PSESVC::KerbUtil_parseKerberosName;

std::string Bytes(const OctetString* s)
{
    return s ? std::string(reinterpret_cast<const char*>(s->data), s->length) : std::string("<null>");
}

void FreeOctets(OctetString* s)
{
    const SEC_TYPE_TABLE* type = SEC_TypeTable(fptr__common_types, SEC_TYPE_OctetString);
    if (s && type)
        type->free(s);
}

// Exposes the normalised single-sign-on mode.
class Identity : public CKerberos {
public:
    uint32_t SsoMode() const { return m_ssoMode; }
    bool Fallback() const { return m_interactiveFallback; }
};

std::string UserName(CKerberos& k)
{
    wchar_t* user = nullptr;
    EXPECT_EQ(k.GetNames(nullptr, &user), S_OK);
    std::string text;
    for (const wchar_t* c = user; c && *c; ++c)
        text += static_cast<char>(*c);
    sec_free(user);
    return text;
}

class KerberosTest : public TokensTest {};

TEST_F(KerberosTest, BlobOfTheExample)
{
    unsigned char ticket[] = {0xA1, 0xA2, 0xA3};
    unsigned char key[] = {0xB1, 0xB2};
    OctetString t {3, ticket};
    OctetString k {2, key};
    OctetString* blob = nullptr;
    KerbUtil_convertTicket2OctetString("ab", &t, &k, 18, &blob);
    ASSERT_NE(blob, nullptr);
    const std::string expected("\x02\0\0\0ab\x03\0\0\0\xA1\xA2\xA3\x02\0\0\0\xB1\xB2\x12\0\0\0", 23);
    EXPECT_EQ(Bytes(blob), expected);
    FreeOctets(blob);

    // Anything missing makes nothing.
    blob = nullptr;
    KerbUtil_convertTicket2OctetString(nullptr, &t, &k, 18, &blob);
    KerbUtil_convertTicket2OctetString("ab", nullptr, &k, 18, &blob);
    KerbUtil_convertTicket2OctetString("ab", &t, nullptr, 18, &blob);
    EXPECT_EQ(blob, nullptr);
    KerbUtil_convertTicket2OctetString("ab", &t, &k, 18, nullptr);
}

TEST_F(KerberosTest, TargetNamesAsSubjectAndServicePrincipal)
{
    struct Case {
        const char* name;
        const char* subject;
        const char* principal;  // NULL: none
    };
    const Case cases[] = {
        {"Kerberos-CN=server", "CN=server", "QEV/server"},
        {"CN=HTTP/web.example:8443", "CN=HTTP/web.example:8443", "HTTP/web.example"},
        {"cn=host:443", "cn=host:443", "QEV/host"},
        {"Kerberos-cN=a, O=Org", "cN=a, O=Org", "QEV/a"},
        {"plainword", "CN=plainword", nullptr},
        {"Kerberos-plain", "CN=plain", nullptr},
        {"kerberos-CN=x", "CN=kerberos-CN=x", nullptr},
        {"CN=a=b,,", "CN=CN=a=b,,", nullptr},
        {"O=Org", "CN=O=Org", nullptr},
        {"", "CN=", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char* subject = nullptr;
        char* principal = reinterpret_cast<char*>(1);
        ASSERT_EQ(KerbUtil_parseKerberosName(c.name, &subject, &principal), S_OK);
        EXPECT_STREQ(subject, c.subject);
        EXPECT_STREQ(principal, c.principal);
        sec_free(subject);
        sec_free(principal);
    }
    char* subject = nullptr;
    char* principal = nullptr;
    EXPECT_EQ(KerbUtil_parseKerberosName(nullptr, &subject, &principal), E_INVALIDARG);
    EXPECT_EQ(KerbUtil_parseKerberosName("x", nullptr, &principal), E_INVALIDARG);
}

TEST_F(KerberosTest, SsoModeIsNormalised)
{
    struct Case {
        const char* dict;
        uint32_t mode;
        bool fallback;
    };
    const Case cases[] = {
        {"{}", 0, false},
        {"{'Common': {'Kerberos': {'SSOMode': 5}}}", 0, true},
        {"{'Common': {'Kerberos': {'SSOMode': 7}}}", 2, false},
        {"{'Common': {'Kerberos': {'SSOMode': 4}}}", 4, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dict);
        Plist(c.dict);
        Identity k;
        EXPECT_EQ(k.SsoMode(), c.mode);
        EXPECT_EQ(k.Fallback(), c.fallback);
        ServiceTest::TearDown();
        ServiceTest::SetUp();
    }
}

TEST_F(KerberosTest, UserNameIsTheFirstComponentAndRealmInUpperCase)
{
    const std::string cache = "FILE:" + m_dir + "/ccache";
    setenv("KRB5CCNAME", cache.c_str(), 1);
    Identity k;
    EXPECT_EQ(UserName(k), "");

    krb5_context context = nullptr;
    ASSERT_EQ(krb5_init_context(&context), 0);
    krb5_ccache cc = nullptr;
    krb5_principal principal = nullptr;
    ASSERT_EQ(krb5_cc_resolve(context, cache.c_str(), &cc), 0);
    ASSERT_EQ(krb5_parse_name(context, "alice/admin@corp", &principal), 0);
    ASSERT_EQ(krb5_cc_initialize(context, cc, principal), 0);
    krb5_cc_close(context, cc);
    krb5_free_principal(context, principal);
    krb5_free_context(context);

    // The names are read again by a logout, or when both are empty.
    EXPECT_EQ(UserName(k), "ALICE@CORP");
    EXPECT_EQ(k.Logout(nullptr), S_OK);
    char* user = nullptr;
    char* display = reinterpret_cast<char*>(1);
    EXPECT_EQ(k.GetNames(&display, &user), S_OK);
    EXPECT_STREQ(user, "ALICE@CORP");
    EXPECT_STREQ(display, nullptr);
    sec_free(user);
    // A re-authentication is not offered: the names are read, 0x80000001.
    unsetenv("KRB5CCNAME");
    setenv("KRB5CCNAME", ("FILE:" + m_dir + "/none").c_str(), 1);
    EXPECT_EQ(k.Reauth(nullptr), E_NOTIMPL);
    EXPECT_EQ(UserName(k), "");
    EXPECT_EQ(k.Login(nullptr), E_NOTIMPL);
    EXPECT_TRUE(k.IsDomainUser());
}

class KerberosKdcTest : public TokensTest {
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
        s_kdc->ExportToProcess();
        ASSERT_TRUE(s_kdc->Kinit("alice", s_kdc->Keytab("alice")));
    }
    static inline KdcFixture* s_kdc = nullptr;
};

TEST_F(KerberosKdcTest, TicketBlobCarriesTheTicketTheServiceDecrypts)
{
    ASSERT_TRUE(ZELK::PSESVC::CKerberosAPI::IsAPIAvailable());
    CKerberos k;
    OctetString* blob = nullptr;
    ASSERT_EQ(k.CreateTicket("HTTP/localhost", &blob), S_OK);
    ASSERT_NE(blob, nullptr);
    const std::string b = Bytes(blob);
    FreeOctets(blob);
    auto number = [&](size_t at) {
        uint32_t n = 0;
        std::memcpy(&n, b.data() + at, 4);
        return static_cast<size_t>(n);
    };
    ASSERT_EQ(number(0), 14u);
    EXPECT_EQ(b.substr(4, 14), "HTTP/localhost");
    const size_t t = number(18);
    const size_t keyLength = number(22 + t);
    ASSERT_EQ(b.size(), 16 + 14 + t + keyLength);
    const std::string ticket = b.substr(22, t);
    const std::string key = b.substr(26 + t, keyLength);
    const uint32_t algorithm = static_cast<uint32_t>(number(26 + t + keyLength));

    krb5_context context = nullptr;
    ASSERT_EQ(krb5_init_context(&context), 0);
    krb5_data der {0, static_cast<unsigned int>(ticket.size()), const_cast<char*>(ticket.data())};
    krb5_ticket* decoded = nullptr;
    ASSERT_EQ(krb5_decode_ticket(&der, &decoded), 0);
    krb5_keytab keytab = nullptr;
    ASSERT_EQ(krb5_kt_resolve(context, s_kdc->Keytab("HTTP").c_str(), &keytab), 0);
    ASSERT_EQ(krb5_server_decrypt_ticket_keytab(context, keytab, decoded), 0);
    const krb5_keyblock* session = decoded->enc_part2->session;
    EXPECT_EQ(key, std::string(reinterpret_cast<const char*>(session->contents), session->length));
    EXPECT_EQ(algorithm, static_cast<uint32_t>(session->enctype));
    krb5_kt_close(context, keytab);
    krb5_free_ticket(context, decoded);
    krb5_free_context(context);

    EXPECT_EQ(UserName(k), "ALICE@KESTRIN.TEST");
}

TEST_F(KerberosKdcTest, SpnegoTokenIsAcceptedAsAlice)
{
    CKerberos k;
    OctetString* token = nullptr;
    ASSERT_EQ(k.CreateSPNEGOToken(nullptr, "HTTP/localhost", &token), S_OK);
    OM_uint32 minor = 0;
    ASSERT_EQ(krb5_gss_register_acceptor_identity(s_kdc->Keytab("HTTP").c_str()), GSS_S_COMPLETE);
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    gss_buffer_desc in {token->length, token->data};
    gss_name_t source = GSS_C_NO_NAME;
    gss_buffer_desc reply {0, nullptr};
    EXPECT_EQ(gss_accept_sec_context(&minor, &context, GSS_C_NO_CREDENTIAL, &in, GSS_C_NO_CHANNEL_BINDINGS, &source,
                                     nullptr, &reply, nullptr, nullptr, nullptr),
              GSS_S_COMPLETE);
    gss_buffer_desc name {0, nullptr};
    if (source != GSS_C_NO_NAME)
        gss_display_name(&minor, source, &name, nullptr);
    EXPECT_EQ(std::string(static_cast<char*>(name.value), name.length), "alice@KESTRIN.TEST");
    gss_release_buffer(&minor, &name);
    gss_release_name(&minor, &source);
    gss_release_buffer(&minor, &reply);
    gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
    FreeOctets(token);
}

TEST_F(KerberosKdcTest, FailedRequestsHandNothingOut)
{
    CKerberos k;
    struct Case {
        const char* target;
        const char* cache;  // NULL: the KDC's cache with alice's ticket
        HRESULT expected;
    };
    const std::string longTarget = "HTTP/" + std::string(1024, 'h');
    const Case cases[] = {
        {"HTTP/localhost", "/no-such-cache", SEC_E_KERBEROS_NO_CREDENTIALS},
        {"NOBODY/localhost", nullptr, E_FAIL},
        {nullptr, nullptr, E_FAIL},
        {longTarget.c_str(), nullptr, E_FAIL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target ? std::string(c.target).substr(0, 40) : "(null)");
        if (c.cache)
            setenv("KRB5CCNAME", ("FILE:" + m_dir + c.cache).c_str(), 1);
        else
            s_kdc->ExportToProcess();
        OctetString* ticket = reinterpret_cast<OctetString*>(1);
        OctetString* key = reinterpret_cast<OctetString*>(1);
        OctetString* blob = nullptr;
        EXPECT_EQ(k.CreateTicket(c.target, &ticket, &key, nullptr), c.expected);
        EXPECT_EQ(ticket, reinterpret_cast<OctetString*>(1));
        EXPECT_EQ(key, reinterpret_cast<OctetString*>(1));
        EXPECT_EQ(k.CreateTicket(c.target, &blob), c.expected);
        EXPECT_EQ(blob, nullptr);
    }
}

}  // namespace
}  // namespace kestrin::service::test
