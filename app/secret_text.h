// Wiping the texts of controls and their temporary copies: a text is zeroed
// in place once this copy is its only reference, so no shared buffer that a
// control still shows is touched.
#pragma once

#include <QByteArray>
#include <QLineEdit>
#include <QString>

namespace kestrin::app {

void WipeString(QString& text);
void WipeBytes(QByteArray& bytes);
// Empties the control and zeroes what it held.
void WipeLineEdit(QLineEdit* edit);

}  // namespace kestrin::app
