// The preferences window's content: three tabs that write their settings
// as they are used. Connection mode: "GVXMode", "GVXModeSmartTryKerberosFirst"
// and "ServerSessionKeyMode" of "Common/GVX". Policy server: host and group
// through the settings model "zelk.cfg.policy", which also downloads the
// group list. Trace: "Level" of "trace" and the crypto library's trace file.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QWidget>
#include <memory>

#include "objc_signal.h"
#include "zelk_gui_model.h"
#include "zelk_policy.h"
#include "zelk_ptr.h"

namespace kestrin::app {

class SettingsViewController : public QWidget {
public:
    SettingsViewController();
    // Unregisters both signals.
    ~SettingsViewController() override;

    void viewDidLoadGVX();
    void viewDidLoadPolicy();
    void viewDidLoadTrace();
    void viewRefreshGVX();
    void viewRefreshPolicy();
    void viewRefreshPolicyGroups();

    void onGVXMode();
    void onPreferKerberos();
    void onServerSessionKeyMode();
    void onPolicyHost();
    void onPolicyRefresh();
    void onPolicyReset();
    void onPolicyGroup();
    void onTraceEnable();
    void onTraceOpen();
    void onTraceDelete();

    QTabWidget* tabs;
    QWidget* gvxTableViewItem;
    QRadioButton* buttonGVXLegacyMode;
    QLabel* labelGVXLegacyMode;
    QRadioButton* buttonGVXSmartMode;
    QLabel* labelGVXSmartMode;
    QRadioButton* buttonGVXEOM;
    QLabel* labelGVXEOM;
    QCheckBox* buttonGVXPreferKerberos;
    QCheckBox* buttonGVXServerSessionKeyMode;
    QLabel* labelGVXServerSessionKeyMode;
    QWidget* policyTableViewItem;
    QLabel* labelPolicyHost;
    QLineEdit* textfieldPolicyHost;
    QLabel* labelPolicyGroup;
    QComboBox* comboboxPolicyGroup;
    QPushButton* buttonPolicyReset;
    QPushButton* buttonPolicyRefresh;
    QLabel* textfieldStatus;
    QWidget* traceTableViewItem;
    QCheckBox* buttonTraceEnable;
    QPushButton* buttonTraceOpen;
    QPushButton* buttonTraceDelete;
    QLabel* labelTrace;

protected:
    void showEvent(QShowEvent* event) override;

private:
    using PolicyPtr = CComPtr<CComIID<ZELK_IPolicy, &IID_ZELK_IPolicy>>;
    using CfgPolicyPtr = CComPtr<CComIID<ZELK::PSESVC::IGUIModelCfgPolicy, &IID_IGUIModelCfgPolicy>>;

    QWidget* gvxTab();
    QWidget* policyTab();
    QWidget* traceTab();
    void setStatus(const QString& text, bool error);

    PolicyPtr m_pPolGVX;
    std::unique_ptr<OBJC_Signal> m_signalGVX;
    CfgPolicyPtr m_pCfgPolicy;
    std::unique_ptr<OBJC_Signal> m_signalPolicy;
    bool m_policyRegistered = false;
    PolicyPtr m_pPolTrace;
};

}  // namespace kestrin::app
