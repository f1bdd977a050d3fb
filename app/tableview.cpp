#include "tableview.h"

#include <QContextMenuEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPointer>
#include <QTimer>
#include <cstring>

#include "glue.h"
#include "queues.h"
#include "tablecell.h"
#include "verbrunner.h"
#include "zelk_alloc.h"
#include "zelk_class.h"
#include "zelk_trace.h"

namespace kestrin::app {
namespace {

using ZELK::PSESVC::IGUIModel;
using ZELK::PSESVC::IGUIModelContainer;
using ZELK::PSESVC::IGUIModelItem;
using ZELK::PSESVC::IGUIModelLocalServer;
using ZELK::PSESVC::IGUIModelSelectedApps;
using ZELK::PSESVC::IGUIVerb;
using ZELK::PSESVC::IGUIVerbs;

constexpr unsigned long kAll = ~0UL;
const char* const kUseFor = "verb.usefor.qev";

// Where a new item goes among the sorted ones: before the first entry that
// does not sort before it, so of equal keys the later element stands first.
uint64_t InsertAt(IGUIModelItem** sorted, uint64_t count, IGUIModelItem* item)
{
    uint64_t low = 0;
    uint64_t high = count;
    while (low < high) {
        const uint64_t mid = low + (high - low) / 2;
        if (sorted[mid]->ItemCompare(item) < 0)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

}  // namespace

HRESULT TableViewCallback::RefreshCB(unsigned long key)
{
    std::shared_ptr<Guard> guard = m_guard;
    if (key == kAll && guard->rebuildPending.exchange(true))
        return S_OK;
    PostToGui([guard, key] {
        if (key == kAll)
            guard->rebuildPending = false;
        if (guard->table)
            guard->table->refreshCB(key);
    });
    return S_OK;
}

TableModel::TableModel(TableView* table) : QAbstractListModel(table), m_table(table) {}

int TableModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    const uint64_t rows = m_table->rows();
    return rows > INT32_MAX ? INT32_MAX : static_cast<int>(rows);
}

QVariant TableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.column() != 0 || index.row() < 0)
        return QVariant();
    IGUIModelItem* item = m_table->rowItem(static_cast<uint64_t>(index.row()));
    if (item == nullptr)
        return QVariant();
    switch (role) {
    case Qt::DisplayRole:
    case Qt::DecorationRole: {
        ZELK::PSESVC::IGUIItem_Icon icon = ZELK::PSESVC::ICON_NONE;
        char* text = nullptr;
        if (FAILED(item->GetItemInfo(&icon, &text))) {
            sec_free(text);
            return role == Qt::DisplayRole ? QVariant(QString()) : QVariant();
        }
        const QString shown = text ? QString::fromUtf8(text) : QString();
        sec_free(text);
        if (role == Qt::DisplayRole)
            return shown;
        return ZELKGLUE_GetImage(icon);
    }
    case Qt::CheckStateRole: {
        CComPtr<CComIID<IGUIModelSelectedApps, &IID_IGUIModelSelectedApps>> apps(item);
        if (apps == nullptr)
            return QVariant();
        return apps->GetSelectedApp(0) ? Qt::Checked : Qt::Unchecked;
    }
    case Qt::SizeHintRole: {
        CComPtr<CComIID<IGUIModelLocalServer, &IID_IGUIModelLocalServer>> server(item);
        return QSize(-1, server != nullptr ? TableCell::kLocalServerRowHeight : TableCell::kRowHeight);
    }
    default:
        return QVariant();
    }
}

QVariant TableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_header;
    return QVariant();
}

Qt::ItemFlags TableModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void TableModel::setHeader(const QString& text)
{
    m_header = text;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
}

void TableModel::rowChanged(int row)
{
    emit dataChanged(index(row), index(row));
}

void TableModel::allChanged()
{
    const int count = rowCount();
    if (count > 0)
        emit dataChanged(index(0), index(count - 1));
}

TableView::TableView(QWidget* parent) : QTableView(parent), m_model(new TableModel(this))
{
    setModel(m_model);
    setItemDelegate(new TableCell(this));
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setShowGrid(false);
    setWordWrap(false);
    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    horizontalHeader()->setStretchLastSection(true);
    horizontalHeader()->hide();
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (m_actionOnSelectionDidChange)
            m_actionOnSelectionDidChange();
    });
}

TableView::~TableView()
{
    m_cb.setTable(nullptr);
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    unregisterRows();
    if (m_pContainer)
        m_pContainer->UnRegisterCallback(&m_cb, kAll);
    m_pContainer = nullptr;
    m_model->beginRebuild();
    m_apCurrentModels.Free();
    m_model->endRebuild();
}

void TableView::setContainer(const char* name)
{
    IUnknown* object = nullptr;
    if (name)
        ZELK_CreateObject("zelk", name, IID_IGUIModelContainer, reinterpret_cast<void**>(&object));
    setContainerObject(object);
    if (object)
        object->Release();
}

void TableView::setContainerObject(IUnknown* object)
{
    ContainerPtr container;
    if (object)
        container = object;
    if (container == m_pContainer)
        return;
    if (m_pContainer) {
        m_pContainer->UnRegisterCallback(&m_cb, kAll);
        m_pContainer = nullptr;
        refreshCB(kAll);
    }
    m_pContainer = container;
    if (m_pContainer) {
        m_cb.setTable(this);
        m_pContainer->GetElementCount();
        m_pContainer->RegisterCallback(&m_cb, kAll);
        refreshCB(kAll);
    }
}

IGUIModel* TableView::getSelectedObject() const
{
    const QModelIndexList selected = selectionModel()->selectedRows();
    if (selected.isEmpty() || selected.first().row() < 0)
        return nullptr;
    return rowItem(static_cast<uint64_t>(selected.first().row()));
}

void TableView::setActionOnSelectionDidChange(std::function<void()> block)
{
    m_actionOnSelectionDidChange = std::move(block);
}

void TableView::refreshCB(unsigned long key)
{
    if (key == kAll) {
        rebuild();
        return;
    }
    if (key < rows())
        m_model->rowChanged(static_cast<int>(key));
}

void TableView::unregisterRows()
{
    for (uint64_t i = 0; i < m_apCurrentModels.Count(); ++i)
        m_apCurrentModels.At(i)->UnRegisterCallback(&m_cb, i);
}

void TableView::rebuild()
{
    std::unique_lock<std::recursive_mutex> lock(m_lock, std::try_to_lock);
    if (!lock.owns_lock()) {
        // A log-out of every row is walking them on another thread.
        QTimer::singleShot(20, this, [this] { refreshCB(kAll); });
        return;
    }
    const uint64_t count = m_pContainer ? m_pContainer->GetElementCount() : 0;
    IGUIModelItem** sorted = nullptr;
    if (count > 0) {
        sorted = count > SIZE_MAX / sizeof(IGUIModelItem*)
                     ? nullptr
                     : static_cast<IGUIModelItem**>(sec_malloc(count * sizeof(IGUIModelItem*)));
        if (sorted == nullptr) {
            SECTRACE_FormatLn(nullptr, 1, "TableView: no room to sort %llu elements, rows kept",
                              static_cast<unsigned long long>(count));
            return;
        }
    }
    uint64_t length = 0;
    for (uint64_t i = 0; i < count; ++i) {
        IGUIModelItem* item = nullptr;
        if (FAILED(m_pContainer->GetElement(i, IID_IGUIModelItem, reinterpret_cast<void**>(&item))) || item == nullptr)
            continue;
        const uint64_t at = InsertAt(sorted, length, item);
        std::memmove(sorted + at + 1, sorted + at, (length - at) * sizeof(IGUIModelItem*));
        sorted[at] = item;
        ++length;
    }
    m_model->beginRebuild();
    unregisterRows();
    m_apCurrentModels.Free();
    for (uint64_t j = 0; j < length; ++j) {
        if (m_apCurrentModels.Count() == j && SUCCEEDED(sorted[j]->RegisterCallback(&m_cb, j))
            && FAILED(m_apCurrentModels.Add(sorted[j])))
            sorted[j]->UnRegisterCallback(&m_cb, j);
        sorted[j]->Release();
    }
    sec_free(sorted);
    m_model->endRebuild();
}

void TableView::onLogOutAll(bool async)
{
    std::lock_guard<std::recursive_mutex> lock(m_lock);
    for (uint64_t i = 0; i < m_apCurrentModels.Count(); ++i) {
        VerbsPtr verbs(m_apCurrentModels.At(i));
        if (verbs == nullptr)
            continue;
        if (async)
            doVerb(verbs, "verb.logout");
        else
            doVerbNow(verbs, "verb.logout");
    }
}

QMenu* TableView::menuForRow(int row)
{
    if (row < 0)
        return nullptr;
    VerbsPtr verbs(rowItem(static_cast<uint64_t>(row)));
    if (verbs == nullptr || verbs->GetVerbCount() == 0)
        return nullptr;
    auto* menu = new QMenu(QStringLiteral("foo"), this);
    menu->setObjectName(QStringLiteral("rowMenu"));
    const uint64_t count = verbs->GetVerbCount();
    for (uint64_t i = 0; i < count; ++i) {
        IGUIVerb* verb = nullptr;
        if (FAILED(verbs->GetVerb(i, &verb)) || verb == nullptr)
            continue;
        const uint32_t state = verb->GetState();
        if (!(state & ZELK::PSESVC::IGUIVerb_State_Hidden)) {
            const char* title = verb->GetVerbDisplayName();
            QAction* entry = menu->addAction(title ? QString::fromUtf8(title) : QString());
            const char* name = verb->GetVerbName();
            entry->setData(name ? QString::fromUtf8(name) : QString());
            entry->setEnabled(!(state & ZELK::PSESVC::IGUIVerb_State_Disabled));
            connect(entry, &QAction::triggered, this, [this, entry] { onCtxMenu(entry->data().toString()); });
        }
        verb->Release();
    }
    m_pCurrentVerbs = verbs;
    return menu;
}

void TableView::onCtxMenu(const QString& name)
{
    if (m_pCurrentVerbs)
        doVerb(m_pCurrentVerbs, name.toUtf8().constData());
}

void TableView::onCheckbox(int row)
{
    if (row < 0)
        return;
    VerbsPtr verbs(rowItem(static_cast<uint64_t>(row)));
    doVerb(verbs, kUseFor);
}

void TableView::runDefaultVerb(int row)
{
    if (row < 0)
        return;
    VerbsPtr verbs(rowItem(static_cast<uint64_t>(row)));
    IGUIVerb* verb = DefaultVerb(verbs);
    if (verb == nullptr)
        return;
    doVerb(verb, false);
    verb->Release();
}

std::function<void()> TableView::reloader()
{
    QPointer<TableView> self(this);
    return [self] {
        if (self)
            self->m_model->allChanged();
    };
}

void TableView::doVerb(IGUIVerbs* verbs, const char* name)
{
    const bool reload = name && std::strcmp(name, kUseFor) == 0;
    RunVerbsNamed(verbs, name, false, reload ? reloader() : nullptr);
}

void TableView::doVerbNow(IGUIVerbs* verbs, const char* name)
{
    const bool reload = name && std::strcmp(name, kUseFor) == 0;
    RunVerbsNamed(verbs, name, true, reload ? reloader() : nullptr);
}

void TableView::doVerb(IGUIVerb* verb, bool reload)
{
    RunVerb(verb, reload ? reloader() : nullptr);
}

void TableView::doVerbNow(IGUIVerb* verb, bool reload)
{
    RunVerbNow(verb, reload ? reloader() : nullptr);
}

void TableView::popupMenu(int row, const QPoint& at)
{
    QMenu* menu = menuForRow(row);
    if (menu == nullptr)
        return;
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(at);
}

void TableView::contextMenuEvent(QContextMenuEvent* event)
{
    if (event->reason() == QContextMenuEvent::Keyboard) {
        const int row = currentIndex().isValid() && selectionModel()->isRowSelected(currentIndex().row())
                            ? currentIndex().row()
                            : -1;
        if (row >= 0)
            popupMenu(row, viewport()->mapToGlobal(visualRect(m_model->index(row)).center()));
        return;
    }
    popupMenu(rowAt(event->pos().y()), event->globalPos());
}

void TableView::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Menu) {
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(), QPoint());
        contextMenuEvent(&menu);
        return;
    }
    if (event->text().isEmpty() || (event->text().at(0) != QChar(13) && event->text().at(0) != QChar(3))) {
        QTableView::keyPressEvent(event);
        return;
    }
    const QModelIndexList selected = selectionModel()->selectedRows();
    if (!selected.isEmpty())
        runDefaultVerb(selected.first().row());
}

void TableView::mouseDoubleClickEvent(QMouseEvent* event)
{
    const QModelIndex index = indexAt(event->position().toPoint());
    if (index.isValid())
        runDefaultVerb(index.row());
}

}  // namespace kestrin::app
