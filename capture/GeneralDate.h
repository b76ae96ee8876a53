#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>

namespace capture {

// The general date format: the locale's short date, a blank and its long time. Qt's long time
// format carries the time zone, which the general format does not show, so it is left out.
QString generalDateText(const QDateTime& moment, const QLocale& locale = QLocale::system());

// The locale's long time format without its time-zone field.
QString longTimeFormatWithoutZone(const QLocale& locale);

}  // namespace capture
