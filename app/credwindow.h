// The credential window's content: the item, the prompt text, up to four
// input rows, a warning icon, the status line, OK and Cancel. A prompt is laid
// out from the dialog's fields, waited for on the dialog's service thread, and
// its confirmation fields checked against the fields they confirm.
#pragma once

#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <atomic>
#include <vector>

#include "zelk_gui.h"
#include "zelk_sync.h"

namespace kestrin::app {

class CredentialViewController : public QWidget {
public:
    static constexpr int kRows = 4;

    CredentialViewController();

    // Service thread: lays the prompt out, waits for the answer and writes
    // the entered texts into the fields. True for OK, false for Cancel.
    bool ask(const QString& text, const std::vector<ZELK::PSESVC::ICredUIAsk*>& fields);
    // Any thread.
    void updateMessage(const QString& text);
    void updateStatus(const QString& text);
    void updateOKButtonText(const QString& text);
    void updateTitleText(const QString& text);
    void showWarnIcon(bool show);
    // GUI thread.
    void updateItem(const QString& text, const QIcon& image);
    void disableAll();
    void hideAll();
    // Service thread: an alert; returns once it has been dismissed.
    bool popup(const QString& text);
    // Any thread: ends the wait of a prompt.
    void done();

    QLabel* logoImageView;
    QLabel* itemImageView;
    QLabel* itemText;
    QLabel* label;
    QLabel* label2;
    QLabel* warnIcon;
    QLabel* statusLabel;
    QProgressBar* bar;
    QPushButton* okButton;
    QPushButton* cancelButton;
    QLabel* m_aIcon[kRows];
    QLineEdit* m_aInput[kRows];
    QLineEdit* m_aPassword[kRows];

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    struct Row {
        QString label;
        QString name;
        QString value;
        bool password = false;
        bool disabled = false;
    };

    void layoutPrompt(const QString& text, std::vector<Row>& rows);
    void onOK();
    void onCancel();
    void controlTextDidChange();
    QLineEdit* control(int row) const;
    // A copy of a row's text from the crypto library's allocator; NULL when
    // the GUI loop has ended.
    char* copyText(int row);

    std::atomic<bool> m_bOKClicked {false};
    ZELK::Event m_hUserInputDone;
    // GUI thread: the rows of the prompt on screen and whose secure field is used.
    int m_rows = -1;
    bool m_secure[kRows] = {};
    QPointer<QMessageBox> m_alert;
};

}  // namespace kestrin::app
