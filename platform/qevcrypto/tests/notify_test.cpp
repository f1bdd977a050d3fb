// The trace sink "SEC_NOTIFY_1" and the two trace exports.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "qev_fixture.h"

namespace {

struct Line {
    int level;
    std::string module;
    std::string text;
};
std::vector<Line> s_lines;

int collect(int level, const char* module, const char*, const char* text)
{
    s_lines.push_back({level, module ? module : "", text ? text : ""});
    return 0;
}

class TraceSink : public QevLibrary {
protected:
    void SetUp() override
    {
        QevLibrary::SetUp();
        s_lines.clear();
        API_COMMON* table = nullptr;
        ASSERT_EQ(list->get_api(nullptr, "SEC_NOTIFY_1", &table), S_OK);
        notify = static_cast<const SEC_NOTIFY_TABLE*>(table);
        registerCallback(0, &collect);
    }
    const SEC_NOTIFY_TABLE* notify = nullptr;
};

TEST_F(TraceSink, WritesOnlyLevelsInForceAndChecksBeforeFormatting)
{
    EXPECT_EQ(notify->level(nullptr, 4), 0u);
    notify->write(1, "zelk", nullptr, "off %d", 1);  // tracing off: nothing
    EXPECT_TRUE(s_lines.empty());

    EXPECT_EQ(setLevel(2), S_OK);
    EXPECT_EQ(notify->level("zelk", 4), 2u);
    EXPECT_EQ(notify->level(nullptr, 1), 2u);
    // A line above the level is never formatted: the bogus argument is not read.
    notify->write(4, "zelk", nullptr, "%s", reinterpret_cast<const char*>(1));
    EXPECT_TRUE(s_lines.empty());
    notify->write(2, "zelk", nullptr, "value %d of %s", 7, "seven");
    ASSERT_EQ(s_lines.size(), 1u);
    EXPECT_EQ(s_lines[0].level, 2);
    EXPECT_EQ(s_lines[0].module, "zelk");
    EXPECT_EQ(s_lines[0].text, "value 7 of seven");
}

TEST_F(TraceSink, LongLinesAreWrittenWhole)
{
    setLevel(5);
    std::string big(5000, 'x');
    notify->write(5, nullptr, nullptr, "<%s>", big.c_str());
    ASSERT_EQ(s_lines.size(), 1u);
    EXPECT_EQ(s_lines[0].text, "<" + big + ">");
    EXPECT_EQ(s_lines[0].module, "qevcrypto");
}

TEST_F(TraceSink, LevelIsKeptWithinZeroToFifteen)
{
    setLevel(99);
    EXPECT_EQ(notify->level(nullptr, 0), 15u);
    setLevel(-3);
    EXPECT_EQ(notify->level(nullptr, 0), 0u);
}

TEST_F(TraceSink, ConfiguredTraceFileReceivesTheLines)
{
    // The configuration is read when the first user fetches the list.
    ASSERT_EQ(list->release(list), S_OK);
    list = nullptr;
    char tmpl[] = "/tmp/qevtraceXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::filesystem::path home(tmpl);
    std::filesystem::create_directories(home / "sec");
    std::filesystem::create_directories(home / "logs");
    std::ofstream(home / "sec" / "sectrace.ini")
        << "[trace]\nLevel = 3\nRotateFileSize = 10000000\nRotateFileNumber = 5\nDirectory = %HOME%/logs\n";
    const char* oldHome = std::getenv("HOME");
    std::string saved = oldHome ? oldHome : "";
    setenv("HOME", tmpl, 1);
    registerCallback(0, nullptr);
    ASSERT_EQ(getList(0, nullptr, &list, nullptr, "", 0), S_OK);
    if (oldHome)
        setenv("HOME", saved.c_str(), 1);
    else
        unsetenv("HOME");

    EXPECT_EQ(notify->level(nullptr, 0), 3u);
    notify->write(3, "zelkpolicy", nullptr, "opened %s", "Common/GVX");
    notify->write(4, "zelkpolicy", nullptr, "%s", "detail");
    std::stringstream content;
    content << std::ifstream(home / "logs" / "qevcrypto.trc").rdbuf();
    EXPECT_NE(content.str().find("zelkpolicy 3 opened Common/GVX\n"), std::string::npos) << content.str();
    EXPECT_EQ(content.str().find("detail"), std::string::npos);
    std::filesystem::remove_all(home);
}

}  // namespace
