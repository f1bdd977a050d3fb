#include "secret_text.h"

#include <openssl/crypto.h>

namespace kestrin::app {

void WipeString(QString& text)
{
    if (!text.isEmpty() && text.isDetached())
        OPENSSL_cleanse(text.data(), static_cast<size_t>(text.size()) * sizeof(QChar));
    text.clear();
}

void WipeBytes(QByteArray& bytes)
{
    if (!bytes.isEmpty() && bytes.isDetached())
        OPENSSL_cleanse(bytes.data(), static_cast<size_t>(bytes.size()));
    bytes.clear();
}

void WipeLineEdit(QLineEdit* edit)
{
    QString text = edit->text();
    // Setting a text also drops the control's undo history.
    edit->setText(QString());
    WipeString(text);
}

}  // namespace kestrin::app
