#include "windows.h"

#include <QCloseEvent>
#include <QDir>
#include <QGuiApplication>
#include <QHeaderView>
#include <QMenuBar>
#include <QSettings>
#include <QVBoxLayout>
#include <cstdlib>

#include "credwindow.h"
#include "glue.h"
#include "queues.h"
#include "selection.h"
#include "settings.h"
#include "tableview.h"

namespace kestrin::app {
namespace {

// GUI thread only.
MainWindowController* s_main = nullptr;
AboutWindowController* s_about = nullptr;
SettingsWindowController* s_settings = nullptr;
SelectionWindowController* s_selection = nullptr;
CredentialWindowController* s_credential = nullptr;
bool s_mainMinimizes = false;

const char* const s_frameNames[] = {"Main", "Settings", "Credential", "Selection", "About"};

QSettings Frames()
{
    const char* home = std::getenv("XDG_CONFIG_HOME");
    QString folder = home && *home ? QString::fromLocal8Bit(home) : QDir::homePath() + QStringLiteral("/.config");
    folder += QStringLiteral("/kestrin");
    QDir().mkpath(folder);
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return QSettings(folder + QStringLiteral("/frames.ini"), QSettings::IniFormat);
}

QString FrameKey(const char* name)
{
    return QStringLiteral("Frames/") + QString::fromLatin1(name);
}

// The controller made on the GUI thread at the first call, from any thread.
template <class T, class Make>
T* Get(T*& kept, Make make)
{
    T* controller = nullptr;
    RunOnGui([&] {
        if (kept == nullptr && QCoreApplication::instance() && !GuiLoopEnded())
            kept = make();
        controller = kept;
    });
    return controller;
}

QWidget* Floating(QWidget* content)
{
    content->setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);
    return content;
}

}  // namespace

WindowController::WindowController(const char* autosaveName, QWidget* window) : m_name(autosaveName), m_window(window)
{
    QSettings settings = Frames();
    const QByteArray frame = settings.value(FrameKey(m_name)).toByteArray();
    if (!frame.isEmpty())
        m_window->restoreGeometry(frame);
}

WindowController::~WindowController()
{
    delete m_window;
}

void WindowController::show()
{
    if (m_window->isMinimized())
        m_window->showNormal();
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void WindowController::hide()
{
    m_window->hide();
}

void WindowController::saveFrame()
{
    QSettings settings = Frames();
    settings.setValue(FrameKey(m_name), m_window->saveGeometry());
}

MainViewController::MainViewController()
{
    setObjectName(QStringLiteral("mainWindow"));
    tableView = new TableView(this);
    tableView->setObjectName(QStringLiteral("tableView"));
    tableView->setMinimumSize(420, 200);
    tableView->setContainer("zelk.model.owncerts.and.kerberos.ex");
    tableView->setHeaderText(ZELKGLUE_GetText("MENU_VIEW_PROFILES"));
    tableView->horizontalHeader()->show();
    statusLabel = new QLabel(this);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    statusLabel->setTextFormat(Qt::PlainText);
    bar = new QProgressBar(this);
    bar->setObjectName(QStringLiteral("bar"));
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    bar->hide();
    auto* status = new QHBoxLayout;
    status->addWidget(statusLabel, 1);
    status->addWidget(bar);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tableView, 1);
    layout->addLayout(status);
}

void MainViewController::showEvent(QShowEvent* event)
{
    setWindowTitle(ZELKGLUE_GetText("MAIN_WINDOW_TITLE"));
    QWidget::showEvent(event);
}

void MainViewController::closeEvent(QCloseEvent* event)
{
    if (s_mainMinimizes) {
        event->ignore();
        showMinimized();
        return;
    }
    QWidget::closeEvent(event);
}

void MainViewController::updateStatus(const QString& text)
{
    PostToGui([this, text] {
        bar->setVisible(!text.isEmpty());
        statusLabel->setText(text);
    });
}

void MainViewController::logoutAll(bool async)
{
    tableView->onLogOutAll(async);
}

void MainViewController::setMenuActions(const QList<QAction*>& actions)
{
    auto* menuBar = new QMenuBar(this);
    menuBar->setObjectName(QStringLiteral("menuBar"));
    for (QAction* action : actions)
        menuBar->addAction(action);
    layout()->setMenuBar(menuBar);
}

MainWindowController::MainWindowController(MainViewController* content)
    : WindowController("Main", Floating(content)), m_content(content)
{}

MainWindowController* MainWindowController::get()
{
    return Get(s_main, [] { return new MainWindowController(new MainViewController); });
}

AboutWindowViewController::AboutWindowViewController()
{
    setObjectName(QStringLiteral("aboutWindow"));
    image = new QLabel(this);
    image->setObjectName(QStringLiteral("image"));
    image->setPixmap(ZELKGLUE_GetNamedImage("about.png").pixmap(96, 96));
    label = new QLabel(this);
    label->setObjectName(QStringLiteral("label"));
    label->setTextFormat(Qt::PlainText);
    label->setText(ZELKGLUE_GetText("DLG_ABOUT_VERSION").arg(3).arg(0).arg(2).arg(0));
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(image);
    layout->addWidget(label, 1);
}

void AboutWindowViewController::showEvent(QShowEvent* event)
{
    setWindowTitle(ZELKGLUE_GetText("DLG_ABOUT_TITLE"));
    QWidget::showEvent(event);
}

AboutWindowController::AboutWindowController() : WindowController("About", Floating(new AboutWindowViewController)) {}

AboutWindowController* AboutWindowController::get()
{
    return Get(s_about, [] { return new AboutWindowController; });
}

SettingsWindowController::SettingsWindowController(SettingsViewController* content)
    : WindowController("Settings", Floating(content)), m_content(content)
{}

SettingsWindowController* SettingsWindowController::get()
{
    return Get(s_settings, [] { return new SettingsWindowController(new SettingsViewController); });
}

SelectionWindowController::SelectionWindowController(SelectionViewController* content)
    : WindowController("Selection", Floating(content)), m_content(content)
{}

SelectionWindowController* SelectionWindowController::get()
{
    return Get(s_selection, [] { return new SelectionWindowController(new SelectionViewController); });
}

SelectionViewController* SelectionWindowController::getViewController()
{
    SelectionWindowController* controller = get();
    return controller ? controller->m_content : nullptr;
}

void SelectionWindowController::done()
{
    m_content->done();
}

CredentialWindowController::CredentialWindowController(CredentialViewController* content)
    : WindowController("Credential", Floating(content)), m_content(content)
{}

CredentialWindowController* CredentialWindowController::get()
{
    return Get(s_credential, [] { return new CredentialWindowController(new CredentialViewController); });
}

void CredentialWindowController::done()
{
    m_content->done();
}

void SaveFrames()
{
    MainWindowController::get()->saveFrame();
    SettingsWindowController::get()->saveFrame();
    AboutWindowController::get()->saveFrame();
    CredentialWindowController::get()->saveFrame();
    SelectionWindowController::get()->saveFrame();
}

void RemoveFrames()
{
    QSettings settings = Frames();
    for (const char* name : s_frameNames)
        settings.remove(FrameKey(name));
}

void DestroyWindows()
{
    if (s_credential)
        s_credential->done();
    if (s_selection)
        s_selection->done();
    delete s_main;
    delete s_about;
    delete s_settings;
    delete s_selection;
    delete s_credential;
    s_main = nullptr;
    s_about = nullptr;
    s_settings = nullptr;
    s_selection = nullptr;
    s_credential = nullptr;
}

void SetMainWindowMinimizes(bool minimizes)
{
    s_mainMinimizes = minimizes;
}

}  // namespace kestrin::app
