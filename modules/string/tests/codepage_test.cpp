// Code-page conversion, checked against the iconv command's own output for
// the same text.
#include "codepage.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>

#include "zelk_alloc.h"
#include "zelk_module.h"

namespace {

void UseCAllocator()
{
    static SEC_FUNCTION_LIST list = {nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, malloc,  calloc,  realloc, free};
    if (!sdk_f_list)
        sdk_f_list = &list;
}

class CodePage : public ::testing::Test {
protected:
    void SetUp() override
    {
        UseCAllocator();
        char pattern[] = "/tmp/codepage-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    // Bytes of `input` converted by the iconv command.
    std::string Peer(const std::string& input, const char* from, const char* to)
    {
        std::string in = m_dir + "/in", out = m_dir + "/out";
        std::ofstream(in, std::ios::binary) << input;
        std::string command = std::string("iconv -f ") + from + " -t " + to + " '" + in + "' > '" + out + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream file(out, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }

    std::wstring PeerWide(const std::string& bytes, const char* charset)
    {
        std::string utf32 = Peer(bytes, charset, "UTF-32LE");
        std::wstring wide;
        for (size_t i = 0; i + 4 <= utf32.size(); i += 4) {
            uint32_t c = static_cast<unsigned char>(utf32[i]) | static_cast<unsigned char>(utf32[i + 1]) << 8
                         | static_cast<unsigned char>(utf32[i + 2]) << 16
                         | static_cast<uint32_t>(static_cast<unsigned char>(utf32[i + 3])) << 24;
            wide += static_cast<wchar_t>(c);
        }
        return wide;
    }

    std::string m_dir;
};

std::wstring ToWide(const char* text, unsigned codePage)
{
    wchar_t* out = nullptr;
    kestrin::strings::String_Convert(text, &out, codePage);
    std::wstring result = out ? out : L"<none>";
    sec_free(out);
    return result;
}

std::string ToNarrow(const wchar_t* text, unsigned codePage)
{
    char* out = nullptr;
    kestrin::strings::StringW_Convert(text, &out, codePage);
    std::string result = out ? out : "<none>";
    sec_free(out);
    return result;
}

TEST_F(CodePage, WindowsCodePagesAgreeWithIconv)
{
    struct Case {
        unsigned codePage;
        const char* charset;
        const char* utf8;
    };
    const Case cases[] = {
        {1252, "CP1252",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC 5 \xE2\x80\x9Equoted\xE2\x80\x9C"},
        {1250, "CP1250", "\xC5\xBB\xC3\xB3\xC5\x82w"},
        {1251, "CP1251", "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"},
        {932, "CP932",
         "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9\xE3\x83\x88 abc "
         "\xEF\xBD\xB1"},
        {936, "CP936", "\xE4\xB8\xAD\xE6\x96\x87"},
        {2, "MACINTOSH", "caf\xC3\xA9"},
    };
    for (const Case& c : cases) {
        std::string bytes = Peer(c.utf8, "UTF-8", c.charset);
        std::wstring wide = PeerWide(bytes, c.charset);
        ASSERT_FALSE(wide.empty()) << c.charset;
        EXPECT_EQ(ToWide(bytes.c_str(), c.codePage), wide) << c.charset;
        EXPECT_EQ(ToNarrow(wide.c_str(), c.codePage), bytes) << c.charset;
    }
}

// CP932 needs two bytes per character: the output buffer grows and the text
// comes out whole.
TEST_F(CodePage, GrowingOutputIsComplete)
{
    std::string utf8;
    for (int i = 0; i < 500; ++i)
        utf8 += "\xE6\xBC\xA2\xE5\xAD\x97";
    std::string bytes = Peer(utf8, "UTF-8", "CP932");
    std::wstring wide = PeerWide(bytes, "CP932");
    ASSERT_EQ(wide.size(), 1000u);
    EXPECT_EQ(ToNarrow(wide.c_str(), 932), bytes);
}

TEST_F(CodePage, Utf8TakesTheDirectPath)
{
    const char* utf8 = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    std::wstring wide = PeerWide(utf8, "UTF-8");
    for (unsigned codePage : {0u, 65001u}) {
        EXPECT_EQ(ToWide(utf8, codePage), wide);
        EXPECT_EQ(ToNarrow(wide.c_str(), codePage), utf8);
    }
    // A malformed sequence, or a value that is no character, becomes U+FFFD.
    EXPECT_EQ(ToWide("a\xFF"
                     "b\xC3",
                     65001),
              L"a\uFFFDb\uFFFD");
    const wchar_t bad[] = {L'x', 0xD800, 0};
    EXPECT_EQ(ToNarrow(bad, 0), "x\xEF\xBF\xBD");
    EXPECT_EQ(ToWide("", 65001), L"");
}

TEST_F(CodePage, AliasesAndFailures)
{
    EXPECT_STREQ(kestrin::strings::CodePageCharset(28591), "CP1252");
    EXPECT_STREQ(kestrin::strings::CodePageCharset(65000), "UTF-7");
    EXPECT_STREQ(kestrin::strings::CodePageCharset(12345), "");
    EXPECT_EQ(ToWide("caf\xE9 \x80", 28591), ToWide("caf\xE9 \x80", 1252));
    EXPECT_EQ(ToWide("caf\xE9 \x80", 1252), L"caf\u00E9 \u20AC");

    // An unknown code page uses the locale's character set (ASCII in the C locale).
    EXPECT_EQ(ToWide("plain", 12345), L"plain");
    EXPECT_EQ(ToWide("caf\xC3\xA9", 12345), L"<none>");

    // Bytes the code page does not define, and characters it cannot take, give no result.
    wchar_t* untouched = reinterpret_cast<wchar_t*>(0x1);
    kestrin::strings::String_Convert("\x81", &untouched, 1252);
    EXPECT_EQ(untouched, reinterpret_cast<wchar_t*>(0x1));
    EXPECT_EQ(ToNarrow(L"\u4E2D", 1252), "<none>");

    wchar_t* wide = reinterpret_cast<wchar_t*>(0x1);
    kestrin::strings::String_Convert(nullptr, &wide, 1252);
    EXPECT_EQ(wide, nullptr);
}

TEST_F(CodePage, Utf7RoundTrip)
{
    std::string bytes = Peer("A\xE2\x89\xA2\xCE\x91.", "UTF-8", "UTF-7");
    std::wstring wide = PeerWide(bytes, "UTF-7");
    EXPECT_EQ(ToWide(bytes.c_str(), 65000), wide);
    EXPECT_EQ(ToWide(ToNarrow(wide.c_str(), 65000).c_str(), 65000), wide);
}

TEST_F(CodePage, AppendConvert)
{
    char* text = nullptr;
    kestrin::strings::StringW_Convert(L"abc", &text, 0);
    text = kestrin::strings::String_AppendConvert(text, L"\u00E9", 1252);
    EXPECT_STREQ(text, "abc\xE9");
    sec_free(text);

    wchar_t* wide = kestrin::strings::StringW_AppendConvert(nullptr, "\xE9t\xE9", 1252);
    EXPECT_EQ(std::wstring(wide), L"\u00E9t\u00E9");
    wide = kestrin::strings::StringW_AppendConvert(wide, "!", 65001);
    EXPECT_EQ(std::wstring(wide), L"\u00E9t\u00E9!");
    sec_free(wide);
}

}  // namespace
