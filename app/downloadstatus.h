// The status line of a failed group-list download. The text of
// "USER_POLICY_DOWNLOAD_ERROR" is a format only when its conversions are one
// "%s" and then one "%u" (with "%%" anywhere); any other text is shown as it
// stands, followed by the status text and code.
#pragma once

#include <QString>

namespace kestrin::app {

QString DownloadErrorText(const QString& format, const QString& status, unsigned int code);

}  // namespace kestrin::app
