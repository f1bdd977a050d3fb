// The preferences: the connection-mode tab over the real policy store (the
// user file and a system file that locks values), the policy-server tab over
// a stand-in settings model, the trace tab's files, and the download status.
#include "settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDesktopServices>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app_test.h"
#include "downloadstatus.h"
#include "glue.h"
#include "qev_trace_config.h"
#include "qevcrypto.h"
#include "queues.h"
#include "tracefiles.h"
#include "windows.h"
#include "zelk_class.h"
#include "zelk_loader.h"
#include "zelk_policy_client.h"
#include "zelk_trace.h"

namespace kestrin::app::test {
namespace {

using ZELK::PSESVC::IGUIModelCfgPolicy;
using ZELK::PSESVC::IGUIModelCfgPolicy_Param;
using ZELK::PSESVC::IGUIRefreshCB;

// The settings model as the policy-server tab sees it; a download answers
// `reply` (a multi-string, or none) with the given status.
class FakeCfgPolicy : public IGUIModelCfgPolicy, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(FakeCfgPolicy)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIModelCfgPolicy, IGUIModelCfgPolicy)
    ZELK_END_INTMAP()

    int64_t GetRevision() override { return 0; }
    HRESULT RegisterCallback(IGUIRefreshCB* cb, unsigned long) override
    {
        ++registrations;
        callback = cb;
        return S_OK;
    }
    HRESULT UnRegisterCallback(IGUIRefreshCB*, unsigned long) override
    {
        callback = nullptr;
        return S_OK;
    }
    HRESULT Apply() override
    {
        applied.push_back(group ? *group : "(none)");
        return S_OK;
    }
    HRESULT Cancel() override
    {
        ++cancels;
        return S_OK;
    }
    HRESULT Update() override { return S_OK; }
    HRESULT Clear() override
    {
        ++clears;
        names.reset();
        return S_OK;
    }
    bool IsChangeable(IGUIModelCfgPolicy_Param param) override { return param == 1 ? hostChangeable : true; }
    const char* GetString(IGUIModelCfgPolicy_Param param) override
    {
        switch (param) {
        case 0:
            return statusText.c_str();
        case 1:
            return host ? host->c_str() : nullptr;
        case 2:
            names = reply;
            statusText = reply ? "OK" : failure;
            statusCode = reply ? 0 : failureCode;
            return names ? names->c_str() : nullptr;
        case 3:
            return names ? names->c_str() : nullptr;
        case 4:
            return group ? group->c_str() : nullptr;
        default:
            return nullptr;
        }
    }
    unsigned int GetDWORD(IGUIModelCfgPolicy_Param param) override { return param == 0 ? statusCode : 0; }
    bool GetBool(IGUIModelCfgPolicy_Param) override { return false; }
    HRESULT SetString(IGUIModelCfgPolicy_Param param, const char* value) override
    {
        std::optional<std::string> text = value ? std::optional<std::string>(value) : std::nullopt;
        if (param == 1)
            host = text;
        else if (param == 4)
            group = text;
        return S_OK;
    }
    HRESULT SetDWORD(IGUIModelCfgPolicy_Param, unsigned int) override { return S_OK; }
    HRESULT SetBool(IGUIModelCfgPolicy_Param, bool) override { return S_OK; }

    // Multi-strings keep their inner NULs.
    static std::string Names(std::initializer_list<const char*> list)
    {
        std::string text;
        for (const char* name : list)
            text.append(name).push_back('\0');
        text.push_back('\0');
        return text;
    }

    IGUIRefreshCB* callback = nullptr;
    int registrations = 0;
    int cancels = 0;
    int clears = 0;
    bool hostChangeable = true;
    std::optional<std::string> host;
    std::optional<std::string> group;
    std::optional<std::string> names;
    std::optional<std::string> reply;
    std::string failure = "Not Found";
    unsigned int failureCode = 404;
    std::string statusText;
    unsigned int statusCode = 0;
    std::vector<std::string> applied;
};

CComObject<FakeCfgPolicy>* s_cfg = nullptr;

HRESULT NewCfgPolicy(const GUID& iid, void** out)
{
    if (s_cfg == nullptr) {
        CComObject<FakeCfgPolicy>::CreateInstance(&s_cfg);
        s_cfg->AddRef();
    }
    return s_cfg->QueryInterface(iid, out);
}

// Found before the service's own class of that name.
CZELK_CLASS s_fakeCfg("zelk", "zelk.cfg.policy", &NewCfgPolicy);

std::string Read(const std::string& path)
{
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    return content.str();
}

void WriteSystemPlist(const std::string& dict)
{
    const std::string folder = TestHome() + "/system/kestrin";
    std::filesystem::create_directories(folder);
    const std::string script =
        "import plistlib\nplistlib.dump(" + dict + ", open('" + folder + "/settings.plist', 'wb'), sort_keys=False)\n";
    std::ofstream(TestHome() + "/plist.py") << script;
    ASSERT_EQ(std::system(("python3 '" + TestHome() + "/plist.py'").c_str()), 0);
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        BeginGuiLoop();
        ZELKGLUE_SetHeadless(false);
        ASSERT_EQ(ZELK_PolOpen("Common/GVX", &m_gvx), S_OK);
        ASSERT_EQ(ZELK_PolOpen("trace", &m_trace), S_OK);
        m_view = SettingsWindowController::get()->content();
    }
    void TearDown() override
    {
        SettingsWindowController::get()->hide();
        m_gvx->Release();
        m_trace->Release();
    }

    ZELK_IPolicy* m_gvx = nullptr;
    ZELK_IPolicy* m_trace = nullptr;
    SettingsViewController* m_view = nullptr;
};

TEST_F(SettingsTest, ModeTabFollowsTheStoredValues)
{
    SettingsViewController* v = m_view;
    m_gvx->SetDWORD("GVXModeSmartTryKerberosFirst", 1);
    m_gvx->SetDWORD("ServerSessionKeyMode", 0);
    const struct {
        unsigned mode;
        QRadioButton* on;
        bool kerberos;
        bool sessionKey;
    } table[] = {
        {0, v->buttonGVXLegacyMode, false, true},
        {1, v->buttonGVXSmartMode, true, true},
        {2, v->buttonGVXEOM, false, false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.mode);
        m_gvx->SetDWORD("GVXMode", row.mode);
        v->viewRefreshGVX();
        EXPECT_TRUE(row.on->isChecked());
        EXPECT_EQ(v->buttonGVXPreferKerberos->isEnabled(), row.kerberos);
        EXPECT_EQ(v->buttonGVXServerSessionKeyMode->isEnabled(), row.sessionKey);
        EXPECT_TRUE(v->buttonGVXPreferKerberos->isChecked());
        EXPECT_FALSE(v->buttonGVXServerSessionKeyMode->isChecked());
    }
    // A mode of no radio: none on, the checkboxes keep their state and values.
    m_gvx->SetDWORD("GVXMode", 3);
    v->viewRefreshGVX();
    for (QRadioButton* radio : {v->buttonGVXLegacyMode, v->buttonGVXSmartMode, v->buttonGVXEOM})
        EXPECT_FALSE(radio->isChecked());
    EXPECT_FALSE(v->buttonGVXPreferKerberos->isEnabled());
    EXPECT_TRUE(v->buttonGVXPreferKerberos->isChecked());

    // Choosing writes at once; the store's change signal refreshes the tab.
    v->buttonGVXSmartMode->click();
    EXPECT_EQ(m_gvx->GetDWORD("GVXMode"), 1u);
    EXPECT_TRUE(v->buttonGVXPreferKerberos->isEnabled());
    v->buttonGVXServerSessionKeyMode->click();
    EXPECT_EQ(m_gvx->GetDWORD("ServerSessionKeyMode"), 1u);
    v->buttonGVXPreferKerberos->click();
    EXPECT_EQ(m_gvx->GetDWORD("GVXModeSmartTryKerberosFirst"), 0u);
    // An edit of the user file from outside reaches the tab.
    m_gvx->SetDWORD("GVXMode", 2);
    EXPECT_TRUE(PumpUntil([v] { return v->buttonGVXEOM->isChecked(); }));
}

TEST_F(SettingsTest, SystemFileLocksModeAndSessionKeys)
{
    WriteSystemPlist("{'Common': {'GVX': {'GVXMode': 1, 'ServerSessionKeyMode': 1}}}");
    m_view->viewDidLoadGVX();
    ASSERT_TRUE(PumpUntil([this] { return !m_view->buttonGVXLegacyMode->isEnabled(); }));
    EXPECT_TRUE(m_view->buttonGVXSmartMode->isChecked());
    EXPECT_FALSE(m_view->buttonGVXEOM->isEnabled());
    EXPECT_FALSE(m_view->buttonGVXServerSessionKeyMode->isEnabled());
    EXPECT_TRUE(m_view->buttonGVXServerSessionKeyMode->isChecked());
    EXPECT_EQ(m_gvx->SetDWORD("GVXMode", 2), E_ACCESSDENIED);
    // Choosing a mode enables the checkbox until the next refresh.
    m_view->onGVXMode();
    EXPECT_TRUE(m_view->buttonGVXServerSessionKeyMode->isEnabled());
    m_view->viewRefreshGVX();
    EXPECT_FALSE(m_view->buttonGVXServerSessionKeyMode->isEnabled());
    std::filesystem::remove(TestHome() + "/system/kestrin/settings.plist");
    m_view->viewDidLoadGVX();
}

// The list of groups as downloaded, with and without a stored group.
TEST_F(SettingsTest, GroupDownloadCases)
{
    SettingsWindowController::get()->show();
    ASSERT_NE(s_cfg, nullptr);
    FakeCfgPolicy* cfg = s_cfg;
    EXPECT_EQ(cfg->registrations, 1);
    const std::string ab = FakeCfgPolicy::Names({"alpha", "beta"});
    const struct {
        std::optional<std::string> reply;
        std::optional<std::string> stored;
        QStringList shown;
        QString chosen;
        bool error;
    } table[] = {
        {ab, std::nullopt, {"alpha", "beta"}, "alpha", false}, {ab, "beta", {"alpha", "beta"}, "beta", false},
        {ab, "gamma", {"alpha", "beta"}, "alpha", false},      {std::nullopt, "beta", {"beta"}, "beta", true},
        {std::nullopt, std::nullopt, {}, QString(), true},     {std::string(1, '\0'), "beta", {}, QString(), false},
    };
    for (const auto& row : table) {
        SCOPED_TRACE(row.chosen.toStdString());
        cfg->reply = row.reply;
        cfg->group = row.stored;
        cfg->names.reset();
        cfg->applied.clear();
        m_view->textfieldPolicyHost->setText(QStringLiteral("https://policy.example:8443"));
        m_view->buttonPolicyRefresh->click();
        EXPECT_EQ(cfg->host, "https://policy.example:8443");
        QStringList shown;
        for (int i = 0; i < m_view->comboboxPolicyGroup->count(); ++i)
            shown << m_view->comboboxPolicyGroup->itemText(i);
        EXPECT_EQ(shown, row.shown);
        EXPECT_EQ(m_view->comboboxPolicyGroup->currentText(), row.chosen);
        if (!row.chosen.isEmpty()) {
            ASSERT_FALSE(cfg->applied.empty());
            EXPECT_EQ(cfg->applied.back(), row.chosen.toStdString());
        }
        const QString status = m_view->textfieldStatus->text();
        if (row.error) {
            EXPECT_TRUE(status.contains(QStringLiteral("Not Found"))) << status.toStdString();
            EXPECT_TRUE(status.contains(QStringLiteral("404"))) << status.toStdString();
        } else {
            EXPECT_EQ(status, ZELKGLUE_GetText("USER_POLICY_DOWNLOAD_SUCCESS"));
        }
    }
    // Clear empties host and list and keeps the status.
    const QString status = m_view->textfieldStatus->text();
    m_view->buttonPolicyReset->click();
    EXPECT_EQ(cfg->clears, 1);
    EXPECT_FALSE(cfg->host.has_value());
    EXPECT_FALSE(cfg->group.has_value());
    EXPECT_TRUE(m_view->textfieldPolicyHost->text().isEmpty());
    EXPECT_EQ(m_view->comboboxPolicyGroup->count(), 0);
    EXPECT_EQ(m_view->textfieldStatus->text(), status);
    // A model change refreshes the tab through the posted signal; a locked
    // host disables the field and the clear button.
    cfg->host = "https://other.example";
    cfg->hostChangeable = false;
    cfg->callback->RefreshCB(0);
    EXPECT_TRUE(PumpUntil([this] { return !m_view->textfieldPolicyHost->isEnabled(); }));
    EXPECT_EQ(m_view->textfieldPolicyHost->text(), QStringLiteral("https://other.example"));
    EXPECT_FALSE(m_view->buttonPolicyReset->isEnabled());
    cfg->hostChangeable = true;
    // Showing again drops unapplied edits and registers no second signal.
    SettingsWindowController::get()->hide();
    const int cancels = cfg->cancels;
    SettingsWindowController::get()->show();
    EXPECT_EQ(cfg->cancels, cancels + 1);
    EXPECT_EQ(cfg->registrations, 1);
}

TEST(DownloadStatus, FormatOnlyWithOneStringThenOneNumber)
{
    const struct {
        const char* format;
        const char* shown;
    } table[] = {
        {"Failed: %s (%u)", "Failed: Not Found (404)"},   {"100%% failed: %s, %u", "100% failed: Not Found, 404"},
        {"Failed %u %s", "Failed %u %s Not Found (404)"}, {"Failed %s %s %n", "Failed %s %s %n Not Found (404)"},
        {"Failed %d", "Failed %d Not Found (404)"},       {"Failed", "Failed Not Found (404)"},
        {"Failed %", "Failed % Not Found (404)"},         {"%s%u%s", "%s%u%s Not Found (404)"},
    };
    for (const auto& row : table)
        EXPECT_EQ(DownloadErrorText(QString::fromUtf8(row.format), QStringLiteral("Not Found"), 404),
                  QString::fromUtf8(row.shown))
            << row.format;
}

TEST_F(SettingsTest, TracingWritesTheFileAndLevelAndDeletesOnlyTraceFiles)
{
    const std::string file = QevTraceConfigFile();
    m_view->buttonTraceEnable->setChecked(false);
    m_view->buttonTraceEnable->click();
    ASSERT_TRUE(m_view->buttonTraceEnable->isChecked());
    const std::string first = Read(file);
    EXPECT_EQ(m_trace->GetDWORD("Level"), 4u);
    const std::string state = std::getenv("XDG_STATE_HOME");
    std::string expected = "[trace]\nLevel = 5\nRotateFileSize = 10000000\nRotateFileNumber = 5\nDirectory = " + state
                           + "/kestrin/trace\n";
    EXPECT_EQ(first, expected);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // Twice on: the same bytes.
    m_view->onTraceEnable();
    EXPECT_EQ(Read(file), first);
    m_view->buttonTraceEnable->click();
    EXPECT_EQ(m_trace->GetDWORD("Level"), 0u);
    EXPECT_FALSE(std::filesystem::exists(file));
    // Off without a file: only the level.
    m_view->onTraceEnable();
    EXPECT_FALSE(std::filesystem::exists(file));

    // Delete: regular files and links named "*.trc" go, nothing else.
    ASSERT_TRUE(MakeTraceFolder());
    const std::filesystem::path folder = QevTraceFolder();
    const std::filesystem::path outside = TestHome() + "/kept.trc";
    std::ofstream(outside) << "target";
    std::ofstream(folder / "x.trc") << "trace";
    std::ofstream(folder / "notes.txt") << "kept";
    std::filesystem::create_directory(folder / "a.trc");
    std::ofstream(folder / "a.trc" / "inner.trc") << "kept";
    std::filesystem::create_symlink(outside, folder / "b.trc");
    m_view->buttonTraceDelete->click();
    EXPECT_FALSE(std::filesystem::exists(folder / "x.trc"));
    EXPECT_FALSE(std::filesystem::is_symlink(folder / "b.trc"));
    EXPECT_TRUE(std::filesystem::exists(outside));
    EXPECT_TRUE(std::filesystem::exists(folder / "notes.txt"));
    EXPECT_TRUE(std::filesystem::exists(folder / "a.trc" / "inner.trc"));
}

// Catches the URLs the desktop would open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.push_back(url); }
};

// With the crypto library of the process: tracing switched on (the level the
// application's trace callback gives it) writes a line into the trace
// folder's file, the viewer gets the folder, and Delete removes the file.
TEST_F(SettingsTest, TraceReachesTheLibraryAndItsFileGoesOnDelete)
{
    void* library = nullptr;
    ASSERT_EQ(ZELK_LoadLibrary("qevcrypto", &library), S_OK);
    auto setLevel =
        reinterpret_cast<QEV_SET_TRACE_LEVEL_FN>(ZELK_GetProcAddress(library, "Qevcryptolib_SetTraceLevel"));
    ASSERT_NE(setLevel, nullptr);
    m_view->buttonTraceEnable->setChecked(true);
    m_view->onTraceEnable();
    setLevel(m_trace->GetDWORD("Level") != 0 ? 5 : 0);
    SECTRACE_WriteLn("zelk", 5, "traced from the preferences test");
    const std::string trace = QevTraceFolder() + "/qevcrypto.trc";
    EXPECT_NE(Read(trace).find("traced from the preferences test"), std::string::npos);

    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    m_view->buttonTraceOpen->click();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    ASSERT_EQ(catcher.urls.size(), 1);
    EXPECT_EQ(catcher.urls[0], QUrl::fromLocalFile(QString::fromStdString(QevTraceFolder())));

    m_view->buttonTraceEnable->click();
    setLevel(0);
    m_view->buttonTraceDelete->click();
    EXPECT_FALSE(std::filesystem::exists(trace));
}

// Line 5 names the folder with "%HOME%" for the home prefix only.
TEST(TraceConfig, HomePrefixBecomesTheToken)
{
    const char* home = "/home/a b/$(rm -rf x)/'q\"";
    const std::string folder = std::string(home) + "/.local/state/kestrin/trace";
    EXPECT_NE(TraceConfigText(folder, home).find("\nDirectory = %HOME%/.local/state/kestrin/trace\n"),
              std::string::npos);
    EXPECT_NE(TraceConfigText("/var/x", home).find("\nDirectory = /var/x\n"), std::string::npos);
    EXPECT_NE(TraceConfigText("/home/a bc/t", "/home/a b").find("\nDirectory = /home/a bc/t\n"), std::string::npos);
}

}  // namespace
}  // namespace kestrin::app::test

#include "settings_test.moc"
