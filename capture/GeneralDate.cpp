#include "GeneralDate.h"

namespace capture {

QString longTimeFormatWithoutZone(const QLocale& locale) {
    const QString format = locale.timeFormat(QLocale::LongFormat);
    QString result;
    bool quoted = false;
    for (const QChar ch : format) {
        if (ch == QLatin1Char('\'')) {
            quoted = !quoted;
        }
        if (!quoted && ch == QLatin1Char('t')) {
            continue;
        }
        result += ch;
    }
    // Removing the zone leaves the blank or bracket pair that framed it.
    result.replace(QStringLiteral("()"), QString());
    return result.simplified();
}

QString generalDateText(const QDateTime& moment, const QLocale& locale) {
    return locale.toString(moment.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
           locale.toString(moment.time(), longTimeFormatWithoutZone(locale));
}

}  // namespace capture
