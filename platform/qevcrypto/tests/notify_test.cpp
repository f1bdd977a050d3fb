// The trace sink "SEC_NOTIFY_1" and the two trace exports.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "qev_fixture.h"
#include "qev_trace_config.h"

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

// A home and configuration folder of their own, with a blank and shell
// characters in the home's name; restored at the end.
class TraceFiles : public TraceSink {
protected:
    void SetUp() override
    {
        TraceSink::SetUp();
        char tmpl[] = "/tmp/qev trace $(x) 'XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home = tmpl;
        for (const char* name : {"HOME", "XDG_CONFIG_HOME"}) {
            const char* old = std::getenv(name);
            saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        }
        setenv("HOME", home.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
        std::filesystem::create_directories(home / "config" / "kestrin");
        std::filesystem::create_directories(home / "logs");
    }
    void TearDown() override
    {
        std::filesystem::remove(QevTraceConfigFile());
        setLevel(5);  // no file: no trace file either
        setLevel(0);
        for (const auto& [name, value] : saved) {
            if (value)
                setenv(name, value->c_str(), 1);
            else
                unsetenv(name);
        }
        std::filesystem::remove_all(home);
        TraceSink::TearDown();
    }
    void WriteConfiguration(int level)
    {
        std::ofstream(QevTraceConfigFile()) << "[trace]\nLevel = " << level
                                            << "\nRotateFileSize = 10000000\nRotateFileNumber = 5\n"
                                               "Directory = %HOME%/logs\n";
    }
    std::string TraceFile()
    {
        std::stringstream content;
        content << std::ifstream(home / "logs" / "qevcrypto.trc").rdbuf();
        return content.str();
    }

    std::filesystem::path home;
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
};

TEST_F(TraceFiles, ConfiguredTraceFileReceivesTheLines)
{
    // The configuration is read when the first user fetches the list.
    ASSERT_EQ(list->release(list), S_OK);
    list = nullptr;
    WriteConfiguration(3);
    registerCallback(0, nullptr);
    ASSERT_EQ(getList(0, nullptr, &list, nullptr, "", 0), S_OK);

    EXPECT_EQ(notify->level(nullptr, 0), 3u);
    notify->write(3, "zelkpolicy", nullptr, "opened %s", "Common/GVX");
    notify->write(4, "zelkpolicy", nullptr, "%s", "detail");
    const std::string content = TraceFile();
    EXPECT_NE(content.find("zelkpolicy 3 opened Common/GVX\n"), std::string::npos) << content;
    EXPECT_EQ(content.find("detail"), std::string::npos);
}

// Tracing switched on while the library runs: the level set after the file
// was written brings the trace file in; a level without a file leaves it.
TEST_F(TraceFiles, SettingALevelReadsTheFolderAgain)
{
    registerCallback(0, nullptr);
    setLevel(5);
    notify->write(2, "zelk", nullptr, "%s", "before");
    EXPECT_TRUE(TraceFile().empty());
    WriteConfiguration(5);
    setLevel(5);
    notify->write(2, "zelk", nullptr, "%s", "after");
    EXPECT_NE(TraceFile().find("zelk 2 after\n"), std::string::npos);
    std::filesystem::remove(QevTraceConfigFile());
    setLevel(4);
    notify->write(2, "zelk", nullptr, "%s", "gone");
    EXPECT_EQ(TraceFile().find("gone"), std::string::npos);
}

}  // namespace
