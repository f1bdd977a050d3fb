// Credential dialogs driven from service threads, as the service drives them,
// with the user's keys and clicks on the named controls of the credential
// window; the host's GUI loop and its quit.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFile>
#include <QMessageBox>
#include <QSettings>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <map>
#include <thread>

#include "app_test.h"
#include "appdelegate.h"
#include "creddlg.h"
#include "credwindow.h"
#include "glue.h"
#include "host.h"
#include "queues.h"
#include "windows.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_gui_model.h"
#include "zelk_resloader.h"

namespace kestrin::app::test {
namespace {

using ZELK::PSESVC::ICredUI;
using ZELK::PSESVC::ICredUIAsk;
using ZELK::PSESVC::IGUI;

// Texts of a bundle of the test's own.
class Texts : public IResourceManager, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(Texts)
    ZELK_INTMAP_ENTRY_IID(IID_IResourceManager, IResourceManager)
    ZELK_END_INTMAP()

    const wchar_t* GetW(const char*) override { return nullptr; }
    const char* Get(const char* key) override
    {
        auto found = texts.find(key);
        if (found != texts.end())
            return found->second.c_str();
        if (!brackets)
            return nullptr;
        return texts.emplace(key, std::string("\xc2\xab") + key + "\xc2\xbb").first->second.c_str();
    }

    std::map<std::string, std::string> texts;
    // Every key without a text of the test answers «KEY».
    bool brackets = false;
};

CredentialViewController* Cred()
{
    CredentialWindowController* window = CredentialWindowController::get();
    return window ? window->content() : nullptr;
}

QLineEdit* Edit(const char* name)
{
    return Cred()->findChild<QLineEdit*>(QString::fromLatin1(name));
}

bool CredVisible()
{
    return Cred()->isVisible();
}

QMessageBox* Alert()
{
    QWidget* alert = nullptr;
    for (QWidget* widget : QApplication::allWidgets())
        if (widget->objectName() == QStringLiteral("alert") && widget->isVisible())
            alert = widget;
    return qobject_cast<QMessageBox*>(alert);
}

class DialogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        BeginGuiLoop();
        ZELKGLUE_SetHeadless(false);
        ASSERT_EQ(ZELK_CreateObject("zelkgui", "zelk.gui", IID_IGUI, reinterpret_cast<void**>(&m_host)), S_OK);
    }

    void TearDown() override
    {
        while (QMessageBox* alert = Alert())
            alert->done(0);
        EXPECT_TRUE(PumpUntil([] { return !CredVisible(); }));
        m_host->Release();
    }

    static ICredUI* NewDialog()
    {
        ICredUI* dialog = nullptr;
        EXPECT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&dialog)), S_OK);
        return dialog;
    }

    static ICredUIAsk* NewField(ICredUI* dialog, ICredUIAsk::ASK_PRESETS preset, const char* name = nullptr)
    {
        ICredUIAsk* field = nullptr;
        EXPECT_EQ(dialog->GuiGetAskObject(&field, preset, name), S_OK);
        return field;
    }

    // Waits for a prompt whose first row is `row`.
    static bool PromptUp(const char* row)
    {
        return PumpUntil([row] { return CredVisible() && Edit(row)->isVisible() && Edit(row)->isEnabled(); });
    }

    IGUI* m_host = nullptr;
};

TEST_F(DialogTest, HostIsOneObjectWithOneQueue)
{
    SerialQueue* queue = ZELKGLUE_GetDispatchQueue();
    IGUI* nogui = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelkgui", "zelk.nogui", IID_IGUI, reinterpret_cast<void**>(&nogui)), S_OK);
    EXPECT_EQ(nogui, m_host);
    EXPECT_EQ(ZELKGLUE_GetDispatchQueue(), queue);
    EXPECT_STREQ(queue->Label(), "kvc.ui");
    nogui->Release();
}

TEST_F(DialogTest, HeadlessHasNoDialogsAndRunsNoVerb)
{
    ZELKGLUE_SetHeadless(true);
    void* dialog = reinterpret_cast<void*>(1);
    EXPECT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, &dialog), E_FAIL);
    EXPECT_EQ(dialog, nullptr);
    EXPECT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgselection", IID_ICredUI, &dialog), E_FAIL);
    EXPECT_EQ(m_host->DoVerb(nullptr), E_INVALIDARG);
    ZELKGLUE_SetHeadless(false);
}

TEST(Mode, HeadlessWithTheFlagOrWithoutADisplay)
{
    struct Case {
        std::vector<const char*> args;
        std::map<std::string, std::string> env;
        bool headless;
    } cases[] = {
        {{"KestrinClient"}, {}, true},
        {{"KestrinClient"}, {{"DISPLAY", ":0"}}, false},
        {{"KestrinClient"}, {{"WAYLAND_DISPLAY", "wayland-0"}}, false},
        {{"KestrinClient"}, {{"QT_QPA_PLATFORM", "offscreen"}}, false},
        {{"KestrinClient"}, {{"DISPLAY", ""}}, true},
        {{"KestrinClient", "--headless"}, {{"DISPLAY", ":0"}}, true},
        {{"KestrinClient", "--other"}, {{"DISPLAY", ":0"}}, false},
    };
    for (Case& c : cases) {
        auto getenv = [&c](const char* name) -> const char* {
            auto found = c.env.find(name);
            return found == c.env.end() ? nullptr : found->second.c_str();
        };
        EXPECT_EQ(ZELKGLUE_WantsHeadless(static_cast<int>(c.args.size()), const_cast<char**>(c.args.data()), getenv),
                  c.headless)
            << c.args.size() << " " << (c.env.empty() ? "" : c.env.begin()->first);
    }
}

// A verb that reports progress and never asks.
class StatusVerb : public ZELK::PSESVC::IGUIVerb, public CComObjectRoot {
public:
    ZELK_BEGIN_INTMAP(StatusVerb)
    ZELK_INTMAP_ENTRY_IID(IID_IGUIVerb, ZELK::PSESVC::IGUIVerb)
    ZELK_END_INTMAP()

    const char* GetVerbName() override { return "verb.test"; }
    const char* GetVerbDisplayName() override { return "Test"; }
    HRESULT DoVerb(ICredUI* dialog) override
    {
        dialog->GuiLongOperation(L"Working\u2026", true);
        reported = true;
        while (!release)
            std::this_thread::yield();
        return ZELK_RC(0x80001234);
    }
    HRESULT SetState(uint32_t) override { return S_OK; }
    uint32_t GetState() override { return 0; }

    std::atomic<bool> reported {false};
    std::atomic<bool> release {false};
};

TEST_F(DialogTest, VerbWithoutPromptShowsStatusButNoWindow)
{
    CComObject<StatusVerb>* verb = nullptr;
    CComObject<StatusVerb>::CreateInstance(&verb);
    Ref<CComObject<StatusVerb>> hold(verb);
    verb->AddRef();
    IGUI* host = m_host;
    ServiceThread service([host, verb] { return host->DoVerb(verb); });
    MainViewController* main = MainWindowController::get()->content();
    ASSERT_TRUE(PumpUntil([main] { return main->statusLabel->text() == QStringLiteral("Working\u2026"); }));
    EXPECT_FALSE(main->bar->isHidden());
    EXPECT_FALSE(CredVisible());
    verb->release = true;
    ASSERT_TRUE(service.Finish());
    EXPECT_EQ(service.Result(), ZELK_RC(0x80001234));
    ASSERT_TRUE(PumpUntil([main] { return main->statusLabel->text().isEmpty(); }));
    EXPECT_TRUE(main->bar->isHidden());
    EXPECT_FALSE(CredVisible());
}

// "New PIN" and its confirmation, by the verify flag or by the server fields.
class ConfirmTest : public DialogTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ConfirmTest, MismatchClearsBothAndEqualEntriesAnswer)
{
    const bool byServer = GetParam();
    Ref<ICredUI> dialog(NewDialog());
    Ref<ICredUIAsk> pin(NewField(dialog, ICredUIAsk::ASK_NEW_PIN));
    Ref<ICredUIAsk> confirm(NewField(dialog, byServer ? ICredUIAsk::ASK_NEW_PIN : ICredUIAsk::ASK_CONFIRM));
    Ref<CComObject<ServerField>> pinServer(NewServerField("newpin", ""));
    Ref<CComObject<ServerField>> confirmServer(NewServerField("newpin2", "newpin"));
    if (byServer) {
        pin->AddKVInputField(pinServer);
        confirm->AddKVInputField(confirmServer);
    }
    ICredUI* d = dialog;
    ICredUIAsk* f1 = pin;
    ICredUIAsk* f2 = confirm;
    ServiceThread service([d, f1, f2] {
        d->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
        HRESULT hr = d->GuiAsk(L"Choose a new PIN.", f1, f2, nullptr, nullptr);
        d->GuiEnd();
        return hr;
    });
    ASSERT_TRUE(PromptUp("password1"));
    QLineEdit* first = Edit("password1");
    QLineEdit* second = Edit("password2");
    EXPECT_EQ(first->accessibleName(), QStringLiteral("New PIN"));
    EXPECT_EQ(second->accessibleName(), byServer ? QStringLiteral("New PIN") : QStringLiteral("Confirm"));
    EXPECT_EQ(first->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(Cred()->okButton->isEnabled());
    QTest::keyClicks(first, QStringLiteral("1234"));
    EXPECT_FALSE(Cred()->okButton->isEnabled());
    QTest::keyClick(first, Qt::Key_Tab);
    QTest::keyClicks(second, QStringLiteral("9999"));
    EXPECT_TRUE(Cred()->okButton->isEnabled());
    QTest::keyClick(second, Qt::Key_Return);

    ASSERT_TRUE(PumpUntil([] { return Alert() != nullptr; }));
    EXPECT_TRUE(first->text().isEmpty());
    EXPECT_TRUE(second->text().isEmpty());
    EXPECT_EQ(Cred()->focusWidget(), first);
    EXPECT_FALSE(Cred()->okButton->isEnabled());
    EXPECT_EQ(Alert()->informativeText(), ZELKGLUE_GetText("DLG_CRED_PIN_MISMATCH"));
    if (byServer) {
        EXPECT_EQ(pinServer->value, L"");
    }
    Alert()->buttons().first()->click();

    QTest::keyClicks(first, QStringLiteral("1234"));
    QTest::keyClicks(second, QStringLiteral("1234"));
    QTest::keyClick(second, Qt::Key_Enter);
    ASSERT_TRUE(service.Finish());
    EXPECT_EQ(service.Result(), S_OK);
    EXPECT_STREQ(pin->GetValue(), "1234");
    EXPECT_STREQ(confirm->GetValue(), "1234");
    if (byServer) {
        EXPECT_EQ(pinServer->value, L"1234");
        EXPECT_EQ(confirmServer->value, L"1234");
    }
    EXPECT_TRUE(first->text().isEmpty());
    EXPECT_FALSE(first->isEnabled());
}

INSTANTIATE_TEST_SUITE_P(ByFlagOrServer, ConfirmTest, ::testing::Bool());

TEST_F(DialogTest, EscapeCancelAndDoneAnswerCancelled)
{
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        Ref<ICredUI> dialog(NewDialog());
        Ref<ICredUIAsk> password(NewField(dialog, ICredUIAsk::ASK_PASSWORD));
        ICredUI* d = dialog;
        ICredUIAsk* f = password;
        ServiceThread service([d, f] {
            d->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
            HRESULT hr = d->GuiAsk(L"Password?", f, nullptr, nullptr, nullptr);
            d->GuiEnd();
            return hr;
        });
        ASSERT_TRUE(PromptUp("password1"));
        QTest::keyClicks(Edit("password1"), QStringLiteral("typed"));
        if (way == 0)
            QTest::keyClick(Edit("password1"), Qt::Key_Escape);
        else if (way == 1)
            QTest::mouseClick(Cred()->cancelButton, Qt::LeftButton);
        else
            CredentialWindowController::get()->done();
        ASSERT_TRUE(service.Finish());
        EXPECT_EQ(service.Result(), E_ABORT);
        EXPECT_EQ(password->GetValue(), nullptr);
        EXPECT_TRUE(PumpUntil([] { return Edit("password1")->text().isEmpty() && !CredVisible(); }));
    }
}

TEST_F(DialogTest, NullFieldsAreSkippedAndPresetsShown)
{
    Ref<ICredUI> dialog(NewDialog());
    Ref<ICredUIAsk> user(NewField(dialog, ICredUIAsk::ASK_USERNAME, "Account"));
    Ref<ICredUIAsk> password(NewField(dialog, ICredUIAsk::ASK_PASSWORD));
    user->SetValue("alice");
    user->SetDisabled(1);
    ICredUI* d = dialog;
    ICredUIAsk* f2 = user;
    ICredUIAsk* f4 = password;
    std::atomic<int> step {0};
    ServiceThread service([d, f2, f4, &step] {
        d->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
        d->GuiMessage(L"Message <img src=x>");
        HRESULT hr = d->GuiAsk(L"Log in.", nullptr, f2, nullptr, f4);
        step = 1;
        // Every field preset and read-only: confirmable without an edit.
        if (hr == S_OK)
            hr = d->GuiAsk(L"Again.", f2, nullptr, nullptr, nullptr);
        d->GuiEnd();
        return hr;
    });
    ASSERT_TRUE(PromptUp("input1"));
    EXPECT_EQ(Edit("input1")->text(), QStringLiteral("alice"));
    EXPECT_TRUE(Edit("input1")->isReadOnly());
    EXPECT_EQ(Edit("input1")->placeholderText(), QStringLiteral("Account"));
    EXPECT_FALSE(Edit("password1")->isVisible());
    EXPECT_TRUE(Edit("password2")->isVisible());
    EXPECT_EQ(Edit("password2")->placeholderText(), QStringLiteral("Password"));
    for (const char* hidden : {"input3", "password3", "icon3", "input4", "password4", "icon4"})
        EXPECT_FALSE(Cred()->findChild<QWidget*>(QString::fromLatin1(hidden))->isVisible()) << hidden;
    EXPECT_EQ(Cred()->label->text(), QStringLiteral("Message <img src=x>\n\nLog in."));
    EXPECT_EQ(Cred()->label->textFormat(), Qt::PlainText);
    EXPECT_EQ(Cred()->focusWidget(), Edit("password2"));
    EXPECT_FALSE(Cred()->okButton->isEnabled());
    QTest::keyClicks(Edit("password2"), QStringLiteral("pw"));
    QTest::mouseClick(Cred()->okButton, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&step] { return step == 1; }));
    ASSERT_TRUE(PumpUntil([] { return Cred()->okButton->isEnabled(); }));
    QTest::keyClick(Edit("input1"), Qt::Key_Return);
    ASSERT_TRUE(service.Finish());
    EXPECT_EQ(service.Result(), S_OK);
    EXPECT_STREQ(user->GetValue(), "alice");
    EXPECT_STREQ(password->GetValue(), "pw");
}

TEST_F(DialogTest, PromptWithoutFieldsShowsOnlyItsText)
{
    Ref<ICredUI> dialog(NewDialog());
    ICredUI* d = dialog;
    ServiceThread service([d] {
        d->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
        HRESULT hr = d->GuiAsk(L"Proceed?", 0, nullptr, 0);
        d->GuiEnd();
        return hr;
    });
    ASSERT_TRUE(PumpUntil([] { return CredVisible() && Cred()->okButton->isEnabled(); }));
    EXPECT_TRUE(Cred()->label2->isVisible());
    EXPECT_FALSE(Cred()->label->isVisible());
    EXPECT_EQ(Cred()->label2->text(), QStringLiteral("Proceed?"));
    QTest::mouseClick(Cred()->okButton, Qt::LeftButton);
    ASSERT_TRUE(service.Finish());
    EXPECT_EQ(service.Result(), S_OK);
}

TEST_F(DialogTest, SecondDialogsPromptWaitsForTheFirstsEnd)
{
    std::atomic<bool> endFirst {false};
    Ref<ICredUI> first(NewDialog());
    Ref<ICredUI> second(NewDialog());
    ICredUI* a = first;
    ICredUI* b = second;
    ServiceThread one([a, &endFirst] {
        a->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
        HRESULT hr = a->GuiAsk(L"first", 0, nullptr, 0);
        while (!endFirst)
            std::this_thread::yield();
        a->GuiEnd();
        return hr;
    });
    ASSERT_TRUE(PumpUntil([] { return CredVisible() && Cred()->label2->text() == QStringLiteral("first"); }));
    ServiceThread two([b] {
        b->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
        HRESULT hr = b->GuiAsk(L"second", 0, nullptr, 0);
        b->GuiEnd();
        return hr;
    });
    QTest::mouseClick(Cred()->okButton, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&one] { return one.Done() == false && !Cred()->okButton->isEnabled(); }));
    EXPECT_FALSE(PumpUntil([] { return Cred()->label2->text() == QStringLiteral("second"); }, 300));
    endFirst = true;
    ASSERT_TRUE(one.Finish());
    ASSERT_TRUE(PumpUntil([] { return CredVisible() && Cred()->label2->text() == QStringLiteral("second"); }));
    ASSERT_TRUE(PumpUntil([] { return Cred()->okButton->isEnabled(); }));
    QTest::mouseClick(Cred()->okButton, Qt::LeftButton);
    ASSERT_TRUE(two.Finish());
    EXPECT_EQ(one.Result(), S_OK);
    EXPECT_EQ(two.Result(), S_OK);
}

TEST_F(DialogTest, RefusedCallsAndBadInput)
{
    Ref<ICredUI> dialog(NewDialog());
    Ref<ICredUIAsk> field(NewField(dialog, ICredUIAsk::ASK_PIN));
    ICredUI* d = dialog;
    ICredUIAsk* f = field;
    // Before the start and after the end a prompt would wait for ever.
    ServiceThread early([d, f] { return d->GuiAsk(L"x", f, nullptr, nullptr, nullptr); });
    ASSERT_TRUE(early.Finish());
    EXPECT_EQ(early.Result(), E_UNEXPECTED);

    // On the GUI thread, whose loop the waits need.
    EXPECT_EQ(dialog->GuiStart(ICredUI::GUIMODE_DEFAULT, true), E_UNEXPECTED);
    EXPECT_EQ(dialog->GuiStart(ICredUI::GUIMODE_DEFAULT, false), S_OK);
    EXPECT_EQ(dialog->GuiAsk(L"x", f, nullptr, nullptr, nullptr), E_UNEXPECTED);
    ICredUIAsk* five[] = {f, f, f, f, f};
    EXPECT_EQ(dialog->GuiAsk(L"x", 5, five, 0), E_INVALIDARG);
    EXPECT_EQ(dialog->GuiAsk(L"x", 2, nullptr, 0), E_INVALIDARG);
    ICredUIAsk* holes[] = {f, nullptr};
    EXPECT_EQ(dialog->GuiAsk(L"x", 2, holes, 0), E_INVALIDARG);
    for (int item : {0, 2, 4, 6, 11, 15, 17, 19, 21, -1})
        EXPECT_EQ(dialog->GuiUpdate(static_cast<ICredUI::GUIITEM>(item), L"x", 0), E_INVALIDARG) << item;
    EXPECT_EQ(dialog->GuiPopup(nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(dialog->GuiPopupErr(L"", 0), E_INVALIDARG);
    EXPECT_EQ(dialog->GuiUpdate(ICredUI::GUIITEM_CERT, nullptr, 0), E_FAIL);
    EXPECT_EQ(dialog->GuiUpdate(ICredUI::GUIITEM_CERT, nullptr, reinterpret_cast<unsigned long>(f)), E_FAIL);
    EXPECT_EQ(dialog->GuiGetAskObject(nullptr, ICredUIAsk::ASK_PIN, nullptr), E_INVALIDARG);
    EXPECT_EQ(dialog->GetMessage(nullptr, 1), E_INVALIDARG);
    EXPECT_EQ(dialog->GetOpDesc(nullptr), E_INVALIDARG);
    EXPECT_FALSE(dialog->GuiIsAborted());
    EXPECT_FALSE(dialog->GuiIsInteractive());
    ServiceThread end([d] { return d->GuiEnd(); });
    ASSERT_TRUE(end.Finish());
    EXPECT_EQ(end.Result(), S_OK);
    ServiceThread late([d, f] { return d->GuiAsk(L"x", f, nullptr, nullptr, nullptr); });
    ASSERT_TRUE(late.Finish());
    EXPECT_EQ(late.Result(), E_UNEXPECTED);
    EXPECT_FALSE(CredVisible());
}

TEST_F(DialogTest, MessageAndDescription)
{
    Ref<ICredUI> dialog(NewDialog());
    struct Case {
        const wchar_t* message;
        const wchar_t* description;
        signed char with;
        const wchar_t* expected;
    } cases[] = {
        {L"M", L"D", 1, L"M\n\nD"}, {nullptr, L"D", 1, L"D"}, {L"", L"D", 1, L"D"},
        {L"M", L"D", 0, L"M"},      {L"M", nullptr, 1, L"M"}, {nullptr, nullptr, 1, nullptr},
    };
    for (const Case& c : cases) {
        dialog->SetMessage(c.message);
        dialog->SetOpDesc(c.description);
        wchar_t* text = reinterpret_cast<wchar_t*>(1);
        EXPECT_EQ(dialog->GetMessage(&text, c.with), S_OK);
        if (c.expected)
            EXPECT_EQ(std::wstring(text ? text : L"(null)"), c.expected);
        else
            EXPECT_EQ(text, nullptr);
        sec_free(text);
    }
}

TEST_F(DialogTest, TitleSuffixes)
{
    CComObject<Texts>* texts = nullptr;
    CComObject<Texts>::CreateInstance(&texts);
    texts->AddRef();
    Ref<CComObject<Texts>> hold(texts);
    struct Case {
        const char* title;
        const wchar_t* suffix;
        const char* expected;
    } cases[] = {
        {"Kestrin", L"Sign", "Kestrin - Sign"},
        {"A - B - C", L"S", "A - B - S"},
        {"Kestrin", L"", "Kestrin"},
        {"Kestrin", nullptr, "Kestrin"},
    };
    ZELKGLUE_SetResourceManager(texts);
    Ref<ICredUI> dialog(NewDialog());
    for (const Case& c : cases) {
        texts->texts["DLG_CRED_TITLE"] = c.title;
        EXPECT_EQ(dialog->GuiUpdate(ICredUI::GUIITEM_TITLE, c.suffix, 0), S_OK);
        EXPECT_TRUE(PumpUntil([&c] { return Cred()->windowTitle() == QString::fromUtf8(c.expected); }))
            << c.expected << " / " << Cred()->windowTitle().toStdString();
    }
    ZELKGLUE_LoadResources();
}

TEST_F(DialogTest, ReleasedWhileItsWindowIsUp)
{
    ICredUI* dialog = NewDialog();
    ServiceThread service([dialog] {
        dialog->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
        HRESULT hr = dialog->GuiAsk(L"Going", 0, nullptr, 0);
        // No GuiEnd: the last reference goes while the window is up.
        dialog->Release();
        return hr;
    });
    ASSERT_TRUE(PumpUntil([] { return CredVisible() && Cred()->okButton->isEnabled(); }));
    QTest::keyClick(Cred()->okButton, Qt::Key_Return);
    ASSERT_TRUE(service.Finish());
    EXPECT_TRUE(PumpUntil([] { return !CredVisible(); }));

    // The queue is free for the next dialog.
    Ref<ICredUI> next(NewDialog());
    ICredUI* n = next;
    ServiceThread again([n] {
        n->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
        HRESULT hr = n->GuiAsk(L"Next", 0, nullptr, 0);
        n->GuiEnd();
        return hr;
    });
    ASSERT_TRUE(PumpUntil([] { return CredVisible() && Cred()->label2->text() == QStringLiteral("Next"); }));
    QTest::keyClick(Cred(), Qt::Key_Escape);
    ASSERT_TRUE(again.Finish());
    EXPECT_EQ(again.Result(), E_ABORT);
}

QSettings FramesFile()
{
    return QSettings(QString::fromStdString(TestHome() + "/config/kestrin/frames.ini"), QSettings::IniFormat);
}

// The host's GUI loop on this thread, with `during` run from inside it.
HRESULT RunLoop(IGUI* host, std::function<void()> during)
{
    QTimer::singleShot(0, [during] { during(); });
    return host->Run(nullptr);
}

class QuitTest : public DialogTest, public ::testing::WithParamInterface<bool> {};

TEST_P(QuitTest, EndsAWaitingPrompt)
{
    const bool afterMismatch = GetParam();
    Ref<ICredUI> dialog(NewDialog());
    Ref<ICredUIAsk> pin(NewField(dialog, ICredUIAsk::ASK_NEW_PIN));
    Ref<ICredUIAsk> confirm(NewField(dialog, ICredUIAsk::ASK_CONFIRM));
    ICredUI* d = dialog;
    ICredUIAsk* f1 = pin;
    ICredUIAsk* f2 = confirm;
    std::unique_ptr<ServiceThread> service;
    HRESULT run = RunLoop(m_host, [&] {
        service = std::make_unique<ServiceThread>([d, f1, f2] {
            d->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
            HRESULT hr = d->GuiAsk(L"PIN", f1, f2, nullptr, nullptr);
            d->GuiEnd();
            return hr;
        });
        ASSERT_TRUE(PromptUp("password1"));
        if (afterMismatch) {
            QTest::keyClicks(Edit("password1"), QStringLiteral("1"));
            QTest::keyClicks(Edit("password2"), QStringLiteral("2"));
            QTest::keyClick(Edit("password2"), Qt::Key_Return);
            ASSERT_TRUE(PumpUntil([] { return Alert() != nullptr; }));
        }
        Quit(false);
    });
    EXPECT_EQ(run, S_OK);
    ASSERT_TRUE(service);
    ASSERT_TRUE(service->Finish());
    EXPECT_EQ(service->Result(), E_ABORT);
    EXPECT_TRUE(GuiLoopEnded());
    QSettings frames = FramesFile();
    for (const char* name : {"Main", "Settings", "Credential", "Selection", "About"})
        EXPECT_TRUE(frames.contains(QStringLiteral("Frames/") + QString::fromLatin1(name))) << name;
    BeginGuiLoop();
}

INSTANTIATE_TEST_SUITE_P(PlainOrAfterMismatch, QuitTest, ::testing::Bool());

TEST_F(DialogTest, FramesComeBackAndCtrlRemovesThem)
{
    HRESULT run = RunLoop(m_host, [] {
        MainWindowController* main = MainWindowController::get();
        main->window()->resize(517, 333);
        Quit(false);
    });
    EXPECT_EQ(run, S_OK);
    BeginGuiLoop();
    EXPECT_EQ(MainWindowController::get()->window()->size(), QSize(517, 333));
    run = RunLoop(m_host, [] { Quit(true); });
    EXPECT_EQ(run, S_OK);
    BeginGuiLoop();
    EXPECT_FALSE(FramesFile().contains(QStringLiteral("Frames/Main")));
    EXPECT_FALSE(FramesFile().contains(QStringLiteral("Frames/About")));
}

TEST_F(DialogTest, NoTextOfOursFromOutsideTheBundle)
{
    CComObject<Texts>* texts = nullptr;
    CComObject<Texts>::CreateInstance(&texts);
    texts->AddRef();
    Ref<CComObject<Texts>> hold(texts);
    texts->brackets = true;
    ZELKGLUE_SetResourceManager(texts);
    DestroyWindows();

    AppDelegate delegate;
    delegate.applicationDidFinishLaunching();
    AboutWindowController::get()->show();
    Ref<ICredUI> dialog(NewDialog());
    Ref<ICredUIAsk> field(NewField(dialog, ICredUIAsk::ASK_PIN));
    field->SetLabel("\xc2\xab"
                    "LABEL\xc2\xbb");
    ICredUI* d = dialog;
    ICredUIAsk* f = field;
    ServiceThread service([d, f] {
        d->GuiStart(ICredUI::GUIMODE_DEFAULT, false);
        HRESULT hr = d->GuiAsk(L"\u00abPROMPT\u00bb", f, nullptr, nullptr, nullptr);
        d->GuiEnd();
        return hr;
    });
    ASSERT_TRUE(PromptUp("password1"));
    auto ours = [](const QString& text) {
        return text.isEmpty() || (text.startsWith(QChar(0xab)) && text.endsWith(QChar(0xbb)));
    };
    for (QWidget* widget : QApplication::allWidgets()) {
        const std::string name = widget->objectName().toStdString();
        QString shown;
        if (widget->isWindow() && widget->isVisible()) {
            EXPECT_TRUE(ours(widget->windowTitle())) << name << ": " << widget->windowTitle().toStdString();
        }
        if (auto* label = qobject_cast<QLabel*>(widget))
            shown = label->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(widget))
            shown = button->text();
        else if (auto* edit = qobject_cast<QLineEdit*>(widget))
            shown = edit->placeholderText();
        EXPECT_TRUE(ours(shown)) << name << ": " << shown.toStdString();
    }
    for (QAction* action : delegate.statusMenu->actions())
        EXPECT_TRUE(ours(action->text())) << action->objectName().toStdString();
    QTest::keyClick(Edit("password1"), Qt::Key_Escape);
    ASSERT_TRUE(service.Finish());
    DestroyWindows();
    ZELKGLUE_LoadResources();
}

}  // namespace
}  // namespace kestrin::app::test
