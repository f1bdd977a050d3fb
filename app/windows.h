// The application's five windows. Each controller is made on the GUI thread
// by its first `get` (from another thread, `get` hops there and waits) and
// lives until the GUI loop ends. Windows float above ordinary windows and keep
// their frames in the user's configuration under the names "Main",
// "Settings", "Credential", "Selection" and "About".
#pragma once

#include <QAction>
#include <QLabel>
#include <QList>
#include <QProgressBar>
#include <QString>
#include <QWidget>
#include <functional>

namespace kestrin::app {

class CredentialViewController;
class SelectionViewController;
class SettingsViewController;
class TableView;

class WindowController {
public:
    WindowController(const char* autosaveName, QWidget* window);
    virtual ~WindowController();
    WindowController(const WindowController&) = delete;
    WindowController& operator=(const WindowController&) = delete;

    QWidget* window() const { return m_window; }
    const char* autosaveName() const { return m_name; }
    // Brings the window forward and gives it the focus.
    void show();
    void hide();
    void saveFrame();

private:
    const char* m_name;
    QWidget* m_window;
};

// The profile window's content: the profile table over
// "zelk.model.owncerts.and.kerberos.ex", the status line and its progress bar.
class MainViewController : public QWidget {
public:
    MainViewController();

    // Any thread: the status line, the bar shown while the text is not empty.
    void updateStatus(const QString& text);
    // Logs every row of the profile table out.
    void logoutAll(bool async);
    // Without a tray host, the menu's entries in the window's own menu bar.
    void setMenuActions(const QList<QAction*>& actions);

    TableView* tableView;
    QLabel* statusLabel;
    QProgressBar* bar;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
};

class MainWindowController : public WindowController {
public:
    static MainWindowController* get();
    MainViewController* content() const { return m_content; }
    void logoutAll(bool async) { m_content->logoutAll(async); }

private:
    explicit MainWindowController(MainViewController* content);
    MainViewController* m_content;
};

class AboutWindowViewController : public QWidget {
public:
    AboutWindowViewController();

    QLabel* label;
    QLabel* image;

protected:
    void showEvent(QShowEvent* event) override;
};

class AboutWindowController : public WindowController {
public:
    static AboutWindowController* get();

private:
    AboutWindowController();
};

class SettingsWindowController : public WindowController {
public:
    static SettingsWindowController* get();
    SettingsViewController* content() const { return m_content; }

private:
    explicit SettingsWindowController(SettingsViewController* content);
    SettingsViewController* m_content;
};

class SelectionWindowController : public WindowController {
public:
    static SelectionWindowController* get();
    // The content of the one controller (made on first use); NULL without widgets.
    static SelectionViewController* getViewController();
    // Any thread: ends a waiting selection as cancelled.
    void done();

private:
    explicit SelectionWindowController(SelectionViewController* content);
    SelectionViewController* m_content;
};

class CredentialWindowController : public WindowController {
public:
    static CredentialWindowController* get();
    CredentialViewController* content() const { return m_content; }
    // Any thread: ends a waiting prompt as a cancel.
    void done();

private:
    explicit CredentialWindowController(CredentialViewController* content);
    CredentialViewController* m_content;
};

// The frames of the five windows, in the order profile, preferences, About,
// credential, selection (each made if it was not yet).
void SaveFrames();
void RemoveFrames();
// Destroys every window made so far (GUI thread, after the loop).
void DestroyWindows();
// With no tray host the profile window is the application's one visible
// window: closing it minimises it.
void SetMainWindowMinimizes(bool minimizes);

}  // namespace kestrin::app
