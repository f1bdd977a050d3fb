#include "credwindow.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QStyle>
#include <QVBoxLayout>
#include <cstring>
#include <memory>

#include "glue.h"
#include "queues.h"
#include "secret_text.h"
#include "zelk_alloc.h"
#include "zelk_strings.h"

namespace kestrin::app {

using ZELK::PSESVC::ICredUIAsk;

namespace {

QLabel* PlainLabel(const char* name, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    return label;
}

QString FromUtf8(const char* text)
{
    return text ? QString::fromUtf8(text) : QString();
}

void SetIcon(QLabel* label, const QIcon& icon, int size)
{
    if (icon.isNull())
        label->clear();
    else
        label->setPixmap(icon.pixmap(size, size));
}

}  // namespace

CredentialViewController::CredentialViewController()
{
    setObjectName(QStringLiteral("controllerView"));
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);

    logoImageView = PlainLabel("logoImageView", this);
    itemImageView = PlainLabel("itemImageView", this);
    itemText = PlainLabel("itemText", this);
    label = PlainLabel("label", this);
    label->setWordWrap(true);
    label2 = PlainLabel("label2", this);
    label2->setWordWrap(true);
    warnIcon = PlainLabel("warnIcon", this);
    warnIcon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(20, 20));
    statusLabel = PlainLabel("statusLabel", this);
    bar = new QProgressBar(this);
    bar->setObjectName(QStringLiteral("bar"));
    bar->setRange(0, 0);
    bar->setTextVisible(false);
    okButton = new QPushButton(this);
    okButton->setObjectName(QStringLiteral("okButton"));
    // Drawn as the default: Return confirms while it is enabled.
    okButton->setDefault(true);
    cancelButton = new QPushButton(ZELKGLUE_GetText("DLG_CRED_CANCEL"), this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));

    auto* top = new QHBoxLayout;
    top->addWidget(logoImageView);
    top->addStretch();
    top->addWidget(itemImageView);
    top->addWidget(itemText);
    auto* rows = new QGridLayout;
    for (int i = 0; i < kRows; ++i) {
        const QString number = QString::number(i + 1);
        m_aIcon[i] = PlainLabel("", this);
        m_aIcon[i]->setObjectName(QStringLiteral("icon") + number);
        m_aInput[i] = new QLineEdit(this);
        m_aInput[i]->setObjectName(QStringLiteral("input") + number);
        m_aPassword[i] = new QLineEdit(this);
        m_aPassword[i]->setObjectName(QStringLiteral("password") + number);
        m_aPassword[i]->setEchoMode(QLineEdit::Password);
        rows->addWidget(m_aIcon[i], i, 0);
        rows->addWidget(m_aInput[i], i, 1);
        rows->addWidget(m_aPassword[i], i, 1);
        for (QLineEdit* edit : {m_aInput[i], m_aPassword[i]})
            connect(edit, &QLineEdit::textEdited, this, [this] { controlTextDidChange(); });
    }
    auto* status = new QHBoxLayout;
    status->addWidget(warnIcon);
    status->addWidget(statusLabel, 1);
    status->addWidget(bar);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancelButton);
    buttons->addWidget(okButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(label);
    layout->addWidget(label2);
    layout->addLayout(rows);
    layout->addLayout(status);
    layout->addLayout(buttons);

    // Tab runs through the rows, then OK, then Cancel.
    QWidget* previous = nullptr;
    for (int i = 0; i < kRows; ++i)
        for (QLineEdit* edit : {m_aInput[i], m_aPassword[i]}) {
            if (previous)
                setTabOrder(previous, edit);
            previous = edit;
        }
    setTabOrder(previous, okButton);
    setTabOrder(okButton, cancelButton);

    connect(okButton, &QPushButton::clicked, this, [this] { onOK(); });
    connect(cancelButton, &QPushButton::clicked, this, [this] { onCancel(); });

    SetIcon(logoImageView, ZELKGLUE_GetNamedImage("logo.png"), 48);
    hideAll();
    cancelButton->setEnabled(true);
    okButton->setEnabled(false);
}

void CredentialViewController::showEvent(QShowEvent* event)
{
    warnIcon->hide();
    QWidget::showEvent(event);
}

void CredentialViewController::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (okButton->isEnabled())
            okButton->click();
        return;
    case Qt::Key_Escape:
        if (cancelButton->isEnabled())
            cancelButton->click();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void CredentialViewController::closeEvent(QCloseEvent* event)
{
    // The dialog's worker closes the window; closing it by hand cancels.
    event->ignore();
    if (cancelButton->isEnabled())
        onCancel();
}

void CredentialViewController::updateMessage(const QString& text)
{
    if (text.isNull())
        return;
    PostToGui([this, text] {
        label->setText(text);
        label2->setText(text);
    });
}

void CredentialViewController::updateStatus(const QString& text)
{
    PostToGui([this, text] {
        bar->setVisible(!text.isEmpty());
        statusLabel->setText(text);
    });
}

void CredentialViewController::updateOKButtonText(const QString& text)
{
    PostToGui([this, text] {
        okButton->setText(text);
        okButton->setAccessibleName(text);
    });
}

void CredentialViewController::updateTitleText(const QString& text)
{
    PostToGui([this, text] { window()->setWindowTitle(text); });
}

void CredentialViewController::showWarnIcon(bool show)
{
    PostToGui([this, show] { warnIcon->setVisible(show); });
}

void CredentialViewController::updateItem(const QString& text, const QIcon& image)
{
    SetIcon(itemImageView, image, 32);
    itemText->setText(text);
}

void CredentialViewController::disableAll()
{
    for (int i = 0; i < kRows; ++i) {
        for (QLineEdit* edit : {m_aInput[i], m_aPassword[i]}) {
            edit->setEnabled(false);
            WipeLineEdit(edit);
            edit->setPlaceholderText(QString());
            edit->setAccessibleName(QString());
        }
        m_aIcon[i]->clear();
    }
    okButton->setEnabled(false);
    cancelButton->setEnabled(false);
    m_rows = -1;
}

void CredentialViewController::hideAll()
{
    for (int i = 0; i < kRows; ++i) {
        m_aInput[i]->hide();
        m_aPassword[i]->hide();
        m_aIcon[i]->hide();
    }
    label->hide();
    label2->show();
    warnIcon->hide();
    bar->hide();
}

QLineEdit* CredentialViewController::control(int row) const
{
    return m_secure[row] ? m_aPassword[row] : m_aInput[row];
}

void CredentialViewController::layoutPrompt(const QString& text, std::vector<Row>& rows)
{
    m_rows = static_cast<int>(rows.size());
    label->setText(text);
    label2->setText(text);
    bool focused = false;
    for (int i = 0; i < kRows; ++i) {
        if (i >= m_rows) {
            m_aInput[i]->hide();
            m_aPassword[i]->hide();
            m_aIcon[i]->hide();
            continue;
        }
        Row& row = rows[i];
        m_secure[i] = row.password;
        QLineEdit* used = control(i);
        QLineEdit* other = row.password ? m_aInput[i] : m_aPassword[i];
        SetIcon(m_aIcon[i], ZELKGLUE_GetNamedImage(row.password ? "pass20x20.png" : "user20x20.png"), 20);
        m_aIcon[i]->show();
        other->hide();
        used->setEnabled(true);
        used->setReadOnly(!row.password && row.disabled);
        used->show();
        const QString& placeholder = row.name.isEmpty() ? row.label : row.name;
        used->setPlaceholderText(placeholder);
        used->setAccessibleName(placeholder);
        // A deep copy: the field's own value is wiped as soon as it is shown.
        used->setText(row.value.isEmpty() ? QString() : QString(row.value.constData(), row.value.size()));
        WipeString(row.value);
        if (!focused && !row.disabled) {
            used->setFocus(Qt::OtherFocusReason);
            focused = true;
        }
    }
    cancelButton->setEnabled(true);
    label->setVisible(m_rows > 0);
    label2->setVisible(m_rows == 0);
    bar->hide();
    // Checked once here too: preset or read-only fields need no edit to be
    // confirmed.
    controlTextDidChange();
}

void CredentialViewController::controlTextDidChange()
{
    if (m_rows < 0) {
        okButton->setEnabled(false);
        return;
    }
    for (int i = 0; i < m_rows; ++i)
        if (control(i)->text().isEmpty()) {
            okButton->setEnabled(false);
            return;
        }
    okButton->setEnabled(true);
}

void CredentialViewController::onOK()
{
    warnIcon->hide();
    m_bOKClicked = true;
    m_hUserInputDone.Signal();
}

void CredentialViewController::onCancel()
{
    disableAll();
    m_bOKClicked = false;
    m_hUserInputDone.Signal();
}

void CredentialViewController::done()
{
    m_hUserInputDone.Signal();
    auto closeAlert = [this] {
        if (m_alert)
            m_alert->done(QMessageBox::Ok);
    };
    if (IsGuiThread())
        closeAlert();
    else
        PostToGui(closeAlert);
}

char* CredentialViewController::copyText(int row)
{
    char* copy = nullptr;
    RunOnGui([this, row, &copy] {
        QByteArray utf8 = control(row)->text().toUtf8();
        if (FAILED(String_Copy(utf8.constData(), &copy)))
            copy = nullptr;
        WipeBytes(utf8);
    });
    return copy;
}

bool CredentialViewController::popup(const QString& text)
{
    // Shared with the alert's handler, which may outlive this call.
    auto closed = std::make_shared<ZELK::Event>();
    bool shown = RunOnGui([this, &text, closed] {
        auto* alert = new QMessageBox(QMessageBox::Warning, ZELKGLUE_GetText("DLG_CRED_TITLE"), QString(),
                                      QMessageBox::NoButton, this);
        alert->setObjectName(QStringLiteral("alert"));
        alert->setTextFormat(Qt::PlainText);
        alert->setInformativeText(text);
        alert->setDefaultButton(alert->addButton(ZELKGLUE_GetText("DLG_CRED_OK"), QMessageBox::AcceptRole));
        alert->setAttribute(Qt::WA_DeleteOnClose);
        connect(alert, &QDialog::finished, [closed] { closed->Signal(); });
        m_alert = alert;
        alert->open();
        alert->activateWindow();
    });
    if (shown)
        closed->Wait(-1);
    return shown;
}

bool CredentialViewController::ask(const QString& text, const std::vector<ICredUIAsk*>& fields)
{
    m_hUserInputDone.Reset();
    m_bOKClicked = false;
    std::vector<Row> rows;
    for (ICredUIAsk* field : fields) {
        Row row;
        row.label = FromUtf8(field->GetLabel());
        row.name = FromUtf8(field->GetName());
        row.value = FromUtf8(field->GetValue());
        row.password = field->GetPassword() != 0;
        row.disabled = field->GetDisabled() != 0;
        rows.push_back(std::move(row));
    }
    PostToGui([this, text, rows]() mutable { layoutPrompt(text, rows); });
    for (Row& row : rows)
        WipeString(row.value);

    const size_t count = fields.size();
    for (;;) {
        m_hUserInputDone.Wait(-1);
        if (!m_bOKClicked || GuiLoopEnded()) {
            PostToGui([this] { disableAll(); });
            return false;
        }
        bool mismatch = false;
        bool focusMoved = false;
        bool ended = false;
        for (size_t i = 0; i < count && !ended; ++i) {
            char* copy = copyText(static_cast<int>(i));
            if (copy == nullptr) {
                ended = true;
                break;
            }
            ICredUIAsk* next = i + 1 < count ? fields[i + 1] : nullptr;
            if (next && (next->GetVerify() || fields[i]->isMyVerifyField(next))) {
                char* confirm = copyText(static_cast<int>(i + 1));
                bool equal = confirm && String_Compare(copy, confirm) == 0;
                if (confirm)
                    String_Burn(confirm);
                sec_free(confirm);
                if (!equal) {
                    const int row = static_cast<int>(i);
                    const bool moveFocus = !focusMoved;
                    ended = !RunOnGui([this, row, moveFocus] {
                        if (moveFocus)
                            control(row)->setFocus(Qt::OtherFocusReason);
                        WipeLineEdit(control(row));
                        WipeLineEdit(control(row + 1));
                    });
                    focusMoved = true;
                    fields[i]->SetValue(nullptr);
                    next->SetValue(nullptr);
                    String_Burn(copy);
                    sec_free(copy);
                    mismatch = true;
                    continue;
                }
            }
            fields[i]->SetValue(copy);
            String_Burn(copy);
            sec_free(copy);
        }
        if (ended)
            return false;
        if (!mismatch) {
            PostToGui([this] { disableAll(); });
            return true;
        }
        // The cleared fields are no answer: a `done` from now on cancels.
        m_bOKClicked = false;
        RunOnGui([this] { okButton->setEnabled(false); });
        popup(ZELKGLUE_GetText("DLG_CRED_PIN_MISMATCH"));
    }
}

}  // namespace kestrin::app
