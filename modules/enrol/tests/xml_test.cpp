// The protocol 1.0 codec: what each request holds for each generation of
// server, how replies are read, and the replies it refuses.
#include <memory>
#include <string>

#include "enrol_fixture.h"
#include "kestrin_xml.h"
#include "zelk_kestrin.h"

namespace kestrin::enrol::test {
namespace {

std::string Reply(const std::string& control, const std::string& data)
{
    return "<ZaravAduvIzer><Control>" + control + "</Control><Content><Data>" + data
           + "</Data></Content></ZaravAduvIzer>";
}

class Codec : public EnrolRuntime {
protected:
    // The documents go back to libxml2 while its table is bound.
    void TearDown() override
    {
        codec.reset();
        EnrolRuntime::TearDown();
    }

    std::string Compose(HRESULT expected = S_OK)
    {
        StringT<char> out;
        EXPECT_EQ(xml.Compose_Init("id&1", "10.0.0.1", "host", &out), expected);
        return out ? std::string(out) : std::string();
    }
    std::string Auth(const wchar_t* user, const wchar_t* password)
    {
        StringT<char> out;
        EXPECT_EQ(xml.Compose_Auth(user, password, "MIIB", &out), S_OK);
        return std::string(out);
    }

    std::unique_ptr<CKestrinXML> codec = std::make_unique<CKestrinXML>();
    CKestrinXML& xml = *codec;
};

TEST_F(Codec, RequestsFollowTheServersGeneration)
{
    // Before any reply: no declaration, version 1, the client id as plain text.
    EXPECT_EQ(Compose(), "<ZaravAduvIzer><Control><ClientID>id&amp;1</ClientID><IPAddress>10.0.0.1</IPAddress>"
                         "<DNSName>host</DNSName><Version>Quillmoss 1.0.0</Version>"
                         "<ActionRequest>INIT_ACTION</ActionRequest></Control></ZaravAduvIzer>");
    struct Case {
        const char* control;
        uint64_t version;
        uint32_t codePage;
        const char* passcode;
        bool declaration;
    } cases[] = {
        {"<ActionRequest>CONFIG_ACTION</ActionRequest>", 1, 1252, "<Passcode><![CDATA[p<&w]]></Passcode>", false},
        {"<Version>Quillmoss 1.0.0</Version><ServerBuild>$Name: KVS-1-9 $</ServerBuild>", 0, 1252,
         "<Passcode>p&lt;&amp;w</Passcode>", false},
        {"<Version>Quillmoss 3.1.0</Version>", 2, 65001, "<Passcode>p&lt;&amp;w</Passcode>", true},
        // A negative number counts as large: a new server.
        {"<Version>Quillmoss -1</Version>", 2, 65001, "<Passcode>p&lt;&amp;w</Passcode>", true},
    };
    for (const Case& k : cases) {
        CKestrinXML fresh;
        ASSERT_EQ(fresh.ParseXML(Reply(k.control, "").c_str()), S_OK);
        EXPECT_EQ(fresh.ServerVersion(), k.version) << k.control;
        EXPECT_EQ(fresh.CodePage(), k.codePage) << k.control;
        StringT<char> out;
        ASSERT_EQ(fresh.Compose_Init("", "1.2.3.4", "h", &out), S_OK);
        std::string init(out);
        EXPECT_EQ(init.find("<?xml") == 0, k.declaration) << init;
        EXPECT_NE(init.find("<ClientID>unknown</ClientID>"), std::string::npos);
        EXPECT_NE(init.find(k.version >= 2 ? "Quillmoss 2.0.0" : "Quillmoss 1.0.0"), std::string::npos);
        ASSERT_EQ(fresh.Compose_Auth(L"u", L"p<&w", "MIIB", &out), S_OK);
        std::string auth(out);
        EXPECT_NE(auth.find(k.passcode), std::string::npos) << auth;
        EXPECT_NE(auth.find("<Content><DataType>application/xml</DataType><Data><Username>u</Username>"),
                  std::string::npos);
        if (k.declaration) {
            EXPECT_EQ(auth.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n", 0), 0u) << init << auth;
        }
        // The data goes again after each message.
        ASSERT_EQ(fresh.Compose_Exit(1, &out), S_OK);
        EXPECT_EQ(std::string(out).find("<Content>"), std::string::npos);
        EXPECT_NE(std::string(out).find("CANCEL_ACTION"), std::string::npos);
    }
    StringT<char> out;
    EXPECT_EQ(xml.Compose_Auth(nullptr, L"p", "x", &out), E_INVALIDARG);
    EXPECT_EQ(xml.Compose_Auth(L"u", nullptr, "x", &out), E_INVALIDARG);
}

TEST_F(Codec, TextBeyondAsciiStaysIntactForEveryServer)
{
    // An old server reads references; a new one UTF-8.
    const std::wstring user = Wide("j\xC3\xB6rg");
    const std::wstring password = Wide("p\xC3\xA4ss \xE2\x82\xAC");
    Compose();
    std::string old = Auth(user.c_str(), password.c_str());
    EXPECT_NE(old.find("<Username>j&#xF6;rg</Username>"), std::string::npos) << old;
    EXPECT_NE(old.find("<Passcode>p&#xE4;ss &#x20AC;</Passcode>"), std::string::npos) << old;
    ASSERT_EQ(xml.ParseXML(Reply("<Version>Quillmoss 1.0.0</Version>", "").c_str()), S_OK);
    old = Auth(user.c_str(), password.c_str());
    // Version 1 wants CDATA, which cannot hold references: the password goes as text.
    EXPECT_NE(old.find("<Passcode>p&#xE4;ss &#x20AC;</Passcode>"), std::string::npos) << old;
    ASSERT_EQ(xml.ParseXML(Reply("<Version>Quillmoss 2.0.0</Version>", "").c_str()), S_OK);
    std::string current = Auth(user.c_str(), password.c_str());
    EXPECT_NE(current.find("<Username>j\xC3\xB6rg</Username>"), std::string::npos) << current;

    // A reply in windows-1252 without declaration, and one in UTF-8.
    StringT<wchar_t> message;
    ASSERT_EQ(xml.ParseXML(Reply("", "<Message>Gr\xFC\xDF \x80</Message>").c_str()), S_OK);
    xml.GetMessage(&message);
    EXPECT_EQ(Narrow(message), "Gr\xC3\xBC\xC3\x9F \xE2\x82\xAC");
    ASSERT_EQ(xml.ParseXML(Reply("", "<Message>Gr\xC3\xBC\xC3\x9F</Message>").c_str()), S_OK);
    xml.GetMessage(&message);
    EXPECT_EQ(Narrow(message), "Gr\xC3\xBC\xC3\x9F");
}

TEST_F(Codec, RepliesThatAreRefused)
{
    const std::string good = Reply("<ActionRequest>CONFIG_ACTION</ActionRequest>", "");
    std::string exact = good + std::string(kMaxReplyLength - good.size(), ' ');
    struct Case {
        std::string text;
        HRESULT expected;
    } cases[] = {
        {good, S_OK},
        {exact, S_OK},
        {exact + " ", E_QM_PARSER_ERROR},
        {"<!-- c -->" + good, E_QM_PARSER_ERROR},
        {Reply("", "<Message><![CDATA[x]]></Message>"), E_QM_PARSER_ERROR},
        {"<!DOCTYPE ZaravAduvIzer>" + good, E_QM_PARSER_ERROR},
        {good + "<!", E_QM_PARSER_ERROR},
        {"<ZaravAduvIzer>", E_QM_PARSER_ERROR},
        {"", E_QM_PARSER_ERROR},
        {"<other/>", S_OK},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(xml.ParseXML(k.text.c_str()), k.expected) << k.text.substr(0, 60) << " " << k.text.size();
        EXPECT_EQ(xml.GetActionRequest(), k.expected == S_OK && k.text.find("CONFIG") != std::string::npos ? 1 : 0);
    }
}

TEST_F(Codec, GettersReadTheDataWithTheirDefaults)
{
    ASSERT_EQ(xml.ParseXML(Reply("<actionrequest>NEW_PIN_REQUIRED_ACTION</actionrequest>",
                                 "<status> ACM_OK </status><pinselectmode>MUST_CHOOSE_PIN</pinselectmode>"
                                 "<MinPINLength>4</MinPINLength><MaxPINLength>8x</MaxPINLength>"
                                 "<Alphanumeric>TRUE</Alphanumeric><Timeout></Timeout>"
                                 "<Disclaimer>  a\r\nb\n </Disclaimer><ServerPIN> 12 </ServerPIN>")
                               .c_str()),
              S_OK);
    EXPECT_EQ(xml.GetActionRequest(), 4);
    EXPECT_EQ(xml.GetStatus(), 0);
    EXPECT_EQ(xml.GetPINSelectMode(), S_QM_PIN_MUST_CHOOSE);
    EXPECT_EQ(xml.GetMinPINLength(), 4);
    EXPECT_EQ(xml.GetMaxPINLength(), 8);
    EXPECT_EQ(xml.GetAlphanumeric(), 1);
    EXPECT_EQ(xml.GetTimeout(), -1);
    EXPECT_EQ(xml.GetKeylength(), -1);
    StringT<wchar_t> text;
    xml.GetDisclaimer(&text);
    EXPECT_EQ(Narrow(text), "a\r\nb");
    xml.GetServerPIN(&text);
    EXPECT_EQ(Narrow(text), " 12 ");
    StringT<char> certificate;
    EXPECT_EQ(xml.GetCertificate(&certificate), S_OK);
    EXPECT_FALSE(certificate);

    // An empty message with an error status names the status and the code.
    ASSERT_EQ(xml.ParseXML(Reply("<ActionRequest>AUTH_RESULT_ACTION</ActionRequest>",
                                 "<Message></Message><Status>ACM_ACCESS_DENIED</Status><MessageCode>E17</MessageCode>")
                               .c_str()),
              S_OK);
    EXPECT_EQ(xml.GetStatus(), E_ACCESSDENIED);
    xml.GetMessage(&text);
    EXPECT_EQ(Narrow(text), "ACM_ACCESS_DENIED <E17>");
    struct Case {
        const char* status;
        int value;
    } statuses[] = {{"", 0},
                    {"UNKNOWN", 0},
                    {"INTERNAL_SERVER_ERROR", E_QM_INTERNAL_SERVER_ERROR},
                    {"ACM_NEW_PIN_ACCEPTED", S_QM_NEW_PIN_ACCEPTED},
                    {"acm_ok", 0},
                    {"ACM_NEW_PIN_REJECTED", E_QM_NEW_PIN_REJECTED}};
    for (const Case& k : statuses) {
        ASSERT_EQ(xml.ParseXML(Reply("", std::string("<Status>") + k.status + "</Status>").c_str()), S_OK);
        EXPECT_EQ(xml.GetStatus(), k.value) << k.status;
    }
    ASSERT_EQ(xml.ParseXML(Reply("<ActionRequest>config_action</ActionRequest>", "").c_str()), S_OK);
    EXPECT_EQ(xml.GetActionRequest(), 0);
}

}  // namespace
}  // namespace kestrin::enrol::test
