// The model-bound table over stand-in models: its rows and their order, the
// refreshes from model threads, the verbs on menus, keys, clicks and
// checkboxes, and the log-out of every row.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <memory>
#include <set>
#include <thread>

#include "app_test.h"
#include "appdelegate.h"
#include "credwindow.h"
#include "glue.h"
#include "model_fakes.h"
#include "queues.h"
#include "tablecell.h"
#include "tableview.h"
#include "windows.h"
#include "zelk_alloc.h"
#include "zelk_class.h"

namespace kestrin::app::test {
namespace {

using ZELK::PSESVC::IGUIVerb_State_Default;
using ZELK::PSESVC::IGUIVerb_State_Disabled;
using ZELK::PSESVC::IGUIVerb_State_Enabled;
using ZELK::PSESVC::IGUIVerb_State_Hidden;

class TableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        BeginGuiLoop();
        ZELKGLUE_SetHeadless(false);
        m_container = NewContainer();
        m_table = std::make_unique<TableView>();
        m_table->resize(400, 300);
        m_tester = std::make_unique<QAbstractItemModelTester>(m_table->tableModel(),
                                                              QAbstractItemModelTester::FailureReportingMode::Warning);
    }
    void TearDown() override
    {
        m_tester.reset();
        m_table.reset();
        for (FakeItem* item : m_items)
            item->Drop();
        m_container->Release();
    }

    FakeItem* Item(const std::string& key, bool notify = false)
    {
        FakeItem* item = NewItem(key);
        m_items.push_back(item);
        m_container->Add(static_cast<IGUIModelItem*>(item), notify);
        return item;
    }
    void Bind() { m_table->setContainerObject(static_cast<IGUIModelContainer*>(m_container)); }
    std::vector<FakeItem*> Rows() const
    {
        std::vector<FakeItem*> rows;
        for (uint64_t i = 0; i < m_table->rows(); ++i)
            rows.push_back(static_cast<FakeItem*>(m_table->rowItem(i)));
        return rows;
    }
    // Waits for the verb log to hold `count` entries.
    static bool Logged(VerbLog& log, size_t count)
    {
        return PumpUntil([&] { return log.Ran().size() >= count; });
    }

    CComObject<FakeContainer>* m_container = nullptr;
    std::vector<FakeItem*> m_items;
    std::unique_ptr<TableView> m_table;
    std::unique_ptr<QAbstractItemModelTester> m_tester;
};

TEST_F(TableTest, RowsFollowSortKeysLaterEqualFirstAndLeaveNonItemsOut)
{
    FakeItem* first = Item("K2");
    FakeItem* second = Item("K1");
    CComObject<NotAnItem>* other = nullptr;
    CComObject<NotAnItem>::CreateInstance(&other);
    m_container->Add(static_cast<IGUIModel*>(other), false);
    FakeItem* third = Item("K2");
    Bind();
    EXPECT_EQ(Rows(), (std::vector<FakeItem*> {second, third, first}));
    EXPECT_EQ(m_table->tableModel()->rowCount(), 3);
    EXPECT_EQ(m_container->viewers.Keys(), std::vector<unsigned long> {~0UL});
    EXPECT_EQ(second->viewers.Keys(), std::vector<unsigned long> {0});
    EXPECT_EQ(third->viewers.Keys(), std::vector<unsigned long> {1});
    EXPECT_EQ(first->viewers.Keys(), std::vector<unsigned long> {2});

    // Binding the same container again changes nothing.
    QSignalSpy resets(m_table->tableModel(), &QAbstractItemModel::modelReset);
    Bind();
    EXPECT_EQ(resets.count(), 0);
    EXPECT_EQ(m_container->viewers.Registrations(), 1);
    EXPECT_EQ(first->viewers.Registrations(), 1);

    // Unbinding empties the table and leaves no callback behind.
    m_table->setContainerObject(nullptr);
    EXPECT_EQ(m_table->rows(), 0u);
    EXPECT_TRUE(m_container->viewers.Keys().empty());
    EXPECT_TRUE(first->viewers.Keys().empty());
    // An object that is no container leaves it unbound; so does a class that cannot be made.
    m_table->setContainerObject(static_cast<IGUIModel*>(other));
    EXPECT_EQ(m_table->rows(), 0u);
    m_table->setContainer("zelk.no.such.container");
    EXPECT_EQ(m_table->rows(), 0u);
}

TEST_F(TableTest, RowRefreshRedrawsOneRowContainerRefreshReRegistersRows)
{
    FakeItem* a = Item("A");
    FakeItem* c = Item("C");
    FakeItem* b = Item("B");
    Bind();
    QSignalSpy changed(m_table->tableModel(), &QAbstractItemModel::dataChanged);
    QSignalSpy resets(m_table->tableModel(), &QAbstractItemModel::modelReset);
    c->viewers.Notify();
    ASSERT_TRUE(PumpUntil([&] { return changed.count() == 1; }));
    EXPECT_EQ(changed.at(0).at(0).toModelIndex().row(), 2);
    EXPECT_EQ(changed.at(0).at(1).toModelIndex().row(), 2);
    EXPECT_EQ(resets.count(), 0);
    // A row refresh past the rows (queued before a shortening rebuild) does nothing.
    m_table->refreshCB(7);
    EXPECT_EQ(changed.count(), 1);

    // Removing "A" moves every row up one index.
    m_container->RemoveAt(0);
    ASSERT_TRUE(PumpUntil([&] { return resets.count() == 1; }));
    EXPECT_EQ(Rows(), (std::vector<FakeItem*> {b, c}));
    EXPECT_TRUE(a->viewers.Keys().empty());
    EXPECT_EQ(b->viewers.Keys(), std::vector<unsigned long> {0});
    EXPECT_EQ(c->viewers.Keys(), std::vector<unsigned long> {1});
    m_table->refreshCB(2);
    EXPECT_EQ(changed.count(), 1);
}

// The texts are plain: markup shows as typed, and an item without text shows "".
TEST_F(TableTest, TextsArePlainAndMissingTextIsEmpty)
{
    FakeItem* marked = Item("A");
    marked->SetText("<b>Bold</b> & co");
    FakeItem* silent = Item("B");
    silent->hasText = false;
    Bind();
    TableModel* model = m_table->tableModel();
    EXPECT_EQ(model->data(model->index(0), Qt::DisplayRole).toString(), QStringLiteral("<b>Bold</b> & co"));
    EXPECT_EQ(model->data(model->index(1), Qt::DisplayRole).toString(), QString());
    EXPECT_FALSE(model->data(model->index(0), Qt::DecorationRole).value<QIcon>().isNull());
    EXPECT_EQ(model->data(model->index(0), Qt::SizeHintRole).toSize().height(), 48);
    m_table->show();
    QTest::qWait(20);
    EXPECT_EQ(m_table->rowHeight(0), 48);
}

// The local server's row is taller: it shows a line more.
TEST_F(TableTest, TheLocalServerRowIsTaller)
{
    Item("A");
    CComObject<FakeLocalServerItem>* server = nullptr;
    ASSERT_EQ(CComObject<FakeLocalServerItem>::CreateInstance(&server), S_OK);
    server->AddRef();
    m_container->Add(static_cast<ZELK::PSESVC::IGUIModelLocalServer*>(server), false);
    Bind();
    TableModel* model = m_table->tableModel();
    ASSERT_EQ(model->rowCount(), 2);
    EXPECT_EQ(model->data(model->index(0), Qt::SizeHintRole).toSize().height(), 58);
    EXPECT_EQ(model->data(model->index(1), Qt::SizeHintRole).toSize().height(), 48);
    m_table->show();
    QTest::qWait(20);
    EXPECT_EQ(m_table->rowHeight(0), 58);
    EXPECT_EQ(m_table->rowHeight(1), 48);
    m_table->setContainerObject(nullptr);
    static_cast<ZELK::PSESVC::IGUIModelLocalServer*>(server)->Release();
}

TEST_F(TableTest, ManyChangesFromAnotherThreadGiveFewRebuildsAndTheRightRows)
{
    Bind();
    QSignalSpy resets(m_table->tableModel(), &QAbstractItemModel::modelReset);
    std::vector<FakeItem*> made;
    for (int i = 0; i < 1000; ++i)
        made.push_back(NewItem("K" + std::to_string(1000 + (i * 7919) % 1000)));
    std::thread changer([&] {
        for (FakeItem* item : made)
            m_container->Add(static_cast<IGUIModelItem*>(item));
    });
    ASSERT_TRUE(PumpUntil([&] { return m_table->rows() == 1000 && resets.count() > 0; }, 30000));
    changer.join();
    QApplication::processEvents();
    EXPECT_LT(resets.count(), 500);
    for (uint64_t i = 0; i < 1000; ++i) {
        EXPECT_EQ(Rows()[i]->sortKey, "K" + std::to_string(1000 + i));
        EXPECT_EQ(Rows()[i]->viewers.Keys(), std::vector<unsigned long> {i});
    }
    for (FakeItem* item : made)
        item->Drop();
}

// Run under the sanitizers: the refreshes keep coming while the table goes.
TEST_F(TableTest, TableDiesWhileAModelNotifies)
{
    FakeItem* a = Item("A");
    Item("B");
    for (int round = 0; round < 20; ++round) {
        auto table = std::make_unique<TableView>();
        table->setContainerObject(static_cast<IGUIModelContainer*>(m_container));
        std::atomic<bool> stop {false};
        std::thread notifier([&] {
            while (!stop) {
                m_container->viewers.Notify();
                a->viewers.Notify();
            }
        });
        QTest::qWait(5);
        table.reset();
        stop = true;
        notifier.join();
        QApplication::processEvents();
        EXPECT_TRUE(m_container->viewers.Keys().empty());
        EXPECT_TRUE(a->viewers.Keys().empty());
    }
}

TEST_F(TableTest, MenuLeavesHiddenOutGreysDisabledAndRunsBothLogouts)
{
    VerbLog log;
    FakeItem* row = Item("A");
    row->AddVerb("verb.login", IGUIVerb_State_Default, &log);
    row->AddVerb("verb.secret", IGUIVerb_State_Hidden, &log);
    row->AddVerb("verb.off", IGUIVerb_State_Disabled, &log);
    row->AddVerb("verb.logout", IGUIVerb_State_Enabled, &log, "first logout");
    row->AddVerb("verb.logout", IGUIVerb_State_Enabled, &log, "second logout");
    FakeItem* bare = Item("B");
    bare->hasVerbs = false;
    Item("C");
    Bind();

    std::unique_ptr<QMenu> menu(m_table->menuForRow(0));
    ASSERT_TRUE(menu);
    const QList<QAction*> entries = menu->actions();
    ASSERT_EQ(entries.size(), 4);
    EXPECT_EQ(entries[0]->text(), QStringLiteral("Do verb.login"));
    EXPECT_EQ(entries[1]->data().toString(), QStringLiteral("verb.off"));
    EXPECT_FALSE(entries[1]->isEnabled());
    EXPECT_TRUE(entries[2]->isEnabled());
    EXPECT_EQ(entries[2]->data().toString(), QStringLiteral("verb.logout"));
    EXPECT_EQ(m_table->menuForRow(1), nullptr);
    EXPECT_EQ(m_table->menuForRow(2), nullptr);
    EXPECT_EQ(m_table->menuForRow(3), nullptr);

    // Choosing the entry runs every verb of that name, in list order, even
    // when the rows changed since the menu was built.
    m_container->RemoveAt(0);
    QApplication::processEvents();
    entries[2]->trigger();
    ASSERT_TRUE(Logged(log, 2));
    QTest::qWait(50);
    const std::vector<std::string> ran = log.Ran();
    ASSERT_EQ(ran.size(), 2u);
    EXPECT_EQ(std::set<std::string>(ran.begin(), ran.end()), (std::set<std::string> {"first logout", "second logout"}));
}

TEST_F(TableTest, RightClickBelowTheRowsAndMenuKeyAtTheSelectedRow)
{
    FakeItem* row = Item("A");
    row->AddVerb("verb.login", IGUIVerb_State_Default);
    Bind();
    m_table->show();
    QTest::qWait(20);
    QContextMenuEvent below(QContextMenuEvent::Mouse, QPoint(20, 250),
                            m_table->viewport()->mapToGlobal(QPoint(20, 250)));
    QApplication::sendEvent(m_table->viewport(), &below);
    EXPECT_EQ(m_table->findChild<QMenu*>(QStringLiteral("rowMenu")), nullptr);

    QTest::keyClick(m_table.get(), Qt::Key_Menu);
    EXPECT_EQ(m_table->findChild<QMenu*>(QStringLiteral("rowMenu")), nullptr);
    m_table->selectRow(0);
    QTest::keyClick(m_table.get(), Qt::Key_Menu);
    QMenu* menu = m_table->findChild<QMenu*>(QStringLiteral("rowMenu"));
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->actions().size(), 1);
    menu->close();
}

TEST_F(TableTest, ReturnAndDoubleClickRunTheFirstDefaultVerbOnly)
{
    VerbLog log;
    FakeItem* alpha = Item("A");
    alpha->AddVerb("verb.one", IGUIVerb_State_Enabled, &log);
    alpha->AddVerb("verb.two", IGUIVerb_State_Hidden, &log);
    alpha->AddVerb("verb.three", IGUIVerb_State_Default, &log);
    alpha->AddVerb("verb.four", IGUIVerb_State_Default, &log);
    FakeItem* bravo = Item("B");
    bravo->SetText("bravo");
    bravo->AddVerb("verb.five", IGUIVerb_State_Enabled, &log);
    Bind();
    m_table->show();
    QTest::qWait(20);

    QTest::keyClick(m_table.get(), Qt::Key_Return);
    QTest::qWait(50);
    EXPECT_TRUE(log.Ran().empty());
    m_table->selectRow(0);
    QTest::keyClick(m_table.get(), Qt::Key_Return);
    ASSERT_TRUE(Logged(log, 1));
    QTest::keyClick(m_table.get(), Qt::Key_Enter);
    ASSERT_TRUE(Logged(log, 2));
    // A letter goes to the table's own search, which selects the row that starts with it.
    QTest::keyClick(m_table.get(), Qt::Key_B);
    EXPECT_EQ(m_table->getSelectedObject(), static_cast<IGUIModel*>(static_cast<IGUIModelItem*>(bravo)));
    QTest::keyClick(m_table.get(), Qt::Key_Return);
    QTest::mouseDClick(m_table->viewport(), Qt::LeftButton, {},
                       m_table->visualRect(m_table->tableModel()->index(0)).center());
    ASSERT_TRUE(Logged(log, 3));
    QTest::mouseDClick(m_table->viewport(), Qt::LeftButton, {}, QPoint(20, 250));
    QTest::qWait(50);
    EXPECT_EQ(log.Ran(), (std::vector<std::string> {"A:verb.three", "A:verb.three", "A:verb.three"}));
}

TEST_F(TableTest, CheckboxRunsUseForAndReloadsOtherVerbsDoNot)
{
    VerbLog log;
    FakeItem* plain = Item("A");
    plain->AddVerb("verb.usefor.qev", IGUIVerb_State_Enabled, &log);
    FakeItem* chosen = Item("B");
    chosen->hasApps = true;
    FakeItem* other = Item("C");
    other->hasApps = true;
    FakeVerb* useFor = chosen->AddVerb("verb.usefor.qev", IGUIVerb_State_Enabled, &log);
    useFor->action = [chosen, other](ZELK::PSESVC::ICredUI*) {
        chosen->selected = !chosen->selected;
        other->selected = false;
    };
    chosen->AddVerb("verb.login", IGUIVerb_State_Enabled, &log);
    Bind();
    m_table->show();
    QTest::qWait(20);
    TableModel* model = m_table->tableModel();
    EXPECT_FALSE(model->data(model->index(0), Qt::CheckStateRole).isValid());
    EXPECT_EQ(model->data(model->index(1), Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Unchecked);

    QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
    const QRect row = m_table->visualRect(model->index(1));
    QTest::mouseClick(m_table->viewport(), Qt::LeftButton, {}, TableCell::CheckboxRect(row).center());
    ASSERT_TRUE(PumpUntil([&] { return changed.count() == 1; }));
    EXPECT_EQ(changed.at(0).at(0).toModelIndex().row(), 0);
    EXPECT_EQ(changed.at(0).at(1).toModelIndex().row(), 2);
    EXPECT_EQ(model->data(model->index(1), Qt::CheckStateRole).value<Qt::CheckState>(), Qt::Checked);
    // The row without a checkbox takes no click there.
    QTest::mouseClick(m_table->viewport(), Qt::LeftButton, {},
                      TableCell::CheckboxRect(m_table->visualRect(model->index(0))).center());
    QTest::qWait(50);
    EXPECT_EQ(log.Ran().size(), 1u);

    // From the menu: "verb.usefor.qev" reloads, another verb does not.
    std::unique_ptr<QMenu> menu(m_table->menuForRow(1));
    menu->actions()[0]->trigger();
    ASSERT_TRUE(PumpUntil([&] { return changed.count() == 2; }));
    menu->actions()[1]->trigger();
    ASSERT_TRUE(Logged(log, 3));
    QTest::qWait(100);
    EXPECT_EQ(changed.count(), 2);
    // A stale tag does nothing.
    m_table->onCheckbox(9);
    QTest::qWait(50);
    EXPECT_EQ(log.Ran().size(), 3u);
}

TEST_F(TableTest, LogOutAllRunsSideBySideOrOneAfterAnother)
{
    m_table->onLogOutAll(true);
    m_table->onLogOutAll(false);

    VerbLog log;
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0;
    int most = 0;
    auto meet = [&](ZELK::PSESVC::ICredUI*) {
        std::unique_lock<std::mutex> lock(mutex);
        most = std::max(most, ++running);
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(10), [&] { return most >= 2; });
        --running;
    };
    FakeItem* a = Item("A");
    a->AddVerb("verb.logout", IGUIVerb_State_Enabled, &log)->action = meet;
    FakeItem* b = Item("B");
    b->AddVerb("verb.logout", IGUIVerb_State_Enabled, &log)->action = meet;
    FakeItem* c = Item("C");
    c->hasVerbs = false;
    Bind();
    m_table->onLogOutAll(true);
    ASSERT_TRUE(Logged(log, 2));
    EXPECT_EQ(most, 2);

    // The waiting form on the GUI thread: one after another, ended on return.
    most = 0;
    std::vector<std::string> order;
    auto alone = [&](ZELK::PSESVC::ICredUI*) {
        std::lock_guard<std::mutex> lock(mutex);
        most = std::max(most, ++running);
        --running;
    };
    a->verbs[0]->Release();
    a->verbs.clear();
    b->verbs[0]->Release();
    b->verbs.clear();
    a->AddVerb("verb.logout", IGUIVerb_State_Enabled, &log, "a")->action = alone;
    b->AddVerb("verb.logout", IGUIVerb_State_Enabled, &log, "b")->action = alone;
    m_table->onLogOutAll(false);
    const std::vector<std::string> ran = log.Ran();
    ASSERT_EQ(ran.size(), 4u);
    EXPECT_EQ(ran[2], "a");
    EXPECT_EQ(ran[3], "b");
    EXPECT_EQ(most, 1);
}

// Quit logs every profile out while the GUI loop still serves the log-out's
// prompt, which the user cancels.
TEST_F(TableTest, QuitWithAPromptingLogoutDoesNotHang)
{
    ZELK::PSESVC::IGUI* host = nullptr;
    ASSERT_EQ(ZELK_CreateObject("zelkgui", "zelk.gui", IID_IGUI, reinterpret_cast<void**>(&host)), S_OK);
    VerbLog log;
    FakeItem* row = Item("A");
    row->AddVerb("verb.logout", IGUIVerb_State_Enabled, &log)->action = [](ZELK::PSESVC::ICredUI* dialog) {
        ZELK::PSESVC::ICredUIAsk* field = nullptr;
        dialog->GuiGetAskObject(&field, ZELK::PSESVC::ICredUIAsk::ASK_PASSWORD, nullptr);
        dialog->GuiAsk(L"Password?", field, nullptr, nullptr, nullptr);
        if (field)
            field->Release();
    };
    TableView* profiles = MainWindowController::get()->content()->tableView;
    profiles->setContainerObject(static_cast<IGUIModelContainer*>(m_container));
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [] {
        CredentialViewController* cred = CredentialWindowController::get()->content();
        if (cred->isVisible())
            QTest::mouseClick(cred->cancelButton, Qt::LeftButton);
    });
    answer.start(20);
    QTimer::singleShot(0, [] { Quit(false); });
    EXPECT_EQ(host->Run(nullptr), S_OK);
    answer.stop();
    EXPECT_EQ(log.Ran().size(), 1u);
    // The windows went with the loop, and the profile table unregistered.
    EXPECT_TRUE(m_container->viewers.Keys().empty());
    EXPECT_TRUE(row->viewers.Keys().empty());
    BeginGuiLoop();
    host->Release();
}

TEST(RowArray, FailedGrowthKeepsTheRows)
{
    static int calls = 0;
    calls = 0;
    AuxRefArray<IGUIModelItem> rows(
        [](void* p, size_t size) -> void* { return ++calls > 1 ? nullptr : sec_realloc(p, size); });
    std::vector<FakeItem*> items;
    for (int i = 0; i < 17; ++i)
        items.push_back(NewItem("K" + std::to_string(i)));
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(rows.Add(items[i]), S_OK);
    EXPECT_EQ(rows.Add(items[16]), E_OUTOFMEMORY);
    EXPECT_EQ(rows.Count(), 16u);
    EXPECT_EQ(rows.At(15), static_cast<IGUIModelItem*>(items[15]));
    EXPECT_EQ(rows.Add(nullptr), S_FALSE);
    rows.Free();
    for (FakeItem* item : items)
        EXPECT_EQ(item->Drop(), 0);
}

}  // namespace
}  // namespace kestrin::app::test
