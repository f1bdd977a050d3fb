// One-time passwords: RFC 6238's SHA-1 vectors, codes beside Python's hmac
// and base64 for random secrets and times, the Base32 reading, and the token
// list read from the "OTP" configuration.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "model/model_clock.h"
#include "model/model_otp.h"
#include "model_fixture.h"
#include "qev_crypt.h"
#include "zelk_alloc.h"

namespace kestrin::model::test {
namespace {

using namespace ZELK::PSESVC;

// Base32 of the RFC's SHA-1 key "12345678901234567890".
const char kRfcSecret[] = "GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ";

class OtpTest : public ModelTest {
protected:
    void TearDown() override
    {
        ModelClockSet(0);
        ModelTest::TearDown();
    }

    static CModelTokenOTP* Token(const char* secret)
    {
        CModelTokenOTP* token = nullptr;
        EXPECT_EQ(CModelTokenOTP::New(L"alice", secret, &token), S_OK);
        return token;
    }
    static void Release(CModelTokenOTP* token) { static_cast<IGUIModel*>(token)->Release(); }

    // The code at `time`, or the failure code in brackets.
    static std::string Code(CModelTokenOTP* token, uint64_t time)
    {
        ModelClockSet(time);
        char* code = nullptr;
        HRESULT hr = token->GetOTP(&code, nullptr, nullptr);
        if (FAILED(hr)) {
            EXPECT_EQ(code, nullptr);
            char text[16];
            std::snprintf(text, sizeof text, "[%08X]", static_cast<unsigned>(hr));
            return text;
        }
        std::string result = code;
        sec_free(code);
        return result;
    }
};

TEST_F(OtpTest, RfcVectorsAndTheSecondsLeft)
{
    CModelTokenOTP* token = Token(kRfcSecret);
    const struct {
        uint64_t time;
        const char* code;
    } vectors[] = {{59, "287082"},         {1111111109, "081804"}, {1111111111, "050471"},
                   {1234567890, "005924"}, {2000000000, "279037"}, {20000000000, "353130"}};
    for (const auto& v : vectors)
        EXPECT_EQ(Code(token, v.time), v.code) << v.time;

    unsigned long left = 0;
    unsigned long period = 0;
    for (auto [time, expected] : {std::pair<uint64_t, unsigned long> {59, 1}, {60, 30}, {61, 29}}) {
        ModelClockSet(time);
        EXPECT_EQ(token->GetOTP(nullptr, &left, &period), S_OK);
        EXPECT_EQ(left, expected) << time;
        EXPECT_EQ(period, 30u);
    }
    Release(token);
}

TEST_F(OtpTest, Base32Table)
{
    // 52 characters are 32 bytes and 4 bits dropped; one more byte is refused.
    const std::string full(52, 'A');
    const struct {
        std::string secret;
        HRESULT result;
        const char* sameAs;
    } cases[] = {
        {"gezdgnbvgy3tqojqgezdgnbvgy3tqojq", S_OK, kRfcSecret},
        {" GEZD GNBV\tGY3T\nQOJQ\rGEZD\vGNBV\fGY3TQOJQ ", S_OK, kRfcSecret},
        {"GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ=", E_INVALIDARG, nullptr},
        {"GEZDGNBVGY3TQOJ0", E_INVALIDARG, nullptr},
        {"GEZDGNBVGY3TQOJ1", E_INVALIDARG, nullptr},
        {"GEZDGNBVGY3TQOJ8", E_INVALIDARG, nullptr},
        {"GEZDGNBVGY3TQOJ9", E_INVALIDARG, nullptr},
        {"GEZD\xC3\xA9", E_INVALIDARG, nullptr},
        {full, S_OK, nullptr},
        {full + "AA", SEC_E_BUFFER_TOO_SMALL, nullptr},
    };
    for (const auto& c : cases) {
        unsigned char key[32];
        size_t length = 99;
        EXPECT_EQ(DecodeOtpSecret(c.secret.c_str(), key, sizeof key, &length), c.result) << c.secret;
        if (c.result == S_OK && c.sameAs != nullptr) {
            EXPECT_EQ(length, 20u);
            EXPECT_EQ(std::string(reinterpret_cast<char*>(key), length), "12345678901234567890");
        }
        if (c.result != S_OK) {
            EXPECT_EQ(length, 0u);
            // The failure reaches GetOTP, which still fills the seconds left.
            CModelTokenOTP* token = Token(c.secret.c_str());
            ModelClockSet(100);
            char* code = reinterpret_cast<char*>(1);
            unsigned long left = 0;
            EXPECT_EQ(token->GetOTP(&code, &left, nullptr), c.result);
            EXPECT_EQ(code, nullptr);
            EXPECT_EQ(left, 20u);
            Release(token);
        }
    }
    size_t length = 0;
    unsigned char key[32];
    ASSERT_EQ(DecodeOtpSecret(full.c_str(), key, sizeof key, &length), S_OK);
    EXPECT_EQ(length, 32u);
}

TEST_F(OtpTest, RandomSecretsAgreeWithPython)
{
    // Python draws secrets of 1 to 32 bytes and times up to 2^34 and answers
    // the Base32 text, the time and its own code; lower-case and spaced texts too.
    const char* script = R"(
import base64, hmac, hashlib, random, struct
r = random.Random(6238)
for i in range(1000):
    key = bytes(r.randrange(256) for _ in range(r.randint(1, 32)))
    t = r.randrange(0, 1 << 34)
    text = base64.b32encode(key).decode().rstrip('=')
    if i % 3 == 1: text = text.lower()
    if i % 3 == 2: text = ' '.join(text[j:j + 4] for j in range(0, len(text), 4))
    h = hmac.new(key, struct.pack('>Q', t // 30), hashlib.sha1).digest()
    o = h[19] & 15
    v = (struct.unpack('>I', h[o:o + 4])[0] & 0x7fffffff) % 1000000
    print(text.replace(' ', '_'), t, '%06d' % v)
)";
    FILE* pipe = popen(("python3 -c \"" + std::string(script) + "\"").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    ASSERT_EQ(pclose(pipe), 0);
    std::istringstream lines(output);
    std::string secret, expected;
    uint64_t time = 0;
    int count = 0;
    while (lines >> secret >> time >> expected) {
        for (char& c : secret)
            if (c == '_')
                c = ' ';
        CModelTokenOTP* token = Token(secret.c_str());
        ASSERT_EQ(Code(token, time), expected) << secret << " at " << time;
        Release(token);
        ++count;
    }
    EXPECT_EQ(count, 1000);
}

TEST_F(OtpTest, TheListHoldsTheConfiguredTokenAndNoTraceShowsTheSecret)
{
    const std::string secret = "JBSWY3DPEHPK3PXPJBSWY3DP";
    WritePlist(false, "{'OTP': {'username': 'b\\u00f6b', 'secret': '" + secret + "'}}");
    CaptureTrace(5);
    CModelTokensOTP* list = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CModelTokensOTP>::New(&list), S_OK);
    ASSERT_EQ(list->GetElementCount(), 1u);
    IGUIModelTokenOTP* token = nullptr;
    ASSERT_EQ(list->GetElement(0, IID_IGUIModelTokenOTP, reinterpret_cast<void**>(&token)), S_OK);
    wchar_t* name = nullptr;
    ASSERT_EQ(token->GetUserName(&name), S_OK);
    EXPECT_STREQ(name, L"b\u00f6b");
    sec_free(name);
    char* code = nullptr;
    ASSERT_EQ(token->GetOTP(&code, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::string(code).size(), 6u);
    sec_free(code);
    token->Release();
    list->Release();
    for (const std::string& line : TraceLines())
        EXPECT_EQ(line.find(secret), std::string::npos) << line;
}

TEST_F(OtpTest, NoSecretNoToken)
{
    WritePlist(false, "{'OTP': {'username': 'bob', 'secret': ''}}");
    CModelTokensOTP* list = nullptr;
    ASSERT_EQ(CSingletonFactoryImpl<CModelTokensOTP>::New(&list), S_OK);
    EXPECT_EQ(list->GetElementCount(), 0u);
    list->Release();
}

}  // namespace
}  // namespace kestrin::model::test
