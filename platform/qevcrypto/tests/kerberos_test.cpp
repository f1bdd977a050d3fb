// "SEC_KERBEROS_1" against a real KDC: our ticket decrypts with the service's
// keytab to our session key, the service accepts our SPNEGO token as alice,
// and missing or expired credentials answer their own code.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5.h>
#include <stdlib.h>

#include <cstring>
#include <ctime>
#include <string>

#include "kdc_fixture.h"
#include "qev_fixture.h"
#include "qev_kerberos.h"

namespace {

using kestrin::testsupport::KdcFixture;

KdcFixture* s_kdc = nullptr;

std::string Bytes(const OctetString* s)
{
    return s ? std::string(reinterpret_cast<const char*>(s->data), s->length) : std::string();
}

class SecKerberos : public QevLibrary {
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
        QevLibrary::SetUp();
        API_COMMON* t = nullptr;
        ASSERT_EQ(list->get_api(nullptr, SEC_KERBEROS_API, &t), S_OK);
        krb = ZELK_ApiCast<SEC_KERBEROS_TABLE>(t);
        ASSERT_EQ(list->get_api(nullptr, "SEC_COMMONTYPES_1", &types), S_OK);
        s_kdc->ExportToProcess();
        ASSERT_TRUE(s_kdc->Kinit("alice", s_kdc->Keytab("alice")));
    }

    void Free(OctetString* s) { SEC_TypeTable(types, SEC_TYPE_OctetString)->free(s); }

    // The result of a ticket request; the outputs are freed at once.
    HRESULT Ticket(const char* target)
    {
        OctetString* ticket = nullptr;
        OctetString* key = nullptr;
        HRESULT hr = krb->clientGetTicket(target, &ticket, &key, nullptr);
        if (FAILED(hr)) {
            EXPECT_EQ(ticket, nullptr);
            EXPECT_EQ(key, nullptr);
        }
        Free(ticket);
        Free(key);
        return hr;
    }

    HRESULT Spnego(const char* target)
    {
        OctetString* token = nullptr;
        HRESULT hr = krb->spnego_CreateToken(target, &token);
        if (FAILED(hr)) {
            EXPECT_EQ(token, nullptr);
        }
        Free(token);
        return hr;
    }

    SEC_KERBEROS_TABLE* krb = nullptr;
    API_COMMON* types = nullptr;
};

TEST_F(SecKerberos, TicketDecryptsWithTheServiceKeytabToOurSessionKey)
{
    OctetString* ticket = nullptr;
    OctetString* key = nullptr;
    KerberosAlgorithmIdentifier algorithm = 0;
    ASSERT_EQ(krb->clientGetTicket("HTTP/localhost", &ticket, &key, &algorithm), S_OK);

    krb5_context context = nullptr;
    ASSERT_EQ(krb5_init_context(&context), 0);
    krb5_data der {0, static_cast<unsigned int>(ticket->length), reinterpret_cast<char*>(ticket->data)};
    krb5_ticket* decoded = nullptr;
    ASSERT_EQ(krb5_decode_ticket(&der, &decoded), 0);
    krb5_keytab keytab = nullptr;
    ASSERT_EQ(krb5_kt_resolve(context, s_kdc->Keytab("HTTP").c_str(), &keytab), 0);
    ASSERT_EQ(krb5_server_decrypt_ticket_keytab(context, keytab, decoded), 0);
    const krb5_keyblock* session = decoded->enc_part2->session;
    EXPECT_EQ(Bytes(key), std::string(reinterpret_cast<const char*>(session->contents), session->length));
    EXPECT_EQ(algorithm, static_cast<KerberosAlgorithmIdentifier>(session->enctype));
    char* client = nullptr;
    ASSERT_EQ(krb5_unparse_name(context, decoded->enc_part2->client, &client), 0);
    EXPECT_STREQ(client, "alice@KESTRIN.TEST");
    krb5_free_unparsed_name(context, client);
    krb5_kt_close(context, keytab);
    krb5_free_ticket(context, decoded);
    krb5_free_context(context);
    Free(ticket);
    Free(key);

    // Outputs are optional; a full principal name works as well.
    EXPECT_EQ(krb->clientGetTicket("QEV/localhost@KESTRIN.TEST", nullptr, nullptr, nullptr), S_OK);
}

TEST_F(SecKerberos, SpnegoTokenIsAcceptedAsAlice)
{
    OctetString* token = nullptr;
    ASSERT_EQ(krb->spnego_CreateToken("HTTP/localhost", &token), S_OK);

    OM_uint32 minor = 0;
    ASSERT_EQ(krb5_gss_register_acceptor_identity(s_kdc->Keytab("HTTP").c_str()), GSS_S_COMPLETE);
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    gss_buffer_desc in {token->length, token->data};
    gss_name_t source = GSS_C_NO_NAME;
    gss_buffer_desc reply {0, nullptr};
    OM_uint32 major = gss_accept_sec_context(&minor, &context, GSS_C_NO_CREDENTIAL, &in, GSS_C_NO_CHANNEL_BINDINGS,
                                             &source, nullptr, &reply, nullptr, nullptr, nullptr);
    EXPECT_EQ(major, GSS_S_COMPLETE) << minor;
    gss_buffer_desc name {0, nullptr};
    if (source != GSS_C_NO_NAME) {
        gss_display_name(&minor, source, &name, nullptr);
        EXPECT_EQ(std::string(static_cast<char*>(name.value), name.length), "alice@KESTRIN.TEST");
    }
    gss_release_buffer(&minor, &name);
    gss_release_name(&minor, &source);
    gss_release_buffer(&minor, &reply);
    gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
    Free(token);
}

TEST_F(SecKerberos, FailuresAnswerTheirCodes)
{
    const std::string longTarget = "HTTP/" + std::string(1024, 'a');
    EXPECT_EQ(Ticket(nullptr), E_INVALIDARG);
    EXPECT_EQ(Ticket(""), E_INVALIDARG);
    EXPECT_EQ(Ticket(longTarget.c_str()), E_INVALIDARG);
    EXPECT_EQ(Spnego(longTarget.c_str()), E_INVALIDARG);
    EXPECT_EQ(krb->spnego_CreateToken("HTTP/localhost", nullptr), E_POINTER);
    EXPECT_EQ(Ticket("NOBODY/localhost"), SEC_E_KERBEROS_FAILED);
    EXPECT_EQ(Spnego("NOBODY/localhost"), SEC_E_KERBEROS_FAILED);
}

TEST_F(SecKerberos, NoOrEmptyCacheAnswersNoCredentials)
{
    const std::string missing = "FILE:" + s_kdc->folder() + "/no-such-cache";
    setenv("KRB5CCNAME", missing.c_str(), 1);
    EXPECT_EQ(Ticket("HTTP/localhost"), SEC_E_KERBEROS_NO_CREDENTIALS);
    EXPECT_EQ(Spnego("HTTP/localhost"), SEC_E_KERBEROS_NO_CREDENTIALS);

    // A cache with alice's name and no ticket in it.
    const std::string empty = "FILE:" + s_kdc->folder() + "/empty-cache";
    krb5_context context = nullptr;
    ASSERT_EQ(krb5_init_context(&context), 0);
    krb5_ccache cache = nullptr;
    krb5_principal alice = nullptr;
    ASSERT_EQ(krb5_cc_resolve(context, empty.c_str(), &cache), 0);
    ASSERT_EQ(krb5_parse_name(context, "alice", &alice), 0);
    ASSERT_EQ(krb5_cc_initialize(context, cache, alice), 0);
    krb5_cc_close(context, cache);
    krb5_free_principal(context, alice);
    krb5_free_context(context);
    setenv("KRB5CCNAME", empty.c_str(), 1);
    EXPECT_EQ(Ticket("HTTP/localhost"), SEC_E_KERBEROS_NO_CREDENTIALS);
    EXPECT_EQ(Spnego("HTTP/localhost"), SEC_E_KERBEROS_NO_CREDENTIALS);
}

TEST_F(SecKerberos, ExpiredTicketGrantingTicketAnswersNoCredentials)
{
    // alice's ticket-granting ticket copied into a cache of its own with its
    // end time in the past.
    krb5_context context = nullptr;
    ASSERT_EQ(krb5_init_context(&context), 0);
    krb5_ccache current = nullptr;
    krb5_ccache expired = nullptr;
    ASSERT_EQ(krb5_cc_default(context, &current), 0);
    krb5_principal alice = nullptr;
    ASSERT_EQ(krb5_cc_get_principal(context, current, &alice), 0);
    krb5_cc_cursor cursor = nullptr;
    krb5_creds creds;
    bool copied = false;
    const std::string name = "FILE:" + s_kdc->folder() + "/expired-cache";
    ASSERT_EQ(krb5_cc_resolve(context, name.c_str(), &expired), 0);
    ASSERT_EQ(krb5_cc_initialize(context, expired, alice), 0);
    ASSERT_EQ(krb5_cc_start_seq_get(context, current, &cursor), 0);
    while (!copied && krb5_cc_next_cred(context, current, &cursor, &creds) == 0) {
        if (krb5_is_config_principal(context, creds.server) == 0) {
            const krb5_timestamp now = static_cast<krb5_timestamp>(std::time(nullptr));
            creds.times.authtime = creds.times.starttime = now - 7200;
            creds.times.endtime = creds.times.renew_till = now - 3600;
            EXPECT_EQ(krb5_cc_store_cred(context, expired, &creds), 0);
            copied = true;
        }
        krb5_free_cred_contents(context, &creds);
    }
    krb5_cc_end_seq_get(context, current, &cursor);
    krb5_cc_close(context, expired);
    krb5_cc_close(context, current);
    krb5_free_principal(context, alice);
    krb5_free_context(context);
    ASSERT_TRUE(copied);
    setenv("KRB5CCNAME", name.c_str(), 1);
    EXPECT_EQ(Ticket("HTTP/localhost"), SEC_E_KERBEROS_NO_CREDENTIALS);
}

}  // namespace
