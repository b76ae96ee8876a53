#pragma once

#include <QString>
#include <QStringList>

namespace platform {

// Message box texts break their lines the way the station's messages always have.
inline const QString kMessageLineBreak = QStringLiteral("\r\n");

// "Error:" on a line of its own, then the given lines (an empty one leaves an empty line).
QString errorMessage(const QStringList& lines);

// The explanation, an empty line, then the reason: the shape of every failure the operator acts on.
inline QString errorMessage(const QString& what, const QString& reason) {
    return errorMessage({what, QString(), reason});
}

// Text the operator typed, scanned or pasted, with each control character shown as \xNN so that
// every character that arrived can be seen.
QString visibleCharacters(const QString& text);

}  // namespace platform
