#include "token_kv_fixture.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdlib>

#include "zelk_class.h"
#include "zelk_resloader.h"

namespace kestrin::tokens::test {

using ZELK::PSESVC::CToken;
using ZELK::PSESVC::CToken_KV;
using ZELK::PSESVC::ICredUI;

namespace {

// OpenSSL stays up until the process ends: the crypto library, loaded and
// unloaded around each test, still finds it when its holders go at exit.
const int s_openssl = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);

std::vector<unsigned char> Bytes(const std::string& text)
{
    return std::vector<unsigned char>(text.begin(), text.end());
}

}  // namespace

std::vector<unsigned char> Pkcs8(const std::string& name)
{
    const std::string path = TokenPki::Get().Path(name + ".p8");
    Shell("openssl pkcs8 -topk8 -nocrypt -in " + TokenPki::Get().Path(name + ".key") + " -outform DER -out " + path);
    return Bytes(ReadFile(path));
}

std::vector<unsigned char> CertDer(const std::string& name)
{
    return Bytes(ReadFile(TokenPki::Get().Path(name + ".der")));
}

std::vector<unsigned char> CertSet(const std::vector<std::string>& names)
{
    // DER orders the members of a SET OF by their encodings.
    std::vector<std::vector<unsigned char>> members;
    for (const std::string& name : names)
        members.push_back(CertDer(name));
    std::sort(members.begin(), members.end());
    std::vector<unsigned char> content;
    for (const std::vector<unsigned char>& der : members)
        content.insert(content.end(), der.begin(), der.end());
    std::vector<unsigned char> set {0x31};
    if (content.size() < 0x80) {
        set.push_back(static_cast<unsigned char>(content.size()));
    } else if (content.size() < 0x100) {
        set.push_back(0x81);
        set.push_back(static_cast<unsigned char>(content.size()));
    } else {
        set.push_back(0x82);
        set.push_back(static_cast<unsigned char>(content.size() >> 8));
        set.push_back(static_cast<unsigned char>(content.size()));
    }
    set.insert(set.end(), content.begin(), content.end());
    return set;
}

void TokenKVLoginTest::SetUp()
{
    TokenTest::SetUp();
    setenv("XDG_DATA_HOME", (m_config + "/data").c_str(), 1);
    KVScript::Reset();
}

void TokenKVLoginTest::TearDown()
{
    KVScript::Reset();
    for (ICredUI* dialog : m_dialogs)
        dialog->Release();
    m_dialogs.clear();
    if (m_token != nullptr)
        static_cast<CToken*>(m_token)->Release();
    m_token = nullptr;
    if (m_double != nullptr)
        m_double->Release();
    m_double = nullptr;
    TokenTest::TearDown();
}

void TokenKVLoginTest::Policy(const std::string& entries)
{
    static uint32_t s_round = 0;
    ++s_round;
    WritePlist("{" + entries + ", 'written': {'round': " + std::to_string(s_round) + "}}");
    WaitForPolicy("written", "round", s_round);
}

CToken_KV* TokenKVLoginTest::Make(const std::string& profile)
{
    const std::string reader = "toksw:mem://kestrin/" + profile;
    CToken* token = nullptr;
    EXPECT_EQ(CToken_KV::New(reader.c_str(), &token), S_OK);
    if (token == nullptr)
        return nullptr;
    m_token = static_cast<CToken_KV*>(token);
    m_double = NewToken(reader, {});
    EXPECT_EQ(m_token->Init(m_double, nullptr, reader.c_str()), S_OK);
    return m_token;
}

ICredUI* TokenKVLoginTest::NewDialog()
{
    ICredUI* dialog = nullptr;
    EXPECT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog)), S_OK);
    if (dialog != nullptr)
        m_dialogs.push_back(dialog);
    return dialog;
}

std::string TokenKVLoginTest::Text(const char* key)
{
    IResourceManager* texts = nullptr;
    if (FAILED(GetResourceManager(L"zelkgui", &texts)) || texts == nullptr)
        return "";
    std::string out;
    for (const wchar_t* p = texts->GetW(key); p != nullptr && *p != 0; ++p)
        out += static_cast<char>(*p < 128 ? *p : '?');
    texts->Release();
    return out;
}

size_t TokenKVLoginTest::Logged(const std::string& entry)
{
    size_t count = 0;
    for (const std::string& line : service::test::Dialogs::Log())
        count += line == entry ? 1 : 0;
    return count;
}

size_t TokenKVLoginTest::LoggedStarting(const std::string& prefix)
{
    size_t count = 0;
    for (const std::string& line : service::test::Dialogs::Log())
        count += line.rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
}

void TokenKVLoginTest::UserIdentity()
{
    KVScript::Identity(Pkcs8("user"), CertDer("user"), CertSet({"ca"}), CertDer("ca"));
}

}  // namespace kestrin::tokens::test
