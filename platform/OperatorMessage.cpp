#include "OperatorMessage.h"

namespace platform {

QString errorMessage(const QStringList& lines) {
    return QStringLiteral("Error:") + kMessageLineBreak + lines.join(kMessageLineBreak);
}

QString visibleCharacters(const QString& text) {
    QString shown;
    for (const QChar ch : text) {
        shown += ch.category() == QChar::Other_Control
                     ? QStringLiteral("\\x%1").arg(ch.unicode(), 2, 16, QLatin1Char('0'))
                     : QString(ch);
    }
    return shown;
}

}  // namespace platform
