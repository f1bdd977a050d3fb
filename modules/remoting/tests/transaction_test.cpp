// The wire format byte for byte, as the other process expects it: the
// expected bytes are written out from the format's layouts.
#include "transaction.h"

#include <gtest/gtest.h>

#include "remoting_test_util.h"
#include "zelk_pseproxy.h"

namespace ZELK::PSESVC::test {
namespace {

std::string Written(const Transaction& t)
{
    return Hex(t.Data(), t.Length());
}

// A transaction holding `bytes` to be read, as after an exchange.
class Reader : public TransactionStub {
public:
    explicit Reader(std::string bytes) : TransactionStub(nullptr, 0, nullptr, nullptr), m_bytes(std::move(bytes))
    {
        m_read = reinterpret_cast<const unsigned char*>(m_bytes.data());
        m_remaining = m_bytes.size();
    }

private:
    std::string m_bytes;
};

TEST(Transaction, HeaderGrowthAndRelease)
{
    Transaction t;
    t.Init(0, 7);
    EXPECT_EQ("00 00 00 07", Written(t));
    EXPECT_EQ(32u, t.Capacity());
    for (int i = 0; i < 6; ++i)
        t.Write32(0);
    EXPECT_EQ(28u, t.Length());
    EXPECT_EQ(32u, t.Capacity());
    t.Write32(0x01020304);
    EXPECT_EQ(64u, t.Capacity());
    EXPECT_EQ("01 02 03 04", Hex(t.Data() + 28, 4));

    Transaction release;
    release.Init(0x1400, METHOD_RELEASE);
    EXPECT_EQ("00 00 14 02", Written(release));
}

TEST(Transaction, FunctionAndHeaderFields)
{
    Transaction function;
    function.InitFunction(0);
    EXPECT_EQ("00 00 03 C0", Written(function));

    Reader f(Bytes({0x00, 0x00, 0x03, 0xC0}));
    ApiType kind = API_PSE;
    ASSERT_TRUE(f.PeekApiType(kind));
    EXPECT_EQ(API_FUNCTION, kind);
    Function number = 9;
    ASSERT_TRUE(f.ReadFunction(number));
    EXPECT_EQ(0u, number);

    Reader h(Bytes({0x00, 0x00, 0x0C, 0x48}));
    ASSERT_TRUE(h.PeekApiType(kind));
    EXPECT_EQ(API_SLOT, kind);
    uint32_t id = 0;
    Method method = 0;
    ASSERT_TRUE(h.ReadIdMsg(id, method));
    EXPECT_EQ(3u, id);
    EXPECT_EQ(72u, method);

    Reader shortHeader(Bytes({0x00, 0x00, 0x0C}));
    EXPECT_FALSE(shortHeader.PeekApiType(kind));
    EXPECT_FALSE(shortHeader.ReadIdMsg(id, method));
}

TEST(Transaction, StringsObjectsAndIdentifiers)
{
    Transaction t;
    t.WriteString(nullptr);
    t.WriteString("");
    t.WriteString("abc");
    EXPECT_EQ("00 01 00 01 61 62 63 00", Written(t));

    Transaction object;
    object.WriteObject(static_cast<const SECAttribute*>(nullptr));
    EXPECT_EQ("00 00 00 00", Written(object));
    Reader back(Bytes({0, 0, 0, 0}));
    auto* untouched = reinterpret_cast<SECAttribute*>(0x1234);
    ASSERT_TRUE(back.ReadObject(&untouched));
    EXPECT_EQ(reinterpret_cast<SECAttribute*>(0x1234), untouched);

    Transaction id;
    id.WriteGUID(IID_IGssAuth);
    EXPECT_EQ("CE D6 1C A9 00 00 00 00 A2 67 7C 43 A1 B4 84 28 DE 91 DA C6 00 00 00 00", Written(id));
    Reader idBack(std::string(reinterpret_cast<const char*>(id.Data()), id.Length()));
    GUID read {};
    ASSERT_TRUE(idBack.ReadGUID(&read));
    EXPECT_TRUE(read == IID_IGssAuth);
}

TEST(Transaction, ReadsStopAtTheEnd)
{
    struct Case {
        const char* name;
        std::string bytes;
        bool ok;
    };
    const Case cases[] = {
        {"string with its NUL", Bytes({1, 'a', 'b', 0}), true},
        {"string without its NUL", Bytes({1, 'a', 'b'}), false},
        {"string without presence", "", false},
        {"octets within", Bytes({0, 0, 0, 2, 7, 8}), true},
        {"octets longer than what remains", Bytes({0, 0, 0, 3, 7, 8}), false},
        {"octets of a huge length", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 7}), false},
        {"length cut short", Bytes({0, 0, 2}), false},
    };
    for (const Case& c : cases) {
        Reader r(c.bytes);
        bool ok = false;
        if (std::string(c.name).rfind("string", 0) == 0) {
            const char* text = nullptr;
            ok = r.ReadString(&text);
            if (ok) {
                EXPECT_STREQ("ab", text) << c.name;
            }
        } else {
            const unsigned char* data = nullptr;
            size_t n = 0;
            ok = r.ReadOctetString(&data, &n);
        }
        EXPECT_EQ(c.ok, ok) << c.name;
    }
}

TEST(Transaction, StubRepliesIntoTheRequestBuffer)
{
    auto* buffer = static_cast<unsigned char*>(sec_malloc(8));
    std::memcpy(buffer, "\x00\x00\x00\x07\x01x\x00\x00", 8);
    unsigned char* reply = buffer;
    unsigned long length = 8;
    {
        TransactionStub t(buffer, 8, &reply, &length);
        uint32_t id = 0;
        Method method = 0;
        ASSERT_TRUE(t.ReadIdMsg(id, method));
        const char* text = nullptr;
        ASSERT_TRUE(t.ReadString(&text));
        EXPECT_STREQ("x", text);
        t.WriteRC(-1);
        for (int i = 0; i < 4; ++i)
            t.Write32(0x11223344);
    }
    EXPECT_EQ(20u, length);
    EXPECT_EQ("FF FF FF FF 11 22 33 44", Hex(reply, 8));
    sec_free(reply);
}

}  // namespace
}  // namespace ZELK::PSESVC::test
