#include "downloadstatus.h"

namespace kestrin::app {

QString DownloadErrorText(const QString& format, const QString& status, unsigned int code)
{
    QString conversions;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] != QLatin1Char('%'))
            continue;
        if (i + 1 >= format.size())
            return format + QLatin1Char(' ') + status + QStringLiteral(" (") + QString::number(code) + QLatin1Char(')');
        if (format[i + 1] != QLatin1Char('%'))
            conversions += format[i + 1];
        ++i;
    }
    if (conversions != QStringLiteral("su"))
        return format + QLatin1Char(' ') + status + QStringLiteral(" (") + QString::number(code) + QLatin1Char(')');
    QString text;
    for (qsizetype i = 0; i < format.size(); ++i) {
        if (format[i] != QLatin1Char('%')) {
            text += format[i];
            continue;
        }
        const QChar kind = format[++i];
        if (kind == QLatin1Char('%'))
            text += QLatin1Char('%');
        else if (kind == QLatin1Char('s'))
            text += status;
        else
            text += QString::number(code);
    }
    return text;
}

}  // namespace kestrin::app
