// Python's plistlib as the peer: files it writes (XML and binary) are read
// right, and files this store writes read back there with the same values.
#include <gtest/gtest.h>

#include "plist_root.h"
#include "test_util.h"

using namespace kestrin::policy;
using kestrin::policy::test::RunPython;
using kestrin::policy::test::TempDir;

namespace {

const char* kPeerValues = "import datetime\n"
                          "d = {'zeta': {'Level': 5}, 'alpha': {'x': 1}, 'values': {\n"
                          "  'big': 4294967295, 'neg': -1, 'huge': 2**63, 'real': 3.7, 'yes': True, 'no': False,\n"
                          "  'data': b'\\x00\\x01\\xff', 'empty': b'', 'num': '45', 'word': 'abc',\n"
                          "  'text': 'Gr\\u00fc\\u00dfe <&> \"q\"', 'list': [1, 'x'],\n"
                          "  'when': datetime.datetime(2020, 1, 2, 3, 4, 5)}, 'Mixed': {}}\n";

void ExpectPeerValues(PlistRoot& root, long subKeys)
{
    KeyPath v {"values"};
    struct Number {
        const char* name;
        uint32_t value;
    } numbers[] = {{"big", 0xFFFFFFFFu}, {"neg", 0xFFFFFFFFu}, {"huge", 0}, {"real", 3}, {"yes", 1}, {"no", 0},
                   {"num", 45},          {"word", 0}};
    for (const Number& n : numbers) {
        uint32_t value = 0xDEAD;
        EXPECT_EQ(root.GetNumber(v, n.name, &value), S_OK) << n.name;
        EXPECT_EQ(value, n.value) << n.name;
    }
    uint32_t value;
    EXPECT_EQ(root.GetNumber(v, "data", &value), E_FAIL);
    EXPECT_EQ(root.GetNumber(v, "list", &value), E_FAIL);
    std::string text;
    EXPECT_EQ(root.GetString(v, "big", &text), E_FAIL);
    ASSERT_EQ(root.GetString(v, "TEXT", &text), S_OK);
    EXPECT_EQ(text, "Gr\xc3\xbc\xc3\x9f"
                    "e <&> \"q\"");
    ASSERT_EQ(root.GetBinary(v, "data", &text), S_OK);
    EXPECT_EQ(text, std::string("\x00\x01\xff", 3));
    ASSERT_EQ(root.GetBinary(v, "empty", &text), S_OK);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(root.GetBinary(v, "text", &text), E_FAIL);
    // Sub-keys come in file order.
    std::string name;
    const char* order[] = {"zeta", "alpha", "values", "Mixed"};
    for (long i = 0; i < 4; ++i) {
        ASSERT_TRUE(root.SubKeyAt({}, i, &name));
        EXPECT_EQ(name, order[i]);
    }
    EXPECT_FALSE(root.SubKeyAt({}, subKeys, &name));
}

}  // namespace

TEST(PlistPeer, ReadsXmlAndBinaryFilesOfPlistlib)
{
    for (const char* format : {"FMT_XML", "FMT_BINARY"}) {
        TempDir dir;
        int status = -1;
        RunPython(std::string(kPeerValues) + "open('" + (dir / kPlistFileName)
                      + "', 'wb').write(plistlib.dumps(d, fmt=plistlib." + format + ", sort_keys=False))\n",
                  &status);
        ASSERT_EQ(status, 0);
        PlistRoot root({dir.Path()});
        SCOPED_TRACE(format);
        ExpectPeerValues(root, 4);
    }
}

TEST(PlistPeer, FilesWeWriteReadBackInPlistlib)
{
    TempDir dir;
    int status = -1;
    RunPython(std::string(kPeerValues) + "open('" + (dir / kPlistFileName)
                  + "', 'wb').write(plistlib.dumps(d, fmt=plistlib.FMT_BINARY, sort_keys=False))\n",
              &status);
    ASSERT_EQ(status, 0);
    PlistRoot root({dir.Path()});
    KeyPath ours {"ours"};
    ASSERT_EQ(root.SetValue(ours, "max", NewNumber(4294967295u)), S_OK);
    ASSERT_EQ(root.SetValue(ours, "high", NewNumber(2147483648u)), S_OK);
    ASSERT_EQ(root.SetValue(ours, "five", NewNumber(5)), S_OK);
    ASSERT_EQ(root.SetValue(ours, "text", PlistPtr(plist_new_string("a<b>&c \xc3\xbc ]]>"))), S_OK);
    ASSERT_EQ(root.SetValue(ours, "bytes", PlistPtr(plist_new_data("\x00\xfe", 2))), S_OK);
    ASSERT_EQ(root.SetValue(ours, "none", PlistPtr(plist_new_data(nullptr, 0))), S_OK);
    ASSERT_EQ(root.SetValue({"a<&>", ""}, "k", NewNumber(1)), S_OK);

    // Numbers are written as signed 32-bit integers; everything the store does
    // not manage (arrays, dates, large integers) survives the rewrite.
    std::string xml = kestrin::policy::test::ReadFile(root.FilePath());
    EXPECT_NE(xml.find("<integer>-1</integer>"), std::string::npos);
    EXPECT_NE(xml.find("<integer>-2147483648</integer>"), std::string::npos);
    std::string out = RunPython(std::string(kPeerValues) + "r = plistlib.load(open('" + root.FilePath()
                                    + "', 'rb'))\n"
                                      "o = r.pop('ours')\n"
                                      "print(list(r.keys()))\n"
                                      "print(r == dict(d, **{'a<&>': {'': {'k': 1}}}))\n"
                                      "print(o)\n",
                                &status);
    ASSERT_EQ(status, 0) << out;
    EXPECT_EQ(out, "['zeta', 'alpha', 'values', 'Mixed', 'a<&>']\n"
                   "True\n"
                   "{'max': -1, 'high': -2147483648, 'five': 5, 'text': 'a<b>&c \xc3\xbc ]]>', 'bytes': b'\\x00\\xfe', "
                   "'none': b''}\n");

    // And it reads back here with the same 32 bits.
    PlistRoot again({dir.Path()});
    uint32_t value = 0;
    ASSERT_EQ(again.GetNumber(ours, "max", &value), S_OK);
    EXPECT_EQ(value, 4294967295u);
    ASSERT_EQ(again.GetNumber(ours, "high", &value), S_OK);
    EXPECT_EQ(value, 2147483648u);
    ExpectPeerValues(again, 6);
}

TEST(PlistPeer, BinaryFileWithANulInsideATextIsCorrupt)
{
    // libplist would keep such a text shorter than its recorded length: it stops
    // the process when it reads the key, and reads past the string when the tree
    // is written back.
    for (const char* tree : {"{'Common': {'Locale': '\\u6c11\\x00' + 'y' * 40}}", "{'Common': {'a\\x00b': 1}}",
                             "{'Common': {'Locale': 'de\\x00'}}"}) {
        SCOPED_TRACE(tree);
        TempDir dir;
        int status = -1;
        RunPython("open('" + (dir / kPlistFileName) + "', 'wb').write(plistlib.dumps(" + tree
                      + ", fmt=plistlib.FMT_BINARY))\n",
                  &status);
        ASSERT_EQ(status, 0);
        std::string before = kestrin::policy::test::ReadFile(dir / kPlistFileName);
        PlistRoot root({dir.Path()});
        std::string text;
        EXPECT_EQ(root.GetString({"Common"}, "Locale", &text), E_FAIL);
        EXPECT_FALSE(root.SubKeyAt({}, 0, &text));
        EXPECT_LT(root.SetValue({"Common"}, "Other", NewNumber(1)), 0);
        EXPECT_EQ(kestrin::policy::test::ReadFile(dir / kPlistFileName), before);
    }
}

TEST(PlistPeer, TextsXmlCannotHoldAreRefusedAndTheFileStaysReadable)
{
    TempDir dir;
    PlistRoot root({dir.Path()});
    KeyPath ours {"ours"};
    ASSERT_EQ(root.SetValue(ours, "kept", PlistPtr(plist_new_string("before"))), S_OK);
    std::string before = kestrin::policy::test::ReadFile(root.FilePath());

    const char* refused[] = {"a\x01"
                             "b",
                             "\x08",
                             "\x0b",
                             "\x0c",
                             "x\x0e",
                             "\x1f",
                             "\xef\xbf\xbe",              // U+FFFE
                             "\xef\xbf\xbf",              // U+FFFF
                             "\xed\xa0\x80",              // a lone high surrogate
                             "\xed\xbf\xbf",              // a lone low surrogate
                             "\xed\xa0\xbd\xed\xb8\x80",  // a pair written as two surrogates
                             "\xff",
                             "a\xc3",
                             "\xc0\x80",
                             "\xe0\x80\x80",
                             "\xf4\x90\x80\x80"};
    for (const char* text : refused) {
        SCOPED_TRACE(testing::PrintToString(std::string(text)));
        EXPECT_EQ(root.SetValue(ours, "ctl", PlistPtr(plist_new_string(text))), E_INVALIDARG);
        EXPECT_EQ(root.SetValue(ours, text, NewNumber(1)), E_INVALIDARG);
        EXPECT_EQ(root.SetValue({"ours", text}, "k", NewNumber(1)), E_INVALIDARG);
        EXPECT_FALSE(root.IsConfigured(ours, "ctl"));
        EXPECT_EQ(kestrin::policy::test::ReadFile(root.FilePath()), before);
    }

    // Every character XML allows is taken, and the standard reader agrees.
    const std::string accepted =
        "tab\t lf\n cr\r \x7f \xc2\x80 \xed\x9f\xbf \xee\x80\x80 \xef\xbf\xbd \xf0\x9f\x98\x80 "
        "\xf4\x8f\xbf\xbf";
    ASSERT_EQ(root.SetValue(ours, "ok", PlistPtr(plist_new_string(accepted.c_str()))), S_OK);
    ASSERT_EQ(root.SetValue({"ours", "\xf0\x9f\x98\x80"}, "\xc3\xa4", NewNumber(2)), S_OK);
    int status = -1;
    std::string out = RunPython("d = plistlib.load(open('" + root.FilePath()
                                    + "', 'rb'))['ours']\n"
                                      "print(ascii(d['kept']), ascii(d['ok'].replace('\\r', '\\n')), "
                                      "d['\\U0001F600']['\\u00e4'])\n",
                                &status);
    ASSERT_EQ(status, 0) << out;
    // An XML reader takes a raw CR for a line break.
    EXPECT_EQ(out, "'before' 'tab\\t lf\\n cr\\n \\x7f \\x80 \\ud7ff \\ue000 \\ufffd \\U0001f600 \\U0010ffff' 2\n");
}

TEST(PlistPeer, AFileThatAlreadyHoldsAControlCharacterStillLoads)
{
    TempDir dir;
    kestrin::policy::test::WriteFile(dir / kPlistFileName,
                                     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                     "<key>old</key><dict><key>t</key><string>a\x01"
                                     "b</string></dict></dict></plist>\n");
    PlistRoot root({dir.Path()});
    std::string text;
    ASSERT_EQ(root.GetString({"old"}, "t", &text), S_OK);
    EXPECT_EQ(text, "a\x01"
                    "b");
    EXPECT_EQ(root.SetValue({"old"}, "n", NewNumber(3)), S_OK);
    uint32_t value = 0;
    ASSERT_EQ(PlistRoot({dir.Path()}).GetNumber({"old"}, "n", &value), S_OK);
    EXPECT_EQ(value, 3u);
}
