// Trace front end: lines captured by a sink installed in place of
// "SEC_NOTIFY_1", and once through the crypto library's own sink.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "zelk_loader.h"
#include "zelk_module.h"
#include "zelk_trace.h"

namespace {

struct Line {
    unsigned int level;
    std::string module;
    std::string text;
};

std::vector<Line> s_lines;
unsigned int s_sinkLevel = 15;
int s_levelQueries = 0;

HRESULT CaptureV(unsigned int level, const char* module, void*, const char* format, va_list args)
{
    char text[4096];
    vsnprintf(text, sizeof text, format, args);
    s_lines.push_back({level, module ? module : "", text});
    return S_OK;
}

HRESULT Capture(unsigned int level, const char* module, void* reserved, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    HRESULT hr = CaptureV(level, module, reserved, format, args);
    va_end(args);
    return hr;
}

unsigned int SinkLevel(const char*, unsigned int)
{
    ++s_levelQueries;
    return s_sinkLevel;
}

SEC_NOTIFY_TABLE s_sink = {{nullptr}, Capture, CaptureV, SinkLevel};

class Trace : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_saved = fptr__notify;
        fptr__notify = &s_sink;
        s_lines.clear();
        s_sinkLevel = 15;
        s_levelQueries = 0;
        SECTRACE_SetDefaultModule("tracetest");
    }
    void TearDown() override { fptr__notify = m_saved; }

    API_COMMON* m_saved = nullptr;
};

HRESULT TracedFunction(HRESULT answer)
{
    SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "TracedFunction");
    trace.result = answer;
    return trace.result;
}

TEST_F(Trace, ScopedRecordWritesEntryAndExitAtLevelFour)
{
    TracedFunction(ZELK_RC(0x80004005));
    ASSERT_EQ(s_lines.size(), 2u);
    EXPECT_EQ(s_lines[0].level, 4u);
    EXPECT_EQ(s_lines[0].text, "{ TracedFunction");
    EXPECT_EQ(s_lines[0].module, "tracetest");
    EXPECT_EQ(s_lines[1].level, 4u);
    EXPECT_EQ(s_lines[1].text, "} 80004005");

    s_lines.clear();
    TracedFunction(1);
    ASSERT_EQ(s_lines.size(), 2u);
    EXPECT_EQ(s_lines[1].text, "}        1");

    s_lines.clear();
    {
        SECTRACE_Fkt_IMPL<unsigned int> plain(nullptr, "Plain");
    }
    ASSERT_EQ(s_lines.size(), 2u);
    EXPECT_EQ(s_lines[1].text, "}");

    // The result format is cut to its first 18 characters.
    s_lines.clear();
    {
        SECTRACE_Fkt_IMPL<int> longFormat("%d-abcdefghijklmnopqrstuvwxyz", "Long");
        longFormat.result = 7;
    }
    ASSERT_EQ(s_lines.size(), 2u);
    EXPECT_EQ(s_lines[1].text, "} 7-abcdefghijklmno");
}

TEST_F(Trace, OnlyTheLowFourBitsOfALevelReachTheSink)
{
    SECTRACE_WriteLn(nullptr, 0x10000004, "a");
    SECTRACE_WriteLn(nullptr, 20, "b");
    SECTRACE_FormatLn("named", 0x20000001, "%s=%d", "c", 3);
    ASSERT_EQ(s_lines.size(), 3u);
    EXPECT_EQ(s_lines[0].level, 4u);
    EXPECT_EQ(s_lines[1].level, 4u);
    EXPECT_EQ(s_lines[2].level, 1u);
    EXPECT_EQ(s_lines[2].module, "named");
    EXPECT_EQ(s_lines[2].text, "c=3");
}

TEST_F(Trace, LevelIsCheckedBeforeFormatting)
{
    s_sinkLevel = 3;
    EXPECT_TRUE(SECTRACE_Check(nullptr, 3));
    EXPECT_FALSE(SECTRACE_Check(nullptr, 4));
    EXPECT_FALSE(SECTRACE_Check("webadapter", 0x10000004));
    SECTRACE_FormatLn(nullptr, 4, "%s", "detail");
    SECTRACE_FormatLnW(nullptr, 5, L"%s", L"detail");
    SECTRACE_WriteLn(nullptr, 2, "error");
    ASSERT_EQ(s_lines.size(), 1u);
    EXPECT_EQ(s_lines[0].text, "error");
    EXPECT_GE(s_levelQueries, 3);
}

TEST_F(Trace, NothingIsWrittenWhileTheSinkIsUnbound)
{
    fptr__notify = nullptr;
    EXPECT_FALSE(SECTRACE_Check(nullptr, 1));
    SECTRACE_WriteLn(nullptr, 1, "lost");
    SECTRACE_FormatLnW(nullptr, 1, L"%d", 1);
    SECTRACE_Fkt_IMPL<int> trace("%8x", "Unbound");
    EXPECT_TRUE(s_lines.empty());
}

TEST_F(Trace, WideTextsAndFormats)
{
    SECTRACE_WriteLnW(nullptr, 1, L"\u00E9\U0001F600");
    SECTRACE_FormatLnW(nullptr, 1, L"%s|%hs|%d|%I64u", L"w\u00E9", "n\xC3\xA9", -2, UINT64_C(1) << 40);
    // A wide text in a narrow format is UTF-8, whatever the process's locale.
    SECTRACE_FormatLnEx(nullptr, 1, 65001, "%S and %ls", L"\u20AC", L"x");
    ASSERT_EQ(s_lines.size(), 3u);
    EXPECT_EQ(s_lines[0].text, "\xC3\xA9?");
    EXPECT_EQ(s_lines[1].text, "w\xC3\xA9|n\xC3\xA9|-2|1099511627776");
    EXPECT_EQ(s_lines[2].text, "\xE2\x82\xAC and x");
}

TEST_F(Trace, DefaultModuleName)
{
    EXPECT_STREQ(SECTRACE_GetModule("given"), "given");
    EXPECT_STREQ(SECTRACE_GetModule(nullptr), "tracetest");
    std::string longName(600, 'm');
    SECTRACE_SetDefaultModule(longName.c_str());
    EXPECT_EQ(std::string(SECTRACE_GetModule(nullptr)), longName.substr(0, 511));
    // Unset, the name is the deliverable's own file name.
    SECTRACE_SetDefaultModule("");
    const char* own = ZELK_FindOwnModuleName();
    EXPECT_STREQ(SECTRACE_GetModule(nullptr), own && *own ? own : "unknown");
}

TEST_F(Trace, WideFormatterForTraces)
{
    wchar_t* out = nullptr;
    auto format = [&](const wchar_t* f, ...) {
        va_list args;
        va_start(args, f);
        StringW_FormatV(f, args, &out);
        va_end(args);
    };
    format(L"%s-%d", L"ab", 5);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::wstring(out), L"ab-5");
    free(out);

    auto estimate = [](const wchar_t* f, ...) {
        va_list args;
        va_start(args, f);
        size_t n = StringW_FormatV_GetMaxLen(f, args);
        va_end(args);
        return n;
    };
    EXPECT_EQ(estimate(L"ab%d", 1), 34u);
}

TEST(SecMemzero, ClearsTheBuffer)
{
    unsigned char buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    sec_memzero(buffer, 4);
    EXPECT_EQ(buffer[3], 0);
    EXPECT_EQ(buffer[4], 5);
    sec_memzero(nullptr, 4);
}

// Through the crypto library's own sink: its callback receives the line.
std::vector<std::string> s_callbackLines;

int TraceCallback(int level, const char*, const char*, const char* text)
{
    s_callbackLines.push_back(std::to_string(level) + ":" + text);
    return 0;
}

TEST(TraceThroughCryptoLibrary, LinesReachTheRegisteredCallback)
{
    ASSERT_EQ(ZELK_Initialize(), S_OK);
    ASSERT_NE(fptr__notify, nullptr);
    void* library = dlopen("libqevcrypto.so", RTLD_NOW | RTLD_NOLOAD);
    if (!library) {
        ZELK_Finalize();
        GTEST_SKIP() << "crypto library not loaded by name";
    }
    auto registerCallback =
        reinterpret_cast<QEV_REGISTER_TRACE_CALLBACK_FN>(dlsym(library, "Qevcryptolib_RegisterTraceCallback"));
    auto setLevel = reinterpret_cast<QEV_SET_TRACE_LEVEL_FN>(dlsym(library, "Qevcryptolib_SetTraceLevel"));
    ASSERT_NE(registerCallback, nullptr);
    ASSERT_NE(setLevel, nullptr);
    setLevel(5);
    registerCallback(0, TraceCallback);
    s_callbackLines.clear();
    {
        SECTRACE_Fkt_IMPL<HRESULT> trace("%8x", "ThroughLibrary");
        trace.result = ZELK_RC(0x80004005);
    }
    registerCallback(0, nullptr);
    setLevel(0);
    dlclose(library);
    ZELK_Finalize();
    ASSERT_EQ(s_callbackLines.size(), 2u);
    EXPECT_NE(s_callbackLines[0].find("{ ThroughLibrary"), std::string::npos);
    EXPECT_NE(s_callbackLines[1].find("} 80004005"), std::string::npos);
}

}  // namespace
