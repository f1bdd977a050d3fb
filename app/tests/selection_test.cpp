// The selection dialog as the broker drives it from service threads, with
// the user's clicks and keys on the selection window.
#include "selection.h"

#include <gtest/gtest.h>

#include <QTest>

#include "app_test.h"
#include "creddlg.h"
#include "glue.h"
#include "model_fakes.h"
#include "queues.h"
#include "selectiondlg.h"
#include "windows.h"
#include "zelk_class.h"

namespace kestrin::app::test {
namespace {

using ZELK::PSESVC::ICredUI;
using ZELK::PSESVC::ISelectionUI;

SelectionViewController* View()
{
    return SelectionWindowController::getViewController();
}

bool Shown()
{
    return View()->isVisible();
}

class SelectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        BeginGuiLoop();
        ZELKGLUE_SetHeadless(false);
        for (auto** container : {&m_primary, &m_alternative, &m_other})
            *container = NewContainer();
        m_a = Add(m_primary, "A");
        m_b = Add(m_primary, "B");
        m_c = Add(m_alternative, "C");
        m_x = Add(m_other, "X");
    }
    void TearDown() override
    {
        EXPECT_TRUE(PumpUntil([] { return !Shown(); }));
        for (FakeItem* item : m_items)
            item->Drop();
        for (auto* container : {m_primary, m_alternative, m_other})
            container->Release();
    }

    FakeItem* Add(FakeContainer* container, const char* key)
    {
        FakeItem* item = NewItem(key);
        container->Add(static_cast<IGUIModelItem*>(item), false);
        m_items.push_back(item);
        return item;
    }
    static ISelectionUI* NewDialog()
    {
        ISelectionUI* dialog = nullptr;
        EXPECT_EQ(
            ZELK_CreateObject("zelkgui", "zelk.dlgselection", IID_ISelectionUI, reinterpret_cast<void**>(&dialog)),
            S_OK);
        return dialog;
    }
    // A selection on a service thread; the chosen element goes to `chosen`.
    static std::unique_ptr<ServiceThread> Select(IGUIModelContainer* primary, IGUIModelContainer* alternative,
                                                 IUnknown** chosen, const wchar_t* text = L"Choose one")
    {
        return std::make_unique<ServiceThread>([=] {
            Ref<ISelectionUI> dialog(NewDialog());
            return dialog->GuiSelectEx(L"The caption", text, L"Nothing here", primary, alternative, chosen);
        });
    }
    static void Pick(int row) { View()->tableView->selectRow(row); }
    static IGUIModelContainer* C(FakeContainer* container) { return container; }

    CComObject<FakeContainer>* m_primary = nullptr;
    CComObject<FakeContainer>* m_alternative = nullptr;
    CComObject<FakeContainer>* m_other = nullptr;
    FakeItem* m_a = nullptr;
    FakeItem* m_b = nullptr;
    FakeItem* m_c = nullptr;
    FakeItem* m_x = nullptr;
    std::vector<FakeItem*> m_items;
};

TEST_F(SelectionTest, OkFollowsTheSelectionAndGivesOneReference)
{
    IUnknown* chosen = nullptr;
    auto service = Select(C(m_primary), C(m_alternative), &chosen);
    ASSERT_TRUE(PumpUntil(Shown));
    SelectionViewController* view = View();
    EXPECT_EQ(view->windowTitle(), ZELKGLUE_GetText("DLG_SELECTION_TITLE"));
    EXPECT_EQ(view->textField->text(), QStringLiteral("Choose one"));
    EXPECT_TRUE(view->buttonShowAll->isVisible());
    EXPECT_FALSE(view->buttonOK->isEnabled());
    // Neither the caption nor the no-elements text shows anywhere.
    for (QWidget* widget : QApplication::allWidgets())
        for (const QString& shown : {widget->windowTitle(), widget->property("text").toString()}) {
            EXPECT_FALSE(shown.contains(QStringLiteral("The caption")));
            EXPECT_FALSE(shown.contains(QStringLiteral("Nothing here")));
        }
    Pick(1);
    EXPECT_TRUE(view->buttonOK->isEnabled());
    view->tableView->clearSelection();
    EXPECT_FALSE(view->buttonOK->isEnabled());
    // The alternative list, then back.
    QTest::mouseClick(view->buttonShowAll, Qt::LeftButton, {}, QPoint(5, view->buttonShowAll->height() / 2));
    ASSERT_EQ(view->tableView->rows(), 1u);
    EXPECT_EQ(view->tableView->rowItem(0), static_cast<IGUIModelItem*>(m_c));
    EXPECT_FALSE(view->buttonOK->isEnabled());
    view->buttonShowAll->setChecked(false);
    ASSERT_EQ(view->tableView->rows(), 2u);
    Pick(1);
    QTest::mouseClick(view->buttonOK, Qt::LeftButton);
    ASSERT_TRUE(service->Finish());
    EXPECT_EQ(service->Result(), S_OK);
    EXPECT_EQ(chosen, static_cast<IUnknown*>(static_cast<IGUIModelItem*>(m_b)));
    // The test and the container hold one each, the caller one.
    EXPECT_EQ(chosen->Release(), 2);
    // The window lets the lists go with the selection.
    EXPECT_EQ(View()->tableView->rows(), 0u);
    EXPECT_TRUE(m_primary->viewers.Keys().empty());
}

TEST_F(SelectionTest, CancelEscapeAndReturnWithoutAlternative)
{
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        IUnknown* chosen = reinterpret_cast<IUnknown*>(0x1);
        auto service = Select(C(m_primary), nullptr, &chosen);
        ASSERT_TRUE(PumpUntil(Shown));
        EXPECT_FALSE(View()->buttonShowAll->isVisible());
        QWidget* table = View()->tableView;
        if (way == 0) {
            QTest::mouseClick(View()->buttonCancel, Qt::LeftButton);
        } else if (way == 1) {
            QTest::keyClick(table, Qt::Key_Escape);
        } else {
            // Return is OK only while OK is enabled.
            QTest::keyClick(table, Qt::Key_Return);
            QTest::qWait(50);
            EXPECT_FALSE(service->Done());
            Pick(0);
            QTest::keyClick(table, Qt::Key_Return);
        }
        ASSERT_TRUE(service->Finish());
        if (way < 2) {
            EXPECT_EQ(service->Result(), SELECTION_CANCELLED);
            EXPECT_EQ(chosen, reinterpret_cast<IUnknown*>(0x1));
        } else {
            EXPECT_EQ(service->Result(), S_OK);
            EXPECT_EQ(chosen, static_cast<IUnknown*>(static_cast<IGUIModelItem*>(m_a)));
            chosen->Release();
        }
        ASSERT_TRUE(PumpUntil([] { return !Shown(); }));
    }
}

// An earlier OK is not the answer of the next selection that quit ends.
TEST_F(SelectionTest, DoneAfterAnEarlierOkCancels)
{
    IUnknown* chosen = nullptr;
    auto first = Select(C(m_primary), nullptr, &chosen);
    ASSERT_TRUE(PumpUntil(Shown));
    Pick(0);
    QTest::mouseClick(View()->buttonOK, Qt::LeftButton);
    ASSERT_TRUE(first->Finish());
    ASSERT_EQ(first->Result(), S_OK);
    chosen->Release();
    chosen = nullptr;
    ASSERT_TRUE(PumpUntil([] { return !Shown(); }));
    auto second = Select(C(m_primary), nullptr, &chosen);
    ASSERT_TRUE(PumpUntil(Shown));
    Pick(0);
    SelectionWindowController::get()->done();
    ASSERT_TRUE(second->Finish());
    EXPECT_EQ(second->Result(), SELECTION_CANCELLED);
    EXPECT_EQ(chosen, nullptr);
}

// A second selection waits for the first; neither sees the other's list.
TEST_F(SelectionTest, TwoSelectionsAreSerialisedAndNeverMixed)
{
    IUnknown* firstChosen = nullptr;
    IUnknown* secondChosen = nullptr;
    auto first = Select(C(m_primary), nullptr, &firstChosen, L"first");
    ASSERT_TRUE(PumpUntil(Shown));
    auto second = Select(C(m_other), nullptr, &secondChosen, L"second");
    QTest::qWait(100);
    EXPECT_EQ(View()->textField->text(), QStringLiteral("first"));
    ASSERT_EQ(View()->tableView->rows(), 2u);
    Pick(1);
    QTest::mouseClick(View()->buttonOK, Qt::LeftButton);
    ASSERT_TRUE(first->Finish());
    EXPECT_EQ(firstChosen, static_cast<IUnknown*>(static_cast<IGUIModelItem*>(m_b)));
    ASSERT_TRUE(PumpUntil([] { return Shown() && View()->textField->text() == QStringLiteral("second"); }));
    EXPECT_FALSE(View()->buttonOK->isEnabled());
    ASSERT_EQ(View()->tableView->rows(), 1u);
    Pick(0);
    QTest::mouseClick(View()->buttonOK, Qt::LeftButton);
    ASSERT_TRUE(second->Finish());
    EXPECT_EQ(secondChosen, static_cast<IUnknown*>(static_cast<IGUIModelItem*>(m_x)));
    firstChosen->Release();
    secondChosen->Release();
}

// A credential dialog holds "kvc.ui": the selection comes up when it ends.
TEST_F(SelectionTest, SelectionWaitsForARunningCredentialDialog)
{
    ICredUI* cred = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelkgui", "zelk.dlgcred", IID_ICredUI, reinterpret_cast<void**>(&cred)), S_OK);
    ServiceThread start([cred] { return cred->GuiStart(ICredUI::GUIMODE_DEFAULT, false); });
    ASSERT_TRUE(start.Finish());
    IUnknown* chosen = nullptr;
    auto service = Select(C(m_primary), nullptr, &chosen);
    QTest::qWait(150);
    EXPECT_FALSE(Shown());
    ServiceThread end([cred] { return cred->GuiEnd(); });
    ASSERT_TRUE(end.Finish());
    ASSERT_TRUE(PumpUntil(Shown));
    View()->onCancel();
    ASSERT_TRUE(service->Finish());
    EXPECT_EQ(service->Result(), SELECTION_CANCELLED);
    cred->Release();
}

TEST_F(SelectionTest, RefusedOnTheGuiThreadAndOnTheDialogQueue)
{
    Ref<ISelectionUI> dialog(NewDialog());
    IUnknown* chosen = nullptr;
    EXPECT_EQ(dialog->GuiSelect(L"c", L"t", C(m_primary), &chosen), E_UNEXPECTED);
    HRESULT onQueue = S_OK;
    ISelectionUI* d = dialog;
    IGUIModelContainer* primary = C(m_primary);
    ServiceThread service([&onQueue, d, primary, &chosen] {
        ZELKGLUE_DispatchAndWait([&] { onQueue = d->GuiSelect(L"c", L"t", primary, &chosen); });
        return S_OK;
    });
    ASSERT_TRUE(service.Finish());
    EXPECT_EQ(onQueue, E_UNEXPECTED);
    EXPECT_EQ(chosen, nullptr);
}

}  // namespace
}  // namespace kestrin::app::test
