// Base64 and hexadecimal texts of byte strings: the string slots over the
// crypto library stand-in's encoders, checked against OpenSSL's command-line
// encoder on the same bytes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "qevcrypto_encode.h"
#include "string_test_util.h"
#include "zelk_module.h"

using namespace kestrin::strings;
using namespace kestrin::strings::test;

namespace {

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/zelkstring-XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(nullptr, made);
        m_path = made ? made : "";
    }
    ~TempDir()
    {
        if (!m_path.empty())
            std::system(("rm -rf '" + m_path + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Write(const std::string& name, const std::string& bytes) const
    {
        const std::string path = m_path + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

private:
    std::string m_path;
};

// Standard output of `openssl base64 <args> -in <file>`.
std::string OpenSsl(const std::string& args, const std::string& file)
{
    const std::string command = "openssl base64 " + args + " -in '" + file + "'";
    FILE* pipe = popen(command.c_str(), "r");
    EXPECT_NE(nullptr, pipe);
    if (pipe == nullptr)
        return {};
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    EXPECT_EQ(0, pclose(pipe)) << command;
    return output;
}

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string bytes(n, '\0');
    for (char& c : bytes)
        c = static_cast<char>(gen() & 0xFF);
    return bytes;
}

std::string Replace(std::string s, const std::string& from, const std::string& to)
{
    for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
        s.replace(at, from.size(), to);
    return s;
}

TEST(EncodeBase64, MatchesOpenSslAndRoundTrips)
{
    TempDir dir;
    // Around the 3-byte groups and the 48-byte lines, and several lines.
    for (size_t n : {0, 1, 2, 3, 4, 47, 48, 49, 95, 96, 97, 144, 1000}) {
        SCOPED_TRACE(n);
        const std::string bytes = RandomBytes(n, unsigned(n) + 7);
        OctetString data = View(bytes);
        Out<char> text;
        ASSERT_EQ(S_OK, String_Base64Encode(&data, &text));

        // OpenSSL writes the same 64-character lines, each ended by LF.
        std::string peer = OpenSsl("-e", dir.Write("in.bin", bytes));
        if (!peer.empty() && peer.back() == '\n')
            peer.pop_back();
        EXPECT_EQ(Replace(peer, "\n", "\r\n"), text.str());
        // The last character is there: the length contract does not cut it.
        if (n > 0) {
            EXPECT_NE('\n', text.str().back());
            EXPECT_EQ(peer.back(), text.str().back());
        }

        Octets back;
        OctetString* decoded = nullptr;
        ASSERT_EQ(S_OK, String_Base64Decode(text.get(), &decoded));
        back.reset(decoded);
        EXPECT_EQ(bytes, Bytes(decoded));

        // OpenSSL decodes our text (CR LF breaks) to the same bytes.
        EXPECT_EQ(bytes, OpenSsl("-d", dir.Write("in.b64", text.str() + "\n")));
    }
}

TEST(EncodeBase64, DecodesTextsOfOtherWriters)
{
    TempDir dir;
    const std::string bytes = RandomBytes(200, 99);
    // LF-only line breaks, OpenSSL's own output.
    std::string peer = OpenSsl("-e", dir.Write("in.bin", bytes));
    OctetString* decoded = nullptr;
    ASSERT_EQ(S_OK, String_Base64Decode(peer.c_str(), &decoded));
    Octets owner(decoded);
    EXPECT_EQ(bytes, Bytes(decoded));

    // One long line without breaks.
    std::string single = OpenSsl("-e -A", dir.Write("in.bin", bytes));
    ASSERT_EQ(S_OK, String_Base64Decode(single.c_str(), &decoded));
    owner.reset(decoded);
    EXPECT_EQ(bytes, Bytes(decoded));
}

TEST(EncodeBase64, RefusedTextsHandOutNothing)
{
    const char* bad[] = {"QUJD!", "QUJ", "QU=D", "Q===", "QUI=QUJD", "QUJD QUJD", "QQ==\r\nQQ=="};
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        OctetString* decoded = reinterpret_cast<OctetString*>(0x1);
        EXPECT_EQ(E_FAIL, String_Base64Decode(text, &decoded));
        EXPECT_EQ(nullptr, decoded);
    }
    const struct {
        const char* text;
        const char* bytes;
    } good[] = {{"", ""}, {"QQ==", "A"}, {"QUI=", "AB"}, {"QUJD", "ABC"}, {"QU\r\nJD\r\n", "ABC"}};
    for (const auto& c : good) {
        SCOPED_TRACE(c.text);
        OctetString* decoded = nullptr;
        ASSERT_EQ(S_OK, String_Base64Decode(c.text, &decoded));
        Octets owner(decoded);
        EXPECT_EQ(std::string(c.bytes), Bytes(decoded));
    }

    OctetString* decoded = nullptr;
    EXPECT_EQ(E_FAIL, String_Base64Decode(nullptr, &decoded));
    EXPECT_EQ(E_FAIL, String_Base64Decode("QQ==", nullptr));
    OctetString data {1, nullptr};
    char* text = nullptr;
    EXPECT_EQ(E_FAIL, String_Base64Encode(&data, &text));
    EXPECT_EQ(E_FAIL, String_Base64Encode(nullptr, &text));
    EXPECT_EQ(nullptr, text);
}

TEST(EncodeBase64, WideTwinsConvertTheText)
{
    const std::string bytes("\x00\xff wide", 7);
    OctetString data = View(bytes);
    Out<wchar_t> text;
    ASSERT_EQ(S_OK, StringW_Base64Encode(&data, &text));
    EXPECT_EQ(std::wstring(L"AP8gd2lkZQ=="), text.str());
    OctetString* decoded = nullptr;
    ASSERT_EQ(S_OK, StringW_Base64Decode(text.get(), &decoded));
    Octets owner(decoded);
    EXPECT_EQ(bytes, Bytes(decoded));
    EXPECT_EQ(E_FAIL, StringW_Base64Decode(L"\u00e9AAA", &decoded));
    EXPECT_EQ(nullptr, decoded);
}

// The encoders of the stand-in themselves: capacity, the length contract and
// decoding in place.
TEST(EncodeBase64, StandInEncoderKeepsItsContract)
{
    API_COMMON* table = nullptr;
    ASSERT_EQ(S_OK, ZELK_GetAPI(nullptr, SEC_ENCODE_API, &table));
    const SEC_ENCODE_TABLE* enc = ZELK_ApiCast<SEC_ENCODE_TABLE>(table);
    const std::string bytes = RandomBytes(100, 3);
    const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
    // 100 bytes: 136 characters in three lines, two separators, the NUL.
    char buffer[200];
    uint64_t length = sizeof buffer;
    ASSERT_EQ(S_OK, enc->base64_encode(data, bytes.size(), buffer, &length, nullptr, nullptr, "\r\n"));
    EXPECT_EQ(136u + 4 + 1, length);
    EXPECT_EQ(136u + 4, SEC_Base64TextLength(length));
    EXPECT_EQ(length - 1, std::strlen(buffer));

    uint64_t tight = 140;  // one short: no room for the NUL
    EXPECT_EQ(SEC_E_ENCODE_NOROOM, enc->base64_encode(data, bytes.size(), buffer, &tight, nullptr, nullptr, "\r\n"));
    tight = 141;
    EXPECT_EQ(S_OK, enc->base64_encode(data, bytes.size(), buffer, &tight, nullptr, nullptr, "\r\n"));

    // Decoding into the text's own buffer.
    std::string text(buffer);
    uint64_t capacity = text.size();
    auto* inplace = reinterpret_cast<unsigned char*>(text.data());
    ASSERT_EQ(S_OK, enc->base64_decode(text.data(), text.size(), inplace, &capacity, nullptr, nullptr));
    EXPECT_EQ(bytes, std::string(text.data(), capacity));

    // The capacity given is respected.
    unsigned char small[99];
    capacity = sizeof small;
    EXPECT_EQ(SEC_E_ENCODE_NOROOM, enc->base64_decode(buffer, std::strlen(buffer), small, &capacity, nullptr, nullptr));
    EXPECT_EQ(sizeof small, capacity);
    EXPECT_EQ(S_OK, ZELK_ReleaseAPI(&table));
}

TEST(EncodeHex, MatchesBinascii)
{
    // Pairs as Python's binascii.hexlify writes them.
    const struct {
        std::string bytes;
        const char* hex;
    } cases[] = {
        {std::string(), ""},
        {std::string(1, '\0'), "00"},
        {"\x01\xfe\x7f\x80", "01fe7f80"},
        {std::string("\x00\x01\x02\x03\x04\x05\x06\x07\x08\t\n\x0b\x0c\r\x0e\x0f", 16),
         "000102030405060708090a0b0c0d0e0f"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hex);
        OctetString data = View(c.bytes);
        Out<char> text;
        ASSERT_EQ(S_OK, String_HexEncode(&data, &text));
        EXPECT_STREQ(c.hex, text.get());
        OctetString* decoded = nullptr;
        ASSERT_EQ(S_OK, String_HexDecode(c.hex, &decoded));
        Octets owner(decoded);
        EXPECT_EQ(c.bytes, Bytes(decoded));

        Out<wchar_t> wide;
        ASSERT_EQ(S_OK, StringW_HexEncode(&data, &wide));
        EXPECT_EQ(Txt<wchar_t>(c.hex), wide.str());
        ASSERT_EQ(S_OK, StringW_HexDecode(wide.get(), &decoded));
        owner.reset(decoded);
        EXPECT_EQ(c.bytes, Bytes(decoded));
    }
    OctetString* decoded = nullptr;
    ASSERT_EQ(S_OK, String_HexDecode("0A0b", &decoded));
    Octets owner(decoded);
    EXPECT_EQ("\x0a\x0b", Bytes(decoded));
}

TEST(EncodeHex, RefusedTextsHandOutNothing)
{
    for (const char* text : {"abc", "zz", "0 1", "01:02", "0x01"}) {
        SCOPED_TRACE(text);
        OctetString* decoded = reinterpret_cast<OctetString*>(0x1);
        EXPECT_TRUE(FAILED(String_HexDecode(text, &decoded)));
        EXPECT_EQ(nullptr, decoded);
    }
    OctetString* decoded = nullptr;
    EXPECT_EQ(E_FAIL, String_HexDecode(nullptr, &decoded));
    EXPECT_EQ(E_FAIL, String_HexDecode("00", nullptr));
    char* text = nullptr;
    OctetString data {2, nullptr};
    EXPECT_EQ(E_FAIL, String_HexEncode(&data, &text));
    EXPECT_EQ(E_FAIL, String_HexEncode(nullptr, &text));
    EXPECT_EQ(nullptr, text);
}

TEST(EncodeOctets, TextsAndByteStrings)
{
    Out<char> text;
    const std::string bytes("a\0b", 3);
    OctetString data = View(bytes);
    String_OctetString2String(&data, &text);
    ASSERT_NE(nullptr, text.get());
    EXPECT_EQ(0, std::memcmp("a\0b", text.get(), 4));
    OctetString empty {0, nullptr};
    String_OctetString2String(&empty, &text);
    EXPECT_EQ(nullptr, text.get());
    String_OctetString2String(nullptr, &text);
    EXPECT_EQ(nullptr, text.get());

    OctetString* os = nullptr;
    ASSERT_EQ(S_OK, String_String2OctetString("abc", &os));
    Octets owner(os);
    EXPECT_EQ(std::string("abc", 4), Bytes(os));
    EXPECT_EQ(E_INVALIDARG, String_String2OctetString(nullptr, &os));
    EXPECT_EQ(E_INVALIDARG, String_String2OctetString("abc", nullptr));

    // The wide table has no byte-string conversions.
    wchar_t* wide = nullptr;
    StringW_OctetString2String(&data, &wide);
    EXPECT_EQ(nullptr, wide);
    OctetString* none = nullptr;
    EXPECT_EQ(E_NOTIMPL, StringW_String2OctetString(L"abc", &none));
    EXPECT_EQ(nullptr, none);
}

}  // namespace
