// The profile table, offscreen:
// - a rebuild of 500 and 5,000 rows (keys as the profile list has them, in
//   random order with repeats) beside std::stable_sort of the same keys and a
//   plain item-model reset under the same view;
// - one row painted by the table's cell beside QStyledItemDelegate painting
//   the same icon and text.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <QAbstractListModel>
#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTableView>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "model_fakes.h"
#include "ratio_reporter.h"
#include "tablecell.h"
#include "tableview.h"
#include "zelk_module.h"

namespace {

using kestrin::app::TableCell;
using kestrin::app::TableView;
using namespace kestrin::app::test;

// Sort keys of the profile list: the encryption-only and Kerberos rows,
// shown and own certificates by subject, profiles by name; many repeats.
std::vector<std::string> Keys(int count)
{
    std::mt19937 random(7);
    std::vector<std::string> keys = {"000/EOM", "010/Kerberos"};
    const char* prefixes[] = {"020/", "030/Cert/", "050/KVS/"};
    while (static_cast<int>(keys.size()) < count) {
        const int n = static_cast<int>(random() % static_cast<unsigned>(count / 2 + 1));
        keys.push_back(std::string(prefixes[random() % 3]) + "CN=User " + std::to_string(n) + ", O=Example, C=DE");
    }
    std::shuffle(keys.begin(), keys.end(), random);
    return keys;
}

struct Rows {
    explicit Rows(int count) : container(NewContainer())
    {
        for (const std::string& key : Keys(count)) {
            FakeItem* item = NewItem(key);
            container->Add(static_cast<IGUIModelItem*>(item), false);
            items.push_back(item);
        }
    }
    ~Rows()
    {
        for (FakeItem* item : items)
            item->Drop();
        container->Release();
    }
    CComObject<FakeContainer>* container;
    std::vector<FakeItem*> items;
};

void BM_Ours_Rebuild(benchmark::State& state)
{
    Rows rows(static_cast<int>(state.range(0)));
    TableView table;
    table.setContainerObject(static_cast<IGUIModelContainer*>(rows.container));
    for (auto _ : state)
        table.refreshCB(~0UL);
    table.setContainerObject(nullptr);
}
BENCHMARK(BM_Ours_Rebuild)->Arg(500)->Arg(5000)->Unit(benchmark::kMicrosecond);

// The peer: the same items sorted by their keys, then a plain model reset.
class PlainModel : public QAbstractListModel {
public:
    int rowCount(const QModelIndex& parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role != Qt::DisplayRole || !index.isValid())
            return QVariant();
        return QString::fromUtf8(m_rows[static_cast<size_t>(index.row())]->ItemGetKey());
    }
    void Reset(std::vector<IGUIModelItem*> rows)
    {
        beginResetModel();
        m_rows = std::move(rows);
        endResetModel();
    }

private:
    std::vector<IGUIModelItem*> m_rows;
};

void BM_Peer_Rebuild(benchmark::State& state)
{
    Rows rows(static_cast<int>(state.range(0)));
    PlainModel model;
    QTableView view;
    view.setModel(&model);
    for (auto _ : state) {
        std::vector<IGUIModelItem*> sorted;
        sorted.reserve(rows.items.size());
        for (FakeItem* item : rows.items)
            sorted.push_back(item);
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](IGUIModelItem* a, IGUIModelItem* b) { return a->ItemCompare(b) < 0; });
        model.Reset(std::move(sorted));
    }
}
BENCHMARK(BM_Peer_Rebuild)->Arg(500)->Arg(5000)->Unit(benchmark::kMicrosecond);

template <class Delegate>
void Paint(benchmark::State& state, Delegate& delegate, TableView& table)
{
    QImage image(400, 48, QImage::Format_ARGB32_Premultiplied);
    QStyleOptionViewItem option;
    option.initFrom(&table);
    option.rect = QRect(0, 0, 400, 48);
    option.decorationSize = QSize(32, 32);
    option.features |= QStyleOptionViewItem::HasDisplay | QStyleOptionViewItem::HasDecoration;
    const QModelIndex index = table.tableModel()->index(0);
    for (auto _ : state) {
        QPainter painter(&image);
        delegate.paint(&painter, option, index);
    }
}

void BM_Ours_Paint(benchmark::State& state)
{
    Rows rows(1);
    TableView table;
    table.setContainerObject(static_cast<IGUIModelContainer*>(rows.container));
    TableCell cell(&table);
    Paint(state, cell, table);
    table.setContainerObject(nullptr);
}
BENCHMARK(BM_Ours_Paint)->Unit(benchmark::kMicrosecond);

void BM_Peer_Paint(benchmark::State& state)
{
    Rows rows(1);
    TableView table;
    table.setContainerObject(static_cast<IGUIModelContainer*>(rows.container));
    QStyledItemDelegate plain;
    Paint(state, plain, table);
    table.setContainerObject(nullptr);
}
BENCHMARK(BM_Peer_Paint)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    char folder[] = "/tmp/kestrin-table-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 1;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"})
        setenv(name, folder, 1);
    QApplication application(argc, argv);
    if (ZELK_Initialize() < 0)
        return 1;
    kestrin::bench::RatioReporter reporter(kestrin::bench::OursOverPeer({"Rebuild/500", "Rebuild/5000", "Paint"}));
    const int status = kestrin::bench::RunWithRatios(argc, argv, reporter);
    std::filesystem::remove_all(folder);
    return status;
}
