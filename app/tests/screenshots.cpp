// The application's windows on a real X server (Xvfb, Qt's xcb platform):
// each is shown as the user would see it, its state checked (exposed, active,
// focus, default button, texts) and a screenshot written to
// $KESTRIN_SCREENSHOTS (default ./screenshots) for people to look at.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <thread>

#include "app_test.h"
#include "certviewer.h"
#include "credwindow.h"
#include "glue.h"
#include "model_fakes.h"
#include "queues.h"
#include "selection.h"
#include "settings.h"
#include "tableview.h"
#include "windows.h"
#include "zelk_class.h"
#include "zelk_gui.h"

namespace kestrin::app::test {
namespace {

using ZELK::PSESVC::ICredUI;
using ZELK::PSESVC::ICredUIAsk;
using ZELK::PSESVC::IGUI;

QString ShotFolder()
{
    const QByteArray folder = qgetenv("KESTRIN_SCREENSHOTS");
    return folder.isEmpty() ? QStringLiteral("screenshots") : QString::fromLocal8Bit(folder);
}

// Waits until the window is on screen and active, then writes what the X
// server shows of it as <name>.png.
void Shoot(QWidget* window, const char* name)
{
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window)) << name;
    ASSERT_TRUE(QTest::qWaitForWindowActive(window)) << name;
    // Let the last paint reach the server.
    QApplication::processEvents();
    QApplication::sync();
    const QPixmap shot = window->screen()->grabWindow(window->winId());
    ASSERT_FALSE(shot.isNull()) << name;
    EXPECT_GE(shot.width(), window->width() - 1) << name;
    ASSERT_TRUE(QDir().mkpath(ShotFolder()));
    const QString file = ShotFolder() + QStringLiteral("/") + QString::fromLatin1(name) + QStringLiteral(".png");
    EXPECT_TRUE(shot.save(file, "PNG")) << file.toStdString();
}

// What the X server shows of the screen around the window and its popup.
void ShootArea(QWidget* window, QWidget* popup, const char* name)
{
    ASSERT_TRUE(QTest::qWaitForWindowExposed(popup)) << name;
    QApplication::processEvents();
    QApplication::sync();
    const QRect area = window->frameGeometry().united(popup->geometry());
    const QPixmap shot = window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    ASSERT_FALSE(shot.isNull()) << name;
    ASSERT_TRUE(QDir().mkpath(ShotFolder()));
    const QString file = ShotFolder() + QStringLiteral("/") + QString::fromLatin1(name) + QStringLiteral(".png");
    EXPECT_TRUE(shot.save(file, "PNG")) << file.toStdString();
}

CredentialViewController* Cred()
{
    return CredentialWindowController::get()->content();
}

QLineEdit* Edit(const char* name)
{
    return Cred()->findChild<QLineEdit*>(QString::fromLatin1(name));
}

QMessageBox* Alert()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (widget->objectName() == QStringLiteral("alert") && widget->isVisible())
            return qobject_cast<QMessageBox*>(widget);
    return nullptr;
}

class Screenshots : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        BeginGuiLoop();
        ZELKGLUE_SetHeadless(false);
    }
    void SetUp() override
    {
        ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
        ASSERT_EQ(ZELK_CreateObject("zelkgui", "zelk.gui", IID_IGUI, reinterpret_cast<void**>(&m_host)), S_OK);
    }
    void TearDown() override { m_host->Release(); }

    IGUI* m_host = nullptr;
};

TEST_F(Screenshots, ProfileWindow)
{
    MainWindowController* main = MainWindowController::get();
    main->show();
    main->content()->updateStatus(QStringLiteral("Logging in\u2026"));
    ASSERT_TRUE(PumpUntil([main] { return !main->content()->bar->isHidden(); }));
    Shoot(main->window(), "profile");
    EXPECT_EQ(main->window()->windowTitle(), ZELKGLUE_GetText("MAIN_WINDOW_TITLE"));
    EXPECT_EQ(main->content()->statusLabel->text(), QStringLiteral("Logging in\u2026"));
    EXPECT_TRUE(main->window()->windowFlags() & Qt::WindowStaysOnTopHint);
    main->content()->updateStatus(QString());
    ASSERT_TRUE(PumpUntil([main] { return main->content()->bar->isHidden(); }));
    main->hide();
}

TEST_F(Screenshots, About)
{
    AboutWindowController* about = AboutWindowController::get();
    about->show();
    Shoot(about->window(), "about");
    EXPECT_EQ(about->window()->windowTitle(), ZELKGLUE_GetText("DLG_ABOUT_TITLE"));
    auto* label = about->window()->findChild<QLabel*>(QStringLiteral("label"));
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->text().contains(QStringLiteral("3.0.2"))) << label->text().toStdString();
    auto* image = about->window()->findChild<QLabel*>(QStringLiteral("image"));
    ASSERT_NE(image, nullptr);
    EXPECT_FALSE(image->pixmap().isNull());
    about->hide();
}

// A "New PIN" and "Confirm" prompt asked from a service thread; the first
// entries differ (the alert), the second ones agree.
TEST_F(Screenshots, NewPinPromptAndMismatchAlert)
{
    ICredUI* dialog = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog)), S_OK);
    Ref<ICredUI> holdDialog(dialog);
    ICredUIAsk* pin = nullptr;
    ICredUIAsk* confirm = nullptr;
    ASSERT_EQ(dialog->GuiGetAskObject(&pin, ICredUIAsk::ASK_NEW_PIN, nullptr), S_OK);
    Ref<ICredUIAsk> holdPin(pin);
    ASSERT_EQ(dialog->GuiGetAskObject(&confirm, ICredUIAsk::ASK_CONFIRM, nullptr), S_OK);
    Ref<ICredUIAsk> holdConfirm(confirm);
    std::atomic<bool> done {false};
    std::atomic<HRESULT> result {E_FAIL};
    std::thread service([&] {
        dialog->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
        result = dialog->GuiAsk(L"Choose a new PIN for the token.", pin, confirm, nullptr, nullptr);
        dialog->GuiEnd();
        done = true;
    });
    ASSERT_TRUE(PumpUntil([] { return Cred()->isVisible() && Edit("password1")->isEnabled(); }));
    QWidget* window = CredentialWindowController::get()->window();
    QLineEdit* first = Edit("password1");
    QLineEdit* second = Edit("password2");
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    ASSERT_TRUE(PumpUntil([first] { return QApplication::focusWidget() == first; }));
    EXPECT_EQ(first->accessibleName(), QStringLiteral("New PIN"));
    EXPECT_EQ(second->accessibleName(), QStringLiteral("Confirm"));
    EXPECT_EQ(Cred()->label->text(), QStringLiteral("Choose a new PIN for the token."));
    EXPECT_TRUE(Cred()->okButton->isDefault());
    EXPECT_FALSE(Cred()->okButton->isEnabled());
    EXPECT_TRUE(Cred()->cancelButton->isEnabled());
    QTest::keyClicks(first, QStringLiteral("1234"));
    QTest::keyClick(first, Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), second);
    QTest::keyClicks(second, QStringLiteral("9999"));
    EXPECT_TRUE(Cred()->okButton->isEnabled());
    Shoot(window, "new-pin");

    QTest::keyClick(second, Qt::Key_Return);
    ASSERT_TRUE(PumpUntil([] { return Alert() != nullptr; }));
    QMessageBox* alert = Alert();
    Shoot(alert, "mismatch-alert");
    EXPECT_EQ(alert->informativeText(), ZELKGLUE_GetText("DLG_CRED_PIN_MISMATCH"));
    ASSERT_EQ(alert->buttons().size(), 1);
    EXPECT_EQ(alert->defaultButton(), alert->buttons().first());
    EXPECT_EQ(alert->buttons().first()->text(), ZELKGLUE_GetText("DLG_CRED_OK"));
    QTest::keyClick(alert, Qt::Key_Return);
    ASSERT_TRUE(PumpUntil([] { return Alert() == nullptr; }));
    EXPECT_TRUE(first->text().isEmpty());
    EXPECT_TRUE(second->text().isEmpty());
    EXPECT_FALSE(Cred()->okButton->isEnabled());

    QTest::keyClicks(first, QStringLiteral("1234"));
    QTest::keyClicks(second, QStringLiteral("1234"));
    QTest::keyClick(second, Qt::Key_Return);
    ASSERT_TRUE(PumpUntil([&done] { return done.load(); }));
    service.join();
    EXPECT_EQ(result, S_OK);
    EXPECT_STREQ(pin->GetValue(), "1234");
    ASSERT_TRUE(PumpUntil([] { return !Cred()->isVisible(); }));
}

TEST_F(Screenshots, CertificateViewer)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    QProcess openssl;
    openssl.setWorkingDirectory(folder.path());
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
                   QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:P-256"), QStringLiteral("-nodes"),
                   QStringLiteral("-days"), QStringLiteral("30"), QStringLiteral("-subj"),
                   QStringLiteral("/O=Kestrin Test/CN=Screenshot Alice"), QStringLiteral("-keyout"),
                   QStringLiteral("key.pem"), QStringLiteral("-outform"), QStringLiteral("DER"), QStringLiteral("-out"),
                   QStringLiteral("cert.der")});
    ASSERT_TRUE(openssl.waitForFinished(30000));
    ASSERT_EQ(openssl.exitCode(), 0);
    QFile der(folder.filePath(QStringLiteral("cert.der")));
    ASSERT_TRUE(der.open(QIODevice::ReadOnly));
    QWidget* viewer = ShowCertificate(der.readAll());
    ASSERT_NE(viewer, nullptr);
    Shoot(viewer, "certificate-viewer");
    EXPECT_EQ(viewer->windowTitle(), ZELKGLUE_GetText("CERT_VIEW_TITLE"));
    auto* close = viewer->findChild<QPushButton*>(QStringLiteral("closeButton"));
    ASSERT_NE(close, nullptr);
    EXPECT_TRUE(close->isDefault());
    EXPECT_EQ(QApplication::focusWidget(), close);
    auto* subject = viewer->findChild<QLabel*>(QStringLiteral("subject"));
    ASSERT_NE(subject, nullptr);
    EXPECT_TRUE(subject->text().contains(QStringLiteral("Screenshot Alice"))) << subject->text().toStdString();
    auto* fingerprint = viewer->findChild<QLabel*>(QStringLiteral("fingerprint"));
    ASSERT_NE(fingerprint, nullptr);
    EXPECT_EQ(fingerprint->text().size(), 59);  // 20 bytes, colon-separated
    QPointer<QWidget> watched(viewer);
    QTest::keyClick(close, Qt::Key_Space);
    EXPECT_TRUE(PumpUntil([&watched] { return watched.isNull(); }));
}

// Rows of every kind the profile list shows (the local server's row stands
// for its kind by its picture), with their verbs and one checkbox.
class ProfileRows {
public:
    ProfileRows() : container(NewContainer())
    {
        using namespace ZELK::PSESVC;
        Add("000/EOM", "Encryption only", ICON_ENCRYPTIONONLY);
        Add("010/Kerberos", "Alice Example (alice@EXAMPLE.TEST)", ICON_KERBEROS_ACTIVE);
        Add("030/Cert/CN=Alice", "Alice Example \u2013 Key store", ICON_CERT_ACTIVE)->hasApps = true;
        FakeItem* profile = Add("050/KVS/Sales", "Sales profile (logged in)", ICON_PROFILE_ACTIVE);
        profile->hasApps = true;
        profile->selected = true;
        Add("900/Hearthgate", "Local server 127.0.0.1:8443", ICON_LOCALSERVER_ACTIVE);
    }
    ~ProfileRows()
    {
        for (FakeItem* item : items)
            item->Drop();
        container->Release();
    }
    FakeItem* Add(const char* key, const char* text, ZELK::PSESVC::IGUIItem_Icon picture)
    {
        FakeItem* item = NewItem(key, text);
        item->picture = picture;
        item->AddVerb("verb.login", ZELK::PSESVC::IGUIVerb_State_Default);
        item->AddVerb("verb.logout", ZELK::PSESVC::IGUIVerb_State_Enabled);
        item->AddVerb("verb.changepin", ZELK::PSESVC::IGUIVerb_State_Disabled);
        container->Add(static_cast<IGUIModelItem*>(item), false);
        items.push_back(item);
        return item;
    }
    CComObject<FakeContainer>* container;
    std::vector<FakeItem*> items;
};

TEST_F(Screenshots, ProfileRowsAndTheirMenu)
{
    ProfileRows rows;
    MainWindowController* main = MainWindowController::get();
    TableView* table = main->content()->tableView;
    table->setContainerObject(static_cast<IGUIModelContainer*>(rows.container));
    main->window()->resize(480, 360);
    main->show();
    ASSERT_EQ(table->rows(), 5u);
    table->selectRow(3);
    Shoot(main->window(), "profile-rows");
    EXPECT_EQ(table->tableModel()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(),
              ZELKGLUE_GetText("MENU_VIEW_PROFILES"));
    table->setFocus();
    QTest::keyClick(table, Qt::Key_Menu);
    QMenu* menu = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (menu = table->findChild<QMenu*>(QStringLiteral("rowMenu"))) != nullptr; }));
    ShootArea(main->window(), menu, "profile-menu");
    ASSERT_EQ(menu->actions().size(), 3);
    EXPECT_FALSE(menu->actions()[2]->isEnabled());
    menu->close();
    table->setContainerObject(nullptr);
    main->hide();
}

TEST_F(Screenshots, SelectionWithAndWithoutShowAll)
{
    ProfileRows primary;
    ProfileRows all;
    for (bool alternative : {false, true}) {
        SCOPED_TRACE(alternative);
        ZELK::PSESVC::ISelectionUI* dialog = nullptr;
        ASSERT_EQ(
            ZELK_CreateObject("zelkgui", "zelk.dlgselection", IID_ISelectionUI, reinterpret_cast<void**>(&dialog)),
            S_OK);
        Ref<ZELK::PSESVC::ISelectionUI> hold(dialog);
        std::atomic<HRESULT> result {E_FAIL};
        std::thread service([&] {
            IUnknown* chosen = nullptr;
            result = dialog->GuiSelectEx(L"caption", L"Choose the certificate to authenticate with.", nullptr,
                                         primary.container, alternative ? all.container : nullptr, &chosen);
            if (chosen)
                chosen->Release();
        });
        SelectionViewController* view = SelectionWindowController::getViewController();
        ASSERT_TRUE(PumpUntil([view] { return view->isVisible(); }));
        view->tableView->selectRow(2);
        Shoot(view, alternative ? "selection-show-all" : "selection");
        EXPECT_EQ(view->windowTitle(), ZELKGLUE_GetText("DLG_SELECTION_TITLE"));
        EXPECT_EQ(view->buttonShowAll->isVisible(), alternative);
        EXPECT_TRUE(view->buttonOK->isEnabled());
        QTest::keyClick(view->tableView, Qt::Key_Escape);
        ASSERT_TRUE(PumpUntil([&result] { return result != E_FAIL; }));
        service.join();
        ASSERT_TRUE(PumpUntil([view] { return !view->isVisible(); }));
    }
}

TEST_F(Screenshots, PreferenceTabs)
{
    SettingsWindowController* settings = SettingsWindowController::get();
    SettingsViewController* view = settings->content();
    settings->show();
    const char* names[] = {"preferences-mode", "preferences-policy", "preferences-trace"};
    for (int tab = 0; tab < 3; ++tab) {
        view->tabs->setCurrentIndex(tab);
        Shoot(settings->window(), names[tab]);
    }
    EXPECT_EQ(view->windowTitle(), ZELKGLUE_GetText("DLG_OPTIONS_PREFERENCES"));
    settings->hide();
}

}  // namespace
}  // namespace kestrin::app::test
