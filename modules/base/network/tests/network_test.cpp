// Tables "zelk.misc.base.ca.1" and "zelk.misc.base.network.1" bound from
// module "zelkbase".
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "zelk_alloc.h"
#include "zelk_base_network.h"
#include "zelk_module.h"

namespace {

API_COMMON* ca_table = nullptr;
API_COMMON* network_table = nullptr;
API_COMMON* common_types = nullptr;
CLoadAPI dynload_ca("zelkbase", ZELKBASE_CA_API, &ca_table);
CLoadAPI dynload_network("zelkbase", ZELKBASE_NETWORK_API, &network_table);
CLoadAPI load_common_types(nullptr, "SEC_COMMONTYPES_1", &common_types);

class BaseTables : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(ZELK_Initialize(), S_OK);
        ca = ZELK_ApiCast<ZELKBASE_CA_FUNCTIONS>(ca_table);
        net = ZELK_ApiCast<ZELKBASE_NETWORK_FUNCTIONS>(network_table);
        ASSERT_NE(ca, nullptr);
        ASSERT_NE(net, nullptr);
    }
    void TearDown() override { EXPECT_EQ(ZELK_Finalize(), S_OK); }

    const SEC_TYPE_TABLE* type(unsigned index) { return SEC_TypeTable(common_types, index); }

    Certificate* building()
    {
        void* cert = nullptr;
        EXPECT_EQ(type(SEC_TYPE_Certificate)->new_node(&cert), S_OK);
        return static_cast<Certificate*>(cert);
    }

    ZELKBASE_CA_FUNCTIONS* ca = nullptr;
    ZELKBASE_NETWORK_FUNCTIONS* net = nullptr;
};

TEST_F(BaseTables, InfoOfBothTables)
{
    const char* name = nullptr;
    const char* module = nullptr;
    const char* description = nullptr;
    EXPECT_EQ(ca->get_info(&name, &module, &description), S_OK);
    EXPECT_STREQ(name, "zelk.misc.base.ca.1");
    EXPECT_STREQ(module, "zelkbase");
    EXPECT_STREQ(description, "");
    EXPECT_EQ(net->get_info(&name, nullptr, nullptr), S_OK);
    EXPECT_STREQ(name, "zelk.misc.base.network.1");
}

struct UsageCase {
    int code;
    uint8_t flags[9];
};

TEST_F(BaseTables, KeyUsageCodes)
{
    const UsageCase cases[] = {
        {0, {1, 0, 0, 0, 0, 0, 0, 0, 0}},
        {4, {0, 0, 0, 0, 1, 0, 0, 0, 0}},
        {8, {0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {16, {1, 1, 0, 0, 0, 0, 0, 0, 0}},
        {17, {0, 0, 1, 1, 0, 0, 0, 0, 0}},
        {18, {1, 1, 1, 1, 0, 0, 0, 0, 0}},
        {12, {}},
        {19, {}},
        {-1, {}},
    };
    for (const UsageCase& c : cases) {
        SCOPED_TRACE(c.code);
        Certificate* cert = building();
        ASSERT_NE(cert, nullptr);
        EXPECT_EQ(ca->Certificate_SetKeyUsage(cert, c.code), S_OK);
        uint8_t critical = 0;
        const KeyUsage* usage = cert->getExtKeyUsage(&critical);
        ASSERT_NE(usage, nullptr);  // the setter runs for every code
        EXPECT_EQ(critical, 1);
        EXPECT_EQ(std::memcmp(&usage->digitalSignature, c.flags, 9), 0);
        cert->Release();
    }
    EXPECT_EQ(ca->Certificate_SetKeyUsage(nullptr, 18), S_OK);
}

TEST_F(BaseTables, SettersPassValuesOnAndAlwaysAnswerZero)
{
    auto* names = static_cast<const SEC_DNAME_TYPE_TABLE*>(type(SEC_TYPE_DName));
    DName* subject = nullptr;
    DName* issuer = nullptr;
    ASSERT_EQ(names->from_text("CN=Subject, O=Kestrin", &subject), S_OK);
    ASSERT_EQ(names->from_text("CN=Issuer", &issuer), S_OK);
    Certificate* cert = building();
    ASSERT_NE(cert, nullptr);
    EXPECT_EQ(ca->Certificate_SetSubject(cert, subject), S_OK);
    EXPECT_EQ(ca->Certificate_SetIssuer(cert, issuer), S_OK);
    EXPECT_EQ(ca->Certificate_SetValidity(cert, "250101000000Z", "260101000000Z"), S_OK);
    unsigned char bytes[] = {0x01, 0x00};
    OctetString serial {2, bytes};
    EXPECT_EQ(ca->Certificate_SetSerialNumber(cert, &serial), S_OK);
    EXPECT_EQ(ca->Certificate_SetBasicConstraints(cert, true), S_OK);
    EXPECT_EQ(names->compare(cert->getSubject(), subject), 0);
    EXPECT_EQ(names->compare(cert->getIssuer(), issuer), 0);
    EXPECT_STREQ(cert->getNotBefore(), "250101000000Z");
    EXPECT_STREQ(cert->getNotAfter(), "260101000000Z");
    ASSERT_NE(cert->getSerialNumber(), nullptr);
    EXPECT_EQ(cert->getSerialNumber()->length, 2u);
    EXPECT_EQ(cert->getExtBasicConstraints(), nullptr);

    // Refused values and a missing certificate still answer 0.
    EXPECT_EQ(ca->Certificate_SetValidity(cert, "garbage", nullptr), S_OK);
    EXPECT_STREQ(cert->getNotBefore(), "250101000000Z");
    EXPECT_EQ(ca->Certificate_SetSubjectPK(cert, nullptr, 1), S_OK);
    EXPECT_EQ(ca->Certificate_SetSubject(nullptr, subject), S_OK);
    EXPECT_EQ(ca->Certificate_SetSubjectPK(nullptr, nullptr, 0), S_OK);
    names->free(subject);
    names->free(issuer);
    cert->Release();
}

struct CookieCase {
    const char* setCookie;
    const char* cookie;
};

TEST_F(BaseTables, CookieTransformation)
{
    const CookieCase cases[] = {
        {"id=42", "id=42"},
        {"id=42; Secure; HttpOnly", "id=42"},
        {"id=42; Path=/app; Secure", "id=42; $Path=/app"},
        {"id=42; Secure; Path=/", "id=42; $Path=/"},
        {"id=42; path=/app", "id=42"},
        {"", ""},
    };
    for (const CookieCase& c : cases) {
        SCOPED_TRACE(c.setCookie);
        char* cookie = nullptr;
        ASSERT_TRUE(net->Cookie_SimpleTransformation(c.setCookie, &cookie));
        EXPECT_STREQ(cookie, c.cookie);
        sec_free(cookie);
    }
    char* cookie = nullptr;
    EXPECT_FALSE(net->Cookie_SimpleTransformation(nullptr, &cookie));
    EXPECT_FALSE(net->Cookie_SimpleTransformation("a=b", nullptr));
}

struct LocalCase {
    const wchar_t* url;
    bool local;
};

TEST_F(BaseTables, LocalAddresses)
{
    const LocalCase cases[] = {
        {L"http://intranet/", true},
        {L"https://user:pw@intranet:8080/path", true},
        {L"http://intranet.example.com/", false},
        {L"http://10.1.2.3/", false},
        {L"http://[::1]:80/", false},
        {L"http://münchen/", true},
        {L"http:///no/host", false},  // no host: not local
        {L"", false},
    };
    for (const LocalCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.url)));
        EXPECT_EQ(net->IsLocalAddress(c.url), c.local);
    }
    EXPECT_FALSE(net->IsLocalAddress(nullptr));
}

struct BypassCase {
    const wchar_t* url;
    const wchar_t* list;
    bool match;
};

TEST_F(BaseTables, BypassList)
{
    const BypassCase cases[] = {
        {L"http://www.example.com/", L"*.example.com;intranet", true},
        {L"http://intranet:81/", L"*.example.com;intranet", true},
        {L"http://intranet/", L"*.example.com; intranet", false},  // the blank stays part of the piece
        {L"http://WWW.example.com/", L"*.example.com", true},
        {L"http://www.example.com/", L"*.EXAMPLE.COM", false},  // case-sensitive
        {L"http://host1/", L"host?", true},
        {L"http://anything.at.all/", L"*", true},
        {L"http://other/", L"a;;b;", false},
        {L"http://other/", L"", false},
    };
    for (const BypassCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.url) + L" in " + c.list));
        EXPECT_EQ(net->IsInBypassList(c.url, c.list), c.match);
    }
    EXPECT_FALSE(net->IsInBypassList(nullptr, L"*"));
    EXPECT_FALSE(net->IsInBypassList(L"http://a/", nullptr));
}

}  // namespace
