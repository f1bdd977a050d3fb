// The preferences' policy tab over the service's own settings model
// "zelk.cfg.policy" against a policy server of Python's http.server over TLS,
// whose self-signed certificate (made by openssl req) the user's key store
// trusts: a group list, an HTTP error and a body that is no JSON.
#include <gtest/gtest.h>

#include <QTest>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app_test.h"
#include "downloadstatus.h"
#include "glue.h"
#include "keystore.h"
#include "settings.h"
#include "test_process.h"
#include "windows.h"
#include "zelk_class.h"
#include "zelk_gui_model.h"

namespace kestrin::app::test {
namespace {

using kestrin::testsupport::ChildProcess;
using kestrin::testsupport::RunProgram;
using kestrin::testsupport::TempFolder;
using ZELK::PSESVC::IGUIModelCfgPolicy;

constexpr unsigned int kServerError = 0xA2500202;

// The port of each kind the server printed ("ok=P error=P notjson=P").
int Port(const std::string& line, const std::string& kind)
{
    std::istringstream in(line);
    for (std::string word; in >> word;)
        if (word.rfind(kind + "=", 0) == 0)
            return std::stoi(word.substr(kind.size() + 1));
    return -1;
}

bool TrustCertificate(const std::string& pem, const std::string& der)
{
    if (RunProgram({"openssl", "x509", "-in", pem, "-outform", "DER", "-out", der}, {}) != 0)
        return false;
    std::ifstream in(der, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::unique_ptr<kestrin::keystore::KeyStore> store;
    return kestrin::keystore::KeyStore::Open({}, &store) == S_OK
           && store->SetTrustSetting(kestrin::keystore::TrustDomain::User, bytes,
                                     kestrin::keystore::TrustSetting::Trusted)
                  == S_OK;
}

// "groups/user" of the user's preference file as plistlib reads it.
std::string Stored(const std::string& key)
{
    const std::string script =
        "import os, plistlib\n"
        "d = plistlib.load(open(os.environ['XDG_CONFIG_HOME'] + '/kestrin/settings.plist', 'rb'))\n"
        "print(d.get('groups', {}).get('user', {}).get('"
        + key + "', ''), end='')\n";
    std::string out;
    return RunProgram({"python3", "-c", script}, {}, &out) == 0 ? out : "(unreadable)";
}

QStringList Shown(const QComboBox* box)
{
    QStringList shown;
    for (int i = 0; i < box->count(); ++i)
        shown << box->itemText(i);
    return shown;
}

class PolicyTab : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_folder = new TempFolder("kestrinpolicy");
        const std::string d = s_folder->path();
        ASSERT_TRUE(kestrin::testsupport::MakeLocalhostIdentity(d));
        ASSERT_TRUE(TrustCertificate(d + "/cert.pem", d + "/cert.der"));
        s_server = new ChildProcess();
        ASSERT_TRUE(s_server->Start(
            {"python3", KESTRIN_APP_TESTS_DIR "/policy_server.py", d + "/cert.pem", d + "/key.pem"}, {}));
        ASSERT_TRUE(s_server->ReadLine(s_ports, 30));
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
        delete s_folder;
        s_folder = nullptr;
    }

    void SetUp() override
    {
        ASSERT_GT(Port(s_ports, "notjson"), 0) << s_ports;
        BeginGuiLoop();
        ZELKGLUE_SetHeadless(false);
        SettingsWindowController::get()->show();
        m_view = SettingsWindowController::get()->content();
        ASSERT_TRUE(m_view->policyTableViewItem->isEnabled());
        ASSERT_EQ(
            ZELK_CreateObject("zelk", "zelk.cfg.policy", IID_IGUIModelCfgPolicy, reinterpret_cast<void**>(&m_model)),
            S_OK);
    }
    void TearDown() override
    {
        SettingsWindowController::get()->hide();
        if (m_model)
            m_model->Release();
    }

    // Types the host and asks for the group list.
    void Refresh(const std::string& kind)
    {
        m_view->textfieldPolicyHost->setText(QStringLiteral("localhost:%1").arg(Port(s_ports, kind)));
        m_view->buttonPolicyRefresh->click();
    }
    QString ErrorText()
    {
        return DownloadErrorText(ZELKGLUE_GetText("USER_POLICY_DOWNLOAD_ERROR"),
                                 QString::fromUtf8(m_model->GetString(ZELK::PSESVC::CFGPOLICY_STATUS)),
                                 m_model->GetDWORD(ZELK::PSESVC::CFGPOLICY_STATUS));
    }

    static inline TempFolder* s_folder = nullptr;
    static inline ChildProcess* s_server = nullptr;
    static inline std::string s_ports;
    SettingsViewController* m_view = nullptr;
    IGUIModelCfgPolicy* m_model = nullptr;
};

TEST_F(PolicyTab, DownloadShowsTheGroupsAndEachFailureItsStatus)
{
    // A list: the groups in the server's order, the first chosen and applied
    // with its path; the host as the model rewrote it.
    Refresh("ok");
    EXPECT_EQ(Shown(m_view->comboboxPolicyGroup), (QStringList {"zeta", "alpha"}));
    EXPECT_EQ(m_view->comboboxPolicyGroup->currentText(), QStringLiteral("zeta"));
    EXPECT_EQ(m_view->textfieldStatus->text(), ZELKGLUE_GetText("USER_POLICY_DOWNLOAD_SUCCESS"));
    const std::string host = "https://localhost:" + std::to_string(Port(s_ports, "ok"));
    EXPECT_TRUE(PumpUntil([&] { return m_view->textfieldPolicyHost->text().toStdString() == host; }));
    EXPECT_EQ(Stored("PolicyHost"), host);
    EXPECT_EQ(Stored("PolicyName"), "zeta");
    EXPECT_EQ(Stored("PolicyPath"), "/groups/zeta.xml");
    // Choosing another group applies it.
    m_view->comboboxPolicyGroup->setCurrentIndex(1);
    m_view->onPolicyGroup();
    EXPECT_EQ(Stored("PolicyName"), "alpha");
    EXPECT_EQ(Stored("PolicyPath"), "/groups/alpha.xml");

    // An HTTP error: the server's status line and the server-error code.
    Refresh("error");
    EXPECT_STREQ(m_model->GetString(ZELK::PSESVC::CFGPOLICY_STATUS), "404 Not Found");
    EXPECT_EQ(m_model->GetDWORD(ZELK::PSESVC::CFGPOLICY_STATUS), kServerError);
    EXPECT_EQ(m_view->textfieldStatus->text(), ErrorText());
    EXPECT_TRUE(m_view->textfieldStatus->text().contains(QStringLiteral("404 Not Found (%1)").arg(kServerError)))
        << m_view->textfieldStatus->text().toStdString();

    // A body that is no JSON: the server-error text of the model, not success.
    Refresh("notjson");
    EXPECT_EQ(m_model->GetDWORD(ZELK::PSESVC::CFGPOLICY_STATUS), kServerError);
    const QString status = m_view->textfieldStatus->text();
    EXPECT_EQ(status, ErrorText());
    EXPECT_NE(status, ZELKGLUE_GetText("USER_POLICY_DOWNLOAD_SUCCESS"));
    EXPECT_FALSE(status.contains(QStringLiteral("404"))) << status.toStdString();
    EXPECT_FALSE(QString::fromUtf8(m_model->GetString(ZELK::PSESVC::CFGPOLICY_STATUS)).isEmpty());
}

}  // namespace
}  // namespace kestrin::app::test
