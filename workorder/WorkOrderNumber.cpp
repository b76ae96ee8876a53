#include "WorkOrderNumber.h"

#include "OperatorMessage.h"

namespace workorder {

bool isOverLongWorkOrder(const QString& entry) {
    return entry.size() > kMaxWorkOrderLength;
}

QString overLongWorkOrderMessage(const QString& entry) {
    return platform::errorMessage(
        {QStringLiteral("The scan gave %1 characters:").arg(entry.size()), QString(),
         platform::visibleCharacters(entry), QString(),
         QStringLiteral("A work-order number has at most %1 characters, so nothing was taken. "
                        "Please check the label and scan the sample again.")
             .arg(kMaxWorkOrderLength)});
}

}  // namespace workorder
