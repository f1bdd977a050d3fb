#include "tablecell.h"

#include <QApplication>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>

#include "tableview.h"

namespace kestrin::app {
namespace {

constexpr int kMargin = 8;
constexpr int kIcon = 32;
constexpr int kCheck = 18;

}  // namespace

TableCell::TableCell(TableView* table) : QStyledItemDelegate(table), m_table(table) {}

QRect TableCell::CheckboxRect(const QRect& row)
{
    return QRect(row.right() - kMargin - kCheck, row.top() + (row.height() - kCheck) / 2, kCheck, kCheck);
}

void TableCell::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QRect r = option.rect;
    painter->save();
    if (option.state & QStyle::State_Selected) {
        painter->fillRect(QRect(r.x(), r.y() + 1, r.width() + 1, r.height() - 1), QColor::fromRgbF(0.8, 0.8, 1.0));
    } else {
        QLinearGradient gradient(r.topLeft(), r.bottomLeft());
        gradient.setColorAt(0, QColor::fromRgbF(0.95, 0.95, 1.0));
        gradient.setColorAt(1, Qt::white);
        painter->fillRect(r, gradient);
    }
    int textLeft = r.left() + kMargin;
    const QIcon icon = index.data(Qt::DecorationRole).value<QIcon>();
    if (!icon.isNull()) {
        icon.paint(painter, QRect(textLeft, r.top() + (r.height() - kIcon) / 2, kIcon, kIcon));
        textLeft += kIcon + kMargin;
    }
    int textRight = r.right() - kMargin;
    const QVariant check = index.data(Qt::CheckStateRole);
    if (check.isValid()) {
        QStyleOptionButton box;
        box.rect = CheckboxRect(r);
        box.state = QStyle::State_Enabled
                    | (check.value<Qt::CheckState>() == Qt::Checked ? QStyle::State_On : QStyle::State_Off);
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_CheckBox, &box, painter, widget);
        textRight = box.rect.left() - kMargin;
    }
    const QRect textRect(textLeft, r.top(), textRight - textLeft, r.height());
    const QString text = index.data(Qt::DisplayRole).toString();
    painter->setPen(option.palette.color(QPalette::Text));
    painter->setFont(option.font);
    painter->drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine,
                      option.fontMetrics.elidedText(text, Qt::ElideRight, textRect.width()));
    painter->restore();
}

QSize TableCell::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const int height = index.data(Qt::SizeHintRole).toSize().height();
    return QSize(QStyledItemDelegate::sizeHint(option, index).width(), height > 0 ? height : kRowHeight);
}

bool TableCell::editorEvent(QEvent* event, QAbstractItemModel*, const QStyleOptionViewItem& option,
                            const QModelIndex& index)
{
    if (event->type() != QEvent::MouseButtonRelease || !index.data(Qt::CheckStateRole).isValid())
        return false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() != Qt::LeftButton || !CheckboxRect(option.rect).contains(mouse->position().toPoint()))
        return false;
    m_table->onCheckbox(index.row());
    return true;
}

}  // namespace kestrin::app
