// The application's menu: a tray icon with five entries, or, with no tray
// host, the profile window with the same entries; and the quit sequence.
#pragma once

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

namespace kestrin::app {

class AppDelegate {
public:
    AppDelegate() = default;
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // GUI thread: the tray icon and its menu, or the profile window.
    void applicationDidFinishLaunching();
    bool hasTray() const { return myStatusItem != nullptr; }

    QSystemTrayIcon* myStatusItem = nullptr;
    QMenu* statusMenu = nullptr;
    QAction* mainMenuItem = nullptr;
    QAction* settingMenuItem = nullptr;
    QAction* aboutMenuItem = nullptr;
    QAction* logOutMenuItem = nullptr;
    QAction* quitMenuItem = nullptr;
};

// GUI thread: saves the window frames (removes them instead when asked), ends
// a waiting prompt and selection, logs every profile out, cleans the key
// store and ends the GUI loop with status 0.
void Quit(bool removeFrames);
// The longest wait for the log-out at quit (15 s).
void SetLogoutLimit(int milliseconds);

}  // namespace kestrin::app
