// Percent-encoding of texts, checked against Python's urllib.parse on the
// same bytes (quote with no safe characters; unquote_plus), and hexadecimal
// texts against binascii.
#include <cstdio>
#include <random>
#include <sstream>

#include "string_test_util.h"

using namespace kestrin::strings;
using namespace kestrin::strings::test;

namespace {

TEST(EncodeUrl, EncodesLikeUrllibQuote)
{
    const struct {
        const char* text;
        const char* encoded;
    } cases[] = {
        {"a b~", "a%20b~"},
        {"key=value&x=1/2?", "key%3Dvalue%26x%3D1%2F2%3F"},
        {"Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x82\xac",
         "Gr%C3%BC%C3%9Fe%20%E2%82%AC"},
        {"-_.~AZaz09", "-_.~AZaz09"},
        {"100%", "100%25"},
        {"\t\r\n", "%09%0D%0A"},
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Out<char> out;
        ASSERT_EQ(S_OK, String_URLEncode(c.text, &out));
        EXPECT_STREQ(c.encoded, out.get());
        Out<char> back;
        ASSERT_EQ(S_OK, String_URLDecode(out.get(), &back));
        EXPECT_STREQ(c.text, back.get());
    }
    char* out = nullptr;
    EXPECT_EQ(E_INVALIDARG, String_URLEncode(nullptr, &out));
    EXPECT_EQ(E_INVALIDARG, String_URLEncode("a", nullptr));
    EXPECT_EQ(nullptr, out);
}

TEST(EncodeUrl, WideTextIsEncodedAsUtf8)
{
    Out<char> out;
    ASSERT_EQ(S_OK, StringW_URLEncode(L"Gr\u00fc\u00dfe \u20ac", &out));
    EXPECT_STREQ("Gr%C3%BC%C3%9Fe%20%E2%82%AC", out.get());
    ASSERT_EQ(S_OK, StringW_URLEncode(L"\U0001F600", &out));
    EXPECT_STREQ("%F0%9F%98%80", out.get());
    char* none = nullptr;
    EXPECT_EQ(E_INVALIDARG, StringW_URLEncode(nullptr, &none));
    EXPECT_EQ(nullptr, none);
}

TEST(EncodeUrl, DecodesLikeUnquotePlus)
{
    const struct {
        const char* text;
        const char* decoded;
    } cases[] = {
        {"a+b%20c", "a b c"}, {"%c3%A9t%C3%A9", "\xc3\xa9t\xc3\xa9"}, {"x%2Fy%3d", "x/y="}, {"%41%42+", "AB "},
        {"plain", "plain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Out<char> out;
        ASSERT_EQ(S_OK, String_URLDecode(c.text, &out));
        EXPECT_STREQ(c.decoded, out.get());
    }
}

TEST(EncodeUrl, MalformedEscapeKeepsWhatWasDecoded)
{
    const struct {
        const char* text;
        const char* partial;
    } cases[] = {{"a+b%2", "a b"}, {"ab%", "ab"}, {"%zz", ""}, {"x%4g", "x"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        Out<char> out;
        EXPECT_EQ(E_FAIL, String_URLDecode(c.text, &out));
        EXPECT_STREQ(c.partial, out.get());
    }
    char* out = nullptr;
    EXPECT_EQ(E_INVALIDARG, String_URLDecode(nullptr, &out));
    EXPECT_EQ(E_INVALIDARG, String_URLDecode("a", nullptr));
}

TEST(EncodeUrl, WideDecodeGivesOneCharacterPerEscapedByte)
{
    Out<wchar_t> out;
    ASSERT_EQ(S_OK, StringW_URLDecode(L"%C3%A9+\u20ac", &out));
    EXPECT_EQ(std::wstring(L"\u00c3\u00a9 \u20ac"), out.str());
    EXPECT_EQ(E_FAIL, StringW_URLDecode(L"a%", &out));
    EXPECT_EQ(std::wstring(L"a"), out.str());
}

// Lines that python3 prints for the bytes given as hexadecimal argument:
// quote(b, safe=""), quote_plus(b, safe=""), hexlify(b).
std::vector<std::string> Python(const std::string& bytes)
{
    std::ostringstream hex;
    for (unsigned char c : bytes)
        hex << "0123456789abcdef"[c >> 4] << "0123456789abcdef"[c & 15];
    const std::string command =
        "python3 -c 'import sys, urllib.parse as u, binascii; b = bytes.fromhex(sys.argv[1]); "
        "print(u.quote(b, safe=\"\")); print(u.quote_plus(b, safe=\"\")); print(binascii.hexlify(b).decode())' "
        + hex.str();
    std::vector<std::string> lines;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return lines;
    char buffer[4096];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        std::string line(buffer);
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        lines.push_back(line);
    }
    EXPECT_EQ(0, pclose(pipe)) << command;
    return lines;
}

TEST(EncodeUrl, AgreesWithPythonOnEveryByte)
{
    std::string every;
    for (int c = 1; c < 256; ++c)
        every.push_back(static_cast<char>(c));
    std::mt19937 gen(7);
    std::string random(300, '\0');
    for (char& c : random)
        c = static_cast<char>(1 + gen() % 255);
    for (const std::string& bytes : {every, random, std::string("a b+c%")}) {
        const std::vector<std::string> peer = Python(bytes);
        ASSERT_EQ(3u, peer.size());
        Out<char> encoded;
        ASSERT_EQ(S_OK, String_URLEncode(bytes.c_str(), &encoded));
        EXPECT_EQ(peer[0], encoded.str());
        Out<char> decoded;
        ASSERT_EQ(S_OK, String_URLDecode(peer[1].c_str(), &decoded));
        EXPECT_EQ(bytes, decoded.str());

        OctetString data = View(bytes);
        Out<char> hex;
        ASSERT_EQ(S_OK, String_HexEncode(&data, &hex));
        EXPECT_EQ(peer[2], hex.str());
        OctetString* back = nullptr;
        ASSERT_EQ(S_OK, String_HexDecode(peer[2].c_str(), &back));
        Octets owner(back);
        EXPECT_EQ(bytes, Bytes(back));
    }
}

}  // namespace
