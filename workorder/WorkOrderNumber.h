#pragma once

#include <QString>

namespace workorder {

// A work-order number has at most this many characters; the file names and the image panel
// rely on it.
inline constexpr int kMaxWorkOrderLength = 8;

// True when the entry holds more characters than a work-order number can have (a wrong label or
// a code of another kind). Such an entry is refused whole: keeping its first characters would
// give a plausible number of another sample.
bool isOverLongWorkOrder(const QString& entry);

// "Error:" message that shows the whole entry as received and says what a number may hold.
QString overLongWorkOrderMessage(const QString& entry);

}  // namespace workorder
