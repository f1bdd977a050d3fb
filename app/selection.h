// The selection window's content: a text, the table of candidates, a
// checkbox that switches to the wider alternative list, OK and Cancel. One
// selection at a time uses it (the dialog runs through "kvc.ui"); the
// answer arrives on that queue's thread through an event.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QWidget>
#include <atomic>

#include "tableview.h"
#include "zelk_sync.h"

namespace kestrin::app {

class SelectionViewController : public QWidget {
public:
    SelectionViewController();

    // GUI thread.
    void setText(const QString& text);
    // The window has no place for it.
    void setTextNoElements(const QString&) {}
    // Prepares a selection: OK off, the primary list shown, the checkbox
    // unchecked and hidden without an alternative, no answer yet.
    void setContainerObject(IUnknown* primary, IUnknown* alternative);
    // The selected row's item, no reference added; NULL without one.
    ZELK::PSESVC::IGUIModel* getSelectedObject() const { return tableView->getSelectedObject(); }
    // Drops the lists once the selection is over.
    void clear();

    // Any thread but the GUI thread: waits for OK, Cancel or done; true for OK.
    bool wait();
    // Any thread: ends a waiting selection as cancelled.
    void done();

    void onOK();
    void onCancel();
    void onShowAll();

    TableView* tableView;
    QLabel* textField;
    QCheckBox* buttonShowAll;
    QPushButton* buttonOK;
    QPushButton* buttonCancel;

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void answer(bool ok);

    TableView::ContainerPtr m_pContainer;
    TableView::ContainerPtr m_pContainerAlt;
    std::atomic<bool> m_bOK {false};
    ZELK::Event m_event;
};

}  // namespace kestrin::app
