// The plist stores through the ordinary configuration object: key paths,
// value kinds, writes that cannot be stored, and files of the plistlib peer.
#include "policy_fixture.h"

using namespace kestrin::policy::test;

namespace {

std::string Fail(int hr)
{
    return "<fail:" + std::to_string(hr) + ">";
}

}  // namespace

TEST_F(PolicyTable, KeyPathsAndNamesIgnoreSeparatorsAndCase)
{
    Policy top, slash, capi, back;
    ASSERT_EQ(ZELK_PolOpen("", &top), S_OK);
    ASSERT_EQ(ZELK_PolOpen("/", &slash), S_OK);
    EXPECT_EQ(top->GetName(), nullptr);
    EXPECT_STREQ(top->GetPath(), "/");
    EXPECT_STREQ(slash->GetPath(), "/");
    ASSERT_EQ(ZELK_PolOpen("Common/CAPI", &capi), S_OK);
    ASSERT_EQ(ZELK_PolOpen("\\Common\\CAPI\\", &back), S_OK);
    EXPECT_STREQ(back->GetPath(), "Common/CAPI");
    EXPECT_STREQ(back->GetName(), "CAPI");

    ASSERT_EQ(capi->SetDWORD("Level", 1), S_OK);
    ASSERT_EQ(back->SetDWORD("level", 2), S_OK);
    EXPECT_EQ(capi->GetDWORD("LEVEL"), 2u);
    EXPECT_EQ(PeerRead(UserFile(), "d"), "{\"Common\": {\"CAPI\": {\"Level\": 2}}}");

    // A sub-key is not a value; the top level lists it.
    EXPECT_FALSE(top->IsConfigured("Common"));
    char name[16];
    ASSERT_EQ(top->EnumSubKey(0, name, sizeof name), S_OK);
    EXPECT_STREQ(name, "Common");
    Policy missing;
    ASSERT_EQ(top->OpenChild("nothing", 0, &missing), S_OK);
    EXPECT_EQ(Text(missing.get(), "x"), Fail(E_FAIL));
}

TEST_F(PolicyTable, ValueKindsRoundTripThroughThePeer)
{
    Policy values;
    ASSERT_EQ(ZELK_PolOpen("values", &values), S_OK);
    ASSERT_EQ(values->SetDWORD("big", 4294967295u), S_OK);
    ASSERT_EQ(values->SetString("text", "Gr\xc3\xbc\xc3\x9f"
                                        "e <&>"),
              S_OK);
    OctetString in {3, reinterpret_cast<unsigned char*>(const_cast<char*>("\x00\x01\xff"))};
    ASSERT_EQ(values->SetBinary("data", &in), S_OK);
    EXPECT_EQ(PeerRead(UserFile(), "[d['values']['big'], d['values']['text'], d['values']['data'].hex()]"),
              "[-1, \"Gr\\u00fc\\u00dfe <&>\", \"0001ff\"]");
    EXPECT_EQ(values->GetDWORD("big"), 4294967295u);
    EXPECT_EQ(Text(values.get(), "big"), Fail(E_FAIL));
    OctetString* bytes = nullptr;
    ASSERT_EQ(values->GetBinary("DATA", &bytes), S_OK);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes->data), bytes->length), std::string("\x00\x01\xff", 3));
    FreeOctets(bytes);

    // Removing: NULL text, NULL bytes.
    ASSERT_EQ(values->SetString("text", nullptr), S_OK);
    ASSERT_EQ(values->SetBinary("data", nullptr), S_OK);
    EXPECT_EQ(PeerRead(UserFile(), "sorted(d['values'])"), "[\"big\"]");
}

TEST_F(PolicyTable, PeerFilesAreReadInXmlAndBinaryForm)
{
    for (const char* format : {"plistlib.FMT_XML", "plistlib.FMT_BINARY"}) {
        int status = -1;
        RunPython("os.makedirs('" + UserFolder()
                      + "', exist_ok=True)\nplistlib.dump({'system': {'networkTimeout': "
                        "'45', 'word': 'abc', 'yes': True, 'real': 7.9, 'blob': b'\\x01\\x02', 'sub': {}}}, open('"
                      + UserFile() + "', 'wb'), fmt=" + format + ")\n",
                  &status);
        ASSERT_EQ(status, 0);
        ASSERT_EQ(ZELK_Finalize(), S_OK);  // a fresh start reads the file anew
        ASSERT_EQ(ZELK_Initialize(), S_OK);
        Policy system;
        ASSERT_EQ(ZELK_PolOpen("system", &system), S_OK);
        EXPECT_EQ(system->GetDWORD("networkTimeout"), 45u) << format;
        EXPECT_EQ(system->GetDWORD("word"), 0u) << format;
        EXPECT_EQ(system->GetDWORD("yes"), 1u) << format;
        EXPECT_EQ(system->GetDWORD("real"), 7u) << format;
        EXPECT_EQ(Text(system.get(), "networkTimeout"), "45") << format;
        OctetString* bytes = nullptr;
        ASSERT_EQ(system->GetBinary("blob", &bytes), S_OK) << format;
        EXPECT_EQ(bytes->length, 2u);
        FreeOctets(bytes);
        EXPECT_FALSE(system->IsConfigured("sub"));
    }
}

TEST_F(PolicyTable, WritesThatStoreNothingFail)
{
    {
        Policy trace;
        ASSERT_EQ(ZELK_PolOpen("trace", &trace), S_OK);
        ASSERT_EQ(trace->SetDWORD("Level", 5), S_OK);
        // "trace/Level" is a value, not a key: nothing can be stored below it.
        Policy below;
        ASSERT_EQ(trace->OpenChild("Level", 0, &below), S_OK);
        std::string before = ReadFile(UserFile());
        EXPECT_EQ(below->SetDWORD("x", 1), E_FAIL);
        EXPECT_EQ(ReadFile(UserFile()), before);
        EXPECT_EQ(below->GetDWORD("x"), 0u);
        // A text no XML reader would take is refused before anything is stored.
        EXPECT_EQ(trace->SetString("ctl", "a\x01"
                                          "b"),
                  E_INVALIDARG);
        EXPECT_EQ(ReadFile(UserFile()), before);
        EXPECT_FALSE(trace->IsConfigured("ctl"));
    }

    // A corrupt user file is never overwritten, and writes say so.
    const std::string corrupt = "<?xml version=\"1.0\"?><plist><dict><key>broken";
    WriteFile(UserFile(), corrupt);
    ASSERT_EQ(ZELK_Finalize(), S_OK);
    ASSERT_EQ(ZELK_Initialize(), S_OK);
    Policy again;
    ASSERT_EQ(ZELK_PolOpen("trace", &again), S_OK);
    EXPECT_LT(again->SetDWORD("Level", 6), 0);
    EXPECT_EQ(ReadFile(UserFile()), corrupt);
    EXPECT_EQ(again->GetDWORD("Level"), 0u);
}
