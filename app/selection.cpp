#include "selection.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QVBoxLayout>

#include "glue.h"

namespace kestrin::app {

SelectionViewController::SelectionViewController()
{
    setObjectName(QStringLiteral("selectionWindow"));
    textField = new QLabel(this);
    textField->setObjectName(QStringLiteral("textField"));
    textField->setTextFormat(Qt::PlainText);
    textField->setWordWrap(true);
    tableView = new TableView(this);
    tableView->setObjectName(QStringLiteral("tableView"));
    tableView->setMinimumSize(380, 150);
    tableView->installEventFilter(this);
    buttonShowAll = new QCheckBox(ZELKGLUE_GetText("SELECT_AUTH_CERT_SHOW_FILTERED"), this);
    buttonShowAll->setObjectName(QStringLiteral("buttonShowAll"));
    buttonOK = new QPushButton(ZELKGLUE_GetText("DLG_CRED_OK"), this);
    buttonOK->setObjectName(QStringLiteral("buttonOK"));
    buttonCancel = new QPushButton(ZELKGLUE_GetText("DLG_CRED_CANCEL"), this);
    buttonCancel->setObjectName(QStringLiteral("buttonCancel"));
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(buttonShowAll, 1);
    buttons->addWidget(buttonCancel);
    buttons->addWidget(buttonOK);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(textField);
    layout->addWidget(tableView, 1);
    layout->addLayout(buttons);
    connect(buttonOK, &QPushButton::clicked, this, [this] { onOK(); });
    connect(buttonCancel, &QPushButton::clicked, this, [this] { onCancel(); });
    connect(buttonShowAll, &QCheckBox::toggled, this, [this] { onShowAll(); });
    tableView->setActionOnSelectionDidChange(
        [this] { buttonOK->setEnabled(tableView->getSelectedObject() != nullptr); });
    buttonOK->setEnabled(false);
}

void SelectionViewController::setText(const QString& text)
{
    textField->setText(text);
}

void SelectionViewController::setContainerObject(IUnknown* primary, IUnknown* alternative)
{
    m_bOK = false;
    m_event.Reset();
    buttonOK->setEnabled(false);
    m_pContainer = primary;
    m_pContainerAlt = alternative;
    {
        const QSignalBlocker blocker(buttonShowAll);
        buttonShowAll->setChecked(false);
    }
    buttonShowAll->setVisible(m_pContainerAlt != nullptr);
    tableView->setContainerObject(m_pContainer);
    tableView->clearSelection();
    buttonOK->setEnabled(false);
}

void SelectionViewController::clear()
{
    tableView->setContainerObject(nullptr);
    m_pContainer = nullptr;
    m_pContainerAlt = nullptr;
}

bool SelectionViewController::wait()
{
    m_event.Wait(-1);
    return m_bOK;
}

void SelectionViewController::done()
{
    answer(false);
}

void SelectionViewController::answer(bool ok)
{
    m_bOK = ok;
    m_event.Signal();
}

void SelectionViewController::onOK()
{
    answer(true);
}

void SelectionViewController::onCancel()
{
    answer(false);
}

void SelectionViewController::onShowAll()
{
    const bool all = buttonShowAll->isChecked() && m_pContainerAlt != nullptr;
    tableView->setContainerObject(all ? m_pContainerAlt : m_pContainer);
    buttonOK->setEnabled(tableView->getSelectedObject() != nullptr);
}

void SelectionViewController::showEvent(QShowEvent* event)
{
    setWindowTitle(ZELKGLUE_GetText("DLG_SELECTION_TITLE"));
    QWidget::showEvent(event);
}

void SelectionViewController::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (buttonOK->isEnabled())
            onOK();
        return;
    case Qt::Key_Escape:
        onCancel();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

// Return and Escape in the table answer the selection; they run no verb of a candidate.
bool SelectionViewController::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == tableView && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) {
            keyPressEvent(static_cast<QKeyEvent*>(event));
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

}  // namespace kestrin::app
