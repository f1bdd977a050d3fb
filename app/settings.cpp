#include "settings.h"

#include <QApplication>
#include <QButtonGroup>
#include <QDesktopServices>
#include <QGridLayout>
#include <QUrl>
#include <QVBoxLayout>
#include <cstring>

#include "downloadstatus.h"
#include "glue.h"
#include "qev_trace_config.h"
#include "tracefiles.h"
#include "zelk_class.h"
#include "zelk_policy_client.h"
#include "zelk_trace.h"

namespace kestrin::app {
namespace {

using ZELK::PSESVC::CFGPOLICY_GROUP;
using ZELK::PSESVC::CFGPOLICY_GROUP_NAMES;
using ZELK::PSESVC::CFGPOLICY_GROUPS;
using ZELK::PSESVC::CFGPOLICY_HOST;
using ZELK::PSESVC::CFGPOLICY_STATUS;

QLabel* Description(QWidget* parent, const char* name)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

template <class T>
T* Named(QWidget* parent, const char* name)
{
    auto* widget = new T(parent);
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QString Utf8(const char* text)
{
    return text ? QString::fromUtf8(text) : QString();
}

}  // namespace

SettingsViewController::SettingsViewController()
{
    setObjectName(QStringLiteral("settingsWindow"));
    tabs = Named<QTabWidget>(this, "tabs");
    tabs->addTab(gvxTab(), QString());
    tabs->addTab(policyTab(), QString());
    tabs->addTab(traceTab(), QString());
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs);
    setMinimumSize(480, 400);
    viewDidLoadGVX();
    viewDidLoadTrace();
}

SettingsViewController::~SettingsViewController()
{
    if (m_pPolGVX)
        m_pPolGVX->RegisterCallback(nullptr);
    if (m_pCfgPolicy && m_policyRegistered)
        m_pCfgPolicy->UnRegisterCallback(m_signalPolicy.get(), 0);
}

QWidget* SettingsViewController::gvxTab()
{
    gvxTableViewItem = Named<QWidget>(nullptr, "gvxTableViewItem");
    buttonGVXLegacyMode = Named<QRadioButton>(gvxTableViewItem, "buttonGVXLegacyMode");
    labelGVXLegacyMode = Description(gvxTableViewItem, "labelGVXLegacyMode");
    buttonGVXSmartMode = Named<QRadioButton>(gvxTableViewItem, "buttonGVXSmartMode");
    labelGVXSmartMode = Description(gvxTableViewItem, "labelGVXSmartMode");
    buttonGVXEOM = Named<QRadioButton>(gvxTableViewItem, "buttonGVXEOM");
    labelGVXEOM = Description(gvxTableViewItem, "labelGVXEOM");
    buttonGVXPreferKerberos = Named<QCheckBox>(gvxTableViewItem, "buttonGVXPreferKerberos");
    buttonGVXServerSessionKeyMode = Named<QCheckBox>(gvxTableViewItem, "buttonGVXServerSessionKeyMode");
    labelGVXServerSessionKeyMode = Description(gvxTableViewItem, "labelGVXServerSessionKeyMode");
    auto* modes = new QButtonGroup(gvxTableViewItem);
    for (QRadioButton* radio : {buttonGVXLegacyMode, buttonGVXSmartMode, buttonGVXEOM}) {
        modes->addButton(radio);
        connect(radio, &QRadioButton::clicked, this, [this] { onGVXMode(); });
    }
    connect(buttonGVXPreferKerberos, &QCheckBox::clicked, this, [this] { onPreferKerberos(); });
    connect(buttonGVXServerSessionKeyMode, &QCheckBox::clicked, this, [this] { onServerSessionKeyMode(); });
    auto* layout = new QVBoxLayout(gvxTableViewItem);
    layout->addWidget(buttonGVXLegacyMode);
    layout->addWidget(labelGVXLegacyMode);
    layout->addWidget(buttonGVXSmartMode);
    layout->addWidget(labelGVXSmartMode);
    layout->addWidget(buttonGVXPreferKerberos);
    layout->addWidget(buttonGVXEOM);
    layout->addWidget(labelGVXEOM);
    layout->addSpacing(12);
    layout->addWidget(buttonGVXServerSessionKeyMode);
    layout->addWidget(labelGVXServerSessionKeyMode);
    layout->addStretch(1);
    return gvxTableViewItem;
}

QWidget* SettingsViewController::policyTab()
{
    policyTableViewItem = Named<QWidget>(nullptr, "policyTableViewItem");
    labelPolicyHost = Description(policyTableViewItem, "labelPolicyHost");
    textfieldPolicyHost = Named<QLineEdit>(policyTableViewItem, "textfieldPolicyHost");
    labelPolicyGroup = Description(policyTableViewItem, "labelPolicyGroup");
    comboboxPolicyGroup = Named<QComboBox>(policyTableViewItem, "comboboxPolicyGroup");
    comboboxPolicyGroup->setEditable(true);
    comboboxPolicyGroup->setInsertPolicy(QComboBox::NoInsert);
    buttonPolicyReset = Named<QPushButton>(policyTableViewItem, "buttonPolicyReset");
    buttonPolicyRefresh = Named<QPushButton>(policyTableViewItem, "buttonPolicyRefresh");
    textfieldStatus = Description(policyTableViewItem, "textfieldStatus");
    connect(textfieldPolicyHost, &QLineEdit::returnPressed, this, [this] { onPolicyHost(); });
    connect(comboboxPolicyGroup, &QComboBox::activated, this, [this] { onPolicyGroup(); });
    connect(buttonPolicyReset, &QPushButton::clicked, this, [this] { onPolicyReset(); });
    connect(buttonPolicyRefresh, &QPushButton::clicked, this, [this] { onPolicyRefresh(); });
    auto* layout = new QGridLayout(policyTableViewItem);
    layout->addWidget(labelPolicyHost, 0, 0);
    layout->addWidget(textfieldPolicyHost, 0, 1, 1, 2);
    layout->addWidget(labelPolicyGroup, 1, 0);
    layout->addWidget(comboboxPolicyGroup, 1, 1, 1, 2);
    layout->addWidget(buttonPolicyReset, 2, 1);
    layout->addWidget(buttonPolicyRefresh, 2, 2);
    layout->addWidget(textfieldStatus, 3, 0, 1, 3);
    layout->setRowStretch(4, 1);
    layout->setColumnStretch(1, 1);
    return policyTableViewItem;
}

QWidget* SettingsViewController::traceTab()
{
    traceTableViewItem = Named<QWidget>(nullptr, "traceTableViewItem");
    buttonTraceEnable = Named<QCheckBox>(traceTableViewItem, "buttonTraceEnable");
    buttonTraceDelete = Named<QPushButton>(traceTableViewItem, "buttonTraceDelete");
    buttonTraceOpen = Named<QPushButton>(traceTableViewItem, "buttonTraceOpen");
    labelTrace = Description(traceTableViewItem, "labelTrace");
    connect(buttonTraceEnable, &QCheckBox::clicked, this, [this] { onTraceEnable(); });
    connect(buttonTraceDelete, &QPushButton::clicked, this, [this] { onTraceDelete(); });
    connect(buttonTraceOpen, &QPushButton::clicked, this, [this] { onTraceOpen(); });
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(buttonTraceOpen);
    buttons->addWidget(buttonTraceDelete);
    buttons->addStretch(1);
    auto* layout = new QVBoxLayout(traceTableViewItem);
    layout->addWidget(buttonTraceEnable);
    layout->addLayout(buttons);
    layout->addWidget(labelTrace);
    layout->addStretch(1);
    return traceTableViewItem;
}

void SettingsViewController::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    setWindowTitle(ZELKGLUE_GetText("DLG_OPTIONS_PREFERENCES"));
    viewDidLoadPolicy();
}

void SettingsViewController::viewDidLoadGVX()
{
    tabs->setTabText(tabs->indexOf(gvxTableViewItem), ZELKGLUE_GetText("TAB_GVX_CAPTION"));
    buttonGVXLegacyMode->setText(ZELKGLUE_GetText("TAB_GVX_LEGACY_COMPAT_MODE"));
    labelGVXLegacyMode->setText(ZELKGLUE_GetText("TAB_GVX_LEGACY_COMPAT_MODE_DESC"));
    buttonGVXSmartMode->setText(ZELKGLUE_GetText("TAB_GVX_SMART_MODE"));
    labelGVXSmartMode->setText(ZELKGLUE_GetText("TAB_GVX_SMART_MODE_DESC"));
    buttonGVXEOM->setText(ZELKGLUE_GetText("TAB_GVX_EOM_MODE"));
    labelGVXEOM->setText(ZELKGLUE_GetText("TAB_GVX_EOM_MODE_DESC"));
    buttonGVXPreferKerberos->setText(ZELKGLUE_GetText("TAB_GVX_SMART_MODE_KERB_FIRST"));
    buttonGVXServerSessionKeyMode->setText(ZELKGLUE_GetText("TAB_GVX_SSK_MODE"));
    labelGVXServerSessionKeyMode->setText(ZELKGLUE_GetText("TAB_GVX_SSK_MODE_DESC"));
    if (m_pPolGVX)
        m_pPolGVX->RegisterCallback(nullptr);
    m_pPolGVX = nullptr;
    ZELK_PolOpen("Common/GVX", &m_pPolGVX);
    if (!m_signalGVX)
        m_signalGVX = std::make_unique<OBJC_Signal>(this, [this] { viewRefreshGVX(); });
    if (m_pPolGVX)
        m_pPolGVX->RegisterCallback(m_signalGVX.get());
    viewRefreshGVX();
}

void SettingsViewController::viewRefreshGVX()
{
    if (!m_pPolGVX) {
        gvxTableViewItem->setEnabled(false);
        return;
    }
    const bool kerberosChangeable = m_pPolGVX->IsChangeable("GVXModeSmartTryKerberosFirst");
    const bool sessionKeyChangeable = m_pPolGVX->IsChangeable("ServerSessionKeyMode");
    switch (m_pPolGVX->GetDWORD("GVXMode")) {
    case 0:
        buttonGVXLegacyMode->setChecked(true);
        buttonGVXPreferKerberos->setEnabled(false);
        buttonGVXServerSessionKeyMode->setEnabled(sessionKeyChangeable);
        break;
    case 1:
        buttonGVXSmartMode->setChecked(true);
        buttonGVXPreferKerberos->setEnabled(kerberosChangeable);
        buttonGVXServerSessionKeyMode->setEnabled(sessionKeyChangeable);
        break;
    case 2:
        buttonGVXEOM->setChecked(true);
        buttonGVXPreferKerberos->setEnabled(false);
        buttonGVXServerSessionKeyMode->setEnabled(false);
        break;
    default: {
        // No mode of ours: every radio off.
        QButtonGroup* group = buttonGVXLegacyMode->group();
        group->setExclusive(false);
        for (QAbstractButton* radio : group->buttons())
            radio->setChecked(false);
        group->setExclusive(true);
        break;
    }
    }
    buttonGVXPreferKerberos->setChecked(m_pPolGVX->GetDWORD("GVXModeSmartTryKerberosFirst") != 0);
    buttonGVXServerSessionKeyMode->setChecked(m_pPolGVX->GetDWORD("ServerSessionKeyMode") != 0);
    if (!m_pPolGVX->IsChangeable("GVXMode"))
        for (QRadioButton* radio : {buttonGVXLegacyMode, buttonGVXSmartMode, buttonGVXEOM})
            radio->setEnabled(false);
}

void SettingsViewController::onGVXMode()
{
    if (!m_pPolGVX)
        return;
    if (buttonGVXLegacyMode->isChecked()) {
        m_pPolGVX->SetDWORD("GVXMode", 0);
        buttonGVXPreferKerberos->setEnabled(false);
        buttonGVXServerSessionKeyMode->setEnabled(true);
    } else if (buttonGVXSmartMode->isChecked()) {
        m_pPolGVX->SetDWORD("GVXMode", 1);
        buttonGVXPreferKerberos->setEnabled(true);
        buttonGVXServerSessionKeyMode->setEnabled(true);
    } else if (buttonGVXEOM->isChecked()) {
        m_pPolGVX->SetDWORD("GVXMode", 2);
        buttonGVXPreferKerberos->setEnabled(false);
        buttonGVXServerSessionKeyMode->setEnabled(false);
    }
}

void SettingsViewController::onPreferKerberos()
{
    if (m_pPolGVX)
        m_pPolGVX->SetDWORD("GVXModeSmartTryKerberosFirst", buttonGVXPreferKerberos->isChecked() ? 1 : 0);
}

void SettingsViewController::onServerSessionKeyMode()
{
    if (m_pPolGVX)
        m_pPolGVX->SetDWORD("ServerSessionKeyMode", buttonGVXServerSessionKeyMode->isChecked() ? 1 : 0);
}

void SettingsViewController::viewDidLoadPolicy()
{
    tabs->setTabText(tabs->indexOf(policyTableViewItem), ZELKGLUE_GetText("TAB_GROUP_CAPTION"));
    labelPolicyHost->setText(ZELKGLUE_GetText("TAB_GROUP_HOST"));
    labelPolicyGroup->setText(ZELKGLUE_GetText("TAB_GROUP_GROUP"));
    buttonPolicyReset->setText(ZELKGLUE_GetText("TAB_GROUP_CLEAR"));
    buttonPolicyRefresh->setText(ZELKGLUE_GetText("TAB_GROUP_REFRESH"));
    if (!m_pCfgPolicy)
        ZELK_CreateObject("zelk", "zelk.cfg.policy", IID_IGUIModelCfgPolicy, reinterpret_cast<void**>(&m_pCfgPolicy));
    policyTableViewItem->setEnabled(m_pCfgPolicy != nullptr);
    if (!m_pCfgPolicy)
        return;
    m_pCfgPolicy->Cancel();
    if (!m_policyRegistered) {
        m_signalPolicy = std::make_unique<OBJC_Signal>(this, [this] { viewRefreshPolicy(); });
        m_policyRegistered = SUCCEEDED(m_pCfgPolicy->RegisterCallback(m_signalPolicy.get(), 0));
    }
    viewRefreshPolicy();
    setStatus(QString(), false);
}

void SettingsViewController::viewRefreshPolicy()
{
    if (!m_pCfgPolicy)
        return;
    textfieldPolicyHost->setText(Utf8(m_pCfgPolicy->GetString(CFGPOLICY_HOST)));
    const bool hostChangeable = m_pCfgPolicy->IsChangeable(CFGPOLICY_HOST);
    textfieldPolicyHost->setEnabled(hostChangeable);
    buttonPolicyReset->setEnabled(hostChangeable);
    comboboxPolicyGroup->setEnabled(m_pCfgPolicy->IsChangeable(CFGPOLICY_GROUP));
    viewRefreshPolicyGroups();
}

void SettingsViewController::viewRefreshPolicyGroups()
{
    comboboxPolicyGroup->clear();
    if (!m_pCfgPolicy)
        return;
    const char* names = m_pCfgPolicy->GetString(CFGPOLICY_GROUP_NAMES);
    const char* current = m_pCfgPolicy->GetString(CFGPOLICY_GROUP);
    if (names) {
        int chosen = -1;
        for (const char* name = names; *name; name += std::strlen(name) + 1) {
            comboboxPolicyGroup->addItem(QString::fromUtf8(name));
            if (chosen < 0 || (current && std::strcmp(name, current) == 0))
                chosen = comboboxPolicyGroup->count() - 1;
        }
        if (chosen >= 0)
            comboboxPolicyGroup->setCurrentIndex(chosen);
        return;
    }
    if (current) {
        comboboxPolicyGroup->addItem(QString::fromUtf8(current));
        comboboxPolicyGroup->setCurrentIndex(0);
    }
}

void SettingsViewController::setStatus(const QString& text, bool error)
{
    textfieldStatus->setStyleSheet(error ? QStringLiteral("color: red") : QStringLiteral("color: black"));
    textfieldStatus->setText(text);
}

void SettingsViewController::onPolicyHost()
{
    if (!m_pCfgPolicy)
        return;
    m_pCfgPolicy->SetString(CFGPOLICY_HOST, textfieldPolicyHost->text().toUtf8().constData());
    m_pCfgPolicy->Apply();
}

void SettingsViewController::onPolicyRefresh()
{
    if (!m_pCfgPolicy)
        return;
    m_pCfgPolicy->SetString(CFGPOLICY_HOST, textfieldPolicyHost->text().toUtf8().constData());
    // The download holds the GUI thread for at most the model's time-out.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const char* groups = m_pCfgPolicy->GetString(CFGPOLICY_GROUPS);
    QApplication::restoreOverrideCursor();
    if (groups) {
        setStatus(ZELKGLUE_GetText("USER_POLICY_DOWNLOAD_SUCCESS"), false);
        m_pCfgPolicy->Apply();
    } else {
        setStatus(DownloadErrorText(ZELKGLUE_GetText("USER_POLICY_DOWNLOAD_ERROR"),
                                    Utf8(m_pCfgPolicy->GetString(CFGPOLICY_STATUS)),
                                    m_pCfgPolicy->GetDWORD(CFGPOLICY_STATUS)),
                  true);
    }
    viewRefreshPolicyGroups();
    onPolicyGroup();
}

void SettingsViewController::onPolicyReset()
{
    if (!m_pCfgPolicy)
        return;
    m_pCfgPolicy->SetString(CFGPOLICY_HOST, nullptr);
    m_pCfgPolicy->SetString(CFGPOLICY_GROUP, nullptr);
    m_pCfgPolicy->Clear();
    m_pCfgPolicy->Apply();
    textfieldPolicyHost->clear();
    comboboxPolicyGroup->clear();
    comboboxPolicyGroup->clearEditText();
}

void SettingsViewController::onPolicyGroup()
{
    const int index = comboboxPolicyGroup->currentIndex();
    if (!m_pCfgPolicy || index < 0 || comboboxPolicyGroup->itemText(index) != comboboxPolicyGroup->currentText())
        return;
    m_pCfgPolicy->SetString(CFGPOLICY_GROUP, comboboxPolicyGroup->itemText(index).toUtf8().constData());
    m_pCfgPolicy->Apply();
}

void SettingsViewController::viewDidLoadTrace()
{
    tabs->setTabText(tabs->indexOf(traceTableViewItem), ZELKGLUE_GetText("TAB_GROUP_TRACE_CAPTION"));
    buttonTraceEnable->setText(ZELKGLUE_GetText("TAB_GROUP_TRACE_ENABLE"));
    buttonTraceDelete->setText(ZELKGLUE_GetText("TAB_GROUP_TRACE_DELETE"));
    buttonTraceOpen->setText(ZELKGLUE_GetText("TAB_GROUP_TRACE_VIEWER"));
    labelTrace->setText(ZELKGLUE_GetText("TAB_GROUP_TRACE_VIEWER_DESC"));
    m_pPolTrace = nullptr;
    ZELK_PolOpen("trace", &m_pPolTrace);
    buttonTraceEnable->setChecked(m_pPolTrace && m_pPolTrace->GetDWORD("Level") != 0);
}

void SettingsViewController::onTraceEnable()
{
    // The file first: the library reads it when the level change arrives.
    // The folder too, or the library's lines have nowhere to go.
    if (buttonTraceEnable->isChecked()) {
        MakeTraceFolder();
        WriteTraceConfig();
        if (m_pPolTrace)
            m_pPolTrace->SetDWORD("Level", 4);
        return;
    }
    if (m_pPolTrace)
        m_pPolTrace->SetDWORD("Level", 0);
    RemoveTraceConfig();
}

void SettingsViewController::onTraceOpen()
{
    const bool made = MakeTraceFolder();
    const QString folder = QString::fromStdString(QevTraceFolder());
    const bool opened = made && QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    SECTRACE_FormatLn(nullptr, opened ? 3 : 1, "KestrinClient: trace folder %s %s", folder.toUtf8().constData(),
                      opened ? "opened" : "could not be opened");
}

void SettingsViewController::onTraceDelete()
{
    SECTRACE_FormatLn(nullptr, 3, "KestrinClient: %d trace files deleted", DeleteTraceFiles());
}

}  // namespace kestrin::app
