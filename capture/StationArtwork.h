#pragma once

#include <QPixmap>
#include <QSize>

namespace capture {

// Pictures drawn at start-up for the title bars and the graphical buttons.
QPixmap titleBarPicture(QSize size);
QPixmap colorViewButtonPicture(QSize size);
QPixmap bottomViewButtonPicture(QSize size);
QPixmap captureButtonPicture(QSize size);

}  // namespace capture
