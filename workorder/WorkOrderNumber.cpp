#include "WorkOrderNumber.h"

namespace workorder {

namespace {

const QString kLineBreak = QStringLiteral("\r\n");

// A pasted entry may carry control characters; they are shown as codes so that the operator sees
// every character that arrived.
QString visible(const QString& entry) {
    QString shown;
    for (const QChar ch : entry) {
        shown += ch.category() == QChar::Other_Control
                     ? QStringLiteral("\\x%1").arg(ch.unicode(), 2, 16, QLatin1Char('0'))
                     : QString(ch);
    }
    return shown;
}

}  // namespace

bool isOverLongWorkOrder(const QString& entry) {
    return entry.size() > kMaxWorkOrderLength;
}

QString overLongWorkOrderMessage(const QString& entry) {
    return QStringLiteral("Error:") + kLineBreak +
           QStringLiteral("The scan gave %1 characters:").arg(entry.size()) + kLineBreak +
           kLineBreak + visible(entry) + kLineBreak + kLineBreak +
           QStringLiteral(
               "A work-order number has at most %1 characters, so nothing was taken. "
               "Please check the label and scan the sample again.")
               .arg(kMaxWorkOrderLength);
}

}  // namespace workorder
