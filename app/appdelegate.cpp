#include "appdelegate.h"

#include <QApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>
#include <atomic>
#include <memory>
#include <thread>

#include "credwindow.h"
#include "glue.h"
#include "queues.h"
#include "windows.h"
#include "zelk_trace.h"

namespace kestrin::app {
namespace {

std::atomic<int> s_logoutLimit {15000};
bool s_quitting = false;

QAction* Entry(QMenu* menu, const char* name, const char* key, void (*action)())
{
    QAction* entry = menu->addAction(ZELKGLUE_GetText(key));
    entry->setObjectName(QString::fromLatin1(name));
    QObject::connect(entry, &QAction::triggered, menu, [action] { action(); });
    return entry;
}

void OnOpenMainWindow()
{
    MainWindowController::get()->show();
}

void OnSettings()
{
    SettingsWindowController::get()->show();
}

void OnAbout()
{
    AboutWindowController::get()->show();
}

// Ctrl held while choosing Quit forgets the window frames.
void OnExit()
{
    Quit(QGuiApplication::queryKeyboardModifiers() & Qt::ControlModifier);
}

void OnLogoutAll()
{
    MainWindowController::get()->logoutAll(true);
}

// Runs the log-out of every profile off the GUI thread, whose loop keeps
// serving the log-outs' dialogs meanwhile. A log-out that ended is joined, so
// no thread of it outlives the quit; one that hangs is left behind.
void LogoutAllAtQuit()
{
    auto finished = std::make_shared<std::atomic<bool>>(false);
    MainViewController* main = MainWindowController::get()->content();
    std::thread logout([main, finished] {
        main->logoutAll(false);
        *finished = true;
    });
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(10);
    const int limit = s_logoutLimit;
    int waited = 0;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        waited += 10;
        if (*finished || waited >= limit)
            loop.quit();
    });
    poll.start();
    loop.exec();
    if (*finished) {
        logout.join();
        return;
    }
    logout.detach();
    SECTRACE_FormatLn(nullptr, 1, "KestrinClient: the log-out of the profiles did not end within %d ms", limit);
}

}  // namespace

AppDelegate::~AppDelegate()
{
    delete myStatusItem;
    delete statusMenu;
}

void AppDelegate::applicationDidFinishLaunching()
{
    statusMenu = new QMenu;
    statusMenu->setObjectName(QStringLiteral("statusMenu"));
    mainMenuItem = Entry(statusMenu, "mainMenuItem", "MENU_SHOW_PROFILES", &OnOpenMainWindow);
    settingMenuItem = Entry(statusMenu, "settingMenuItem", "MENU_PREFERENCES", &OnSettings);
    aboutMenuItem = Entry(statusMenu, "aboutMenuItem", "MENU_HELP_ABOUT", &OnAbout);
    statusMenu->addSeparator();
    logOutMenuItem = Entry(statusMenu, "logOutMenuItem", "MENU_LOGOUT_PROFILES", &OnLogoutAll);
    statusMenu->addSeparator();
    quitMenuItem = Entry(statusMenu, "quitMenuItem", "MENU_FILE_QUIT", &OnExit);

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        myStatusItem = new QSystemTrayIcon(ZELKGLUE_GetNamedImage("qev_20x20.png"));
        myStatusItem->setContextMenu(statusMenu);
        myStatusItem->setToolTip(ZELKGLUE_GetText("MAIN_WINDOW_TITLE"));
        myStatusItem->show();
        return;
    }
    MainWindowController* main = MainWindowController::get();
    SetMainWindowMinimizes(true);
    main->content()->setMenuActions(statusMenu->actions());
    main->show();
}

void Quit(bool removeFrames)
{
    if (s_quitting || GuiLoopEnded())
        return;
    s_quitting = true;
    if (removeFrames)
        RemoveFrames();
    else
        SaveFrames();
    CredentialWindowController::get()->done();
    SelectionWindowController::get()->done();
    LogoutAllAtQuit();
    ZELKGLUE_CleanupKeyChain();
    s_quitting = false;
    QCoreApplication::exit(0);
}

void SetLogoutLimit(int milliseconds)
{
    s_logoutLimit = milliseconds;
}

}  // namespace kestrin::app
