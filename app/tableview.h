// The model-bound table: one row per item of a GUI-model container, in the
// order of the items' sort keys, kept current through one refresh callback
// registered on the container (key ~0) and on every row (key = row index).
// Each row offers its verbs on a context menu, on Return and on a double
// click; a verb runs on a thread of its own with its own credential dialog.
//
// Rows are changed on the GUI thread only, under the table's recursive lock,
// which the log-out of every row also holds while it walks them.
#pragma once

#include <QAbstractListModel>
#include <QMenu>
#include <QString>
#include <QTableView>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "rowarray.h"
#include "zelk_gui_model.h"
#include "zelk_ptr.h"

namespace kestrin::app {

class TableView;

// The callback of a table: called on any model thread with the model's
// callback lock held, it only posts to the GUI thread, through a guard that
// the table empties when it goes. Container refreshes still waiting give one
// rebuild.
class TableViewCallback final : public ZELK::PSESVC::IGUIRefreshCB {
public:
    struct Guard {
        TableView* table = nullptr;  // GUI thread only
        std::atomic<bool> rebuildPending {false};
    };

    TableViewCallback() : m_guard(std::make_shared<Guard>()) {}
    HRESULT RefreshCB(unsigned long key) override;

    // GUI thread.
    void setTable(TableView* table) { m_guard->table = table; }

private:
    std::shared_ptr<Guard> m_guard;
};

// The rows as Qt's item models see them: one column, the item's text and
// picture, a check state for items that answer IGUIModelSelectedApps.
class TableModel : public QAbstractListModel {
public:
    explicit TableModel(TableView* table);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    void setHeader(const QString& text);
    void beginRebuild() { beginResetModel(); }
    void endRebuild() { endResetModel(); }
    void rowChanged(int row);
    void allChanged();

private:
    TableView* m_table;
    QString m_header;
};

class TableView : public QTableView {
public:
    using ContainerPtr = CComPtr<CComIID<ZELK::PSESVC::IGUIModelContainer, &IID_IGUIModelContainer>>;
    using VerbsPtr = CComPtr<CComIID<ZELK::PSESVC::IGUIVerbs, &IID_IGUIVerbs>>;

    explicit TableView(QWidget* parent = nullptr);
    // Unregisters from the container and every row; a refresh running on a
    // model thread ends first, and earlier posts find the table gone.
    ~TableView() override;

    // Binds the container of that class name of module "zelk"; unbound when
    // it cannot be made.
    void setContainer(const char* name);
    // Binds the object's container; NULL or a non-container unbinds.
    void setContainerObject(IUnknown* object);
    // The selected row's item, no reference added; NULL without one.
    ZELK::PSESVC::IGUIModel* getSelectedObject() const;
    void setActionOnSelectionDidChange(std::function<void()> block);
    // "verb.logout" on every row: side by side, or one after another while
    // the caller waits.
    void onLogOutAll(bool async);
    // GUI thread: ~0 rebuilds the rows, k redraws row k (ignored past the rows).
    void refreshCB(unsigned long key);
    void setHeaderText(const QString& text) { m_model->setHeader(text); }

    // The context menu of a row (NULL without verbs or past the rows); its
    // entries carry the verb names as data and run them.
    QMenu* menuForRow(int row);
    void onCtxMenu(const QString& name);
    void onCheckbox(int row);
    // The first default verb of the row, if any.
    void runDefaultVerb(int row);

    void doVerb(ZELK::PSESVC::IGUIVerbs* verbs, const char* name);
    void doVerbNow(ZELK::PSESVC::IGUIVerbs* verbs, const char* name);
    void doVerb(ZELK::PSESVC::IGUIVerb* verb, bool reload);
    void doVerbNow(ZELK::PSESVC::IGUIVerb* verb, bool reload);

    // GUI thread: the rows (NULL past the last).
    uint64_t rows() const { return m_apCurrentModels.Count(); }
    ZELK::PSESVC::IGUIModelItem* rowItem(uint64_t row) const { return m_apCurrentModels.At(row); }
    TableModel* tableModel() const { return m_model; }

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    void rebuild();
    void unregisterRows();
    void popupMenu(int row, const QPoint& at);
    std::function<void()> reloader();

    ContainerPtr m_pContainer;
    VerbsPtr m_pCurrentVerbs;
    std::function<void()> m_actionOnSelectionDidChange;
    AuxRefArray<ZELK::PSESVC::IGUIModelItem> m_apCurrentModels;
    TableViewCallback m_cb;
    std::recursive_mutex m_lock;
    TableModel* m_model;
};

}  // namespace kestrin::app
