// The rows' look: the item's picture, its text as plain text and, for items
// that name a configured application, a checkbox; a light blue fill when
// selected, else a light blue to white gradient from the top.
#pragma once

#include <QStyledItemDelegate>

namespace kestrin::app {

class TableView;

class TableCell : public QStyledItemDelegate {
public:
    explicit TableCell(TableView* table);

    // The height of a row; the local server's row shows a line more.
    static constexpr int kRowHeight = 48;
    static constexpr int kLocalServerRowHeight = 58;
    // Where a row's checkbox lies.
    static QRect CheckboxRect(const QRect& row);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

protected:
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

private:
    TableView* m_table;
};

}  // namespace kestrin::app
