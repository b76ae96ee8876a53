#include "StationArtwork.h"

#include <QFont>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <array>

namespace capture {

namespace {

QPixmap transparentPixmap(QSize size) {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

void drawCaption(QPainter& painter, const QRect& area, const QString& text) {
    // The largest bold face at which the caption, wrapped at its blank, fits the area.
    QFont font = painter.font();
    font.setBold(true);
    constexpr int flags = Qt::AlignCenter | Qt::TextWordWrap;
    for (int pixels = std::max(9, area.height() / 3); pixels > 6; --pixels) {
        font.setPixelSize(pixels);
        const QRect needed = QFontMetrics(font).boundingRect(area, flags, text);
        if (area.contains(needed)) {
            break;
        }
    }
    painter.setFont(font);
    painter.setPen(QColor(40, 40, 40));
    painter.drawText(area, flags, text);
}

}  // namespace

QPixmap titleBarPicture(QSize size) {
    QPixmap pixmap(size);
    QPainter painter(&pixmap);
    QLinearGradient gradient(0, 0, 0, size.height());
    gradient.setColorAt(0.0, QColor(92, 108, 148));
    gradient.setColorAt(0.5, QColor(40, 56, 100));
    gradient.setColorAt(1.0, QColor(24, 36, 72));
    painter.fillRect(pixmap.rect(), gradient);
    return pixmap;
}

QPixmap colorViewButtonPicture(QSize size) {
    QPixmap pixmap = transparentPixmap(size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const int diameter = size.height() * 3 / 5;
    const QRect wheel(size.height() / 5, size.height() / 5, diameter, diameter);
    const std::array<QColor, 6> colours = {QColor(Qt::red),   QColor(255, 200, 0),
                                           QColor(Qt::green), QColor(Qt::cyan),
                                           QColor(Qt::blue),  QColor(Qt::magenta)};
    for (int i = 0; i < 6; ++i) {
        painter.setBrush(colours.at(i));
        painter.setPen(Qt::NoPen);
        painter.drawPie(wheel, i * 60 * 16, 60 * 16);
    }
    drawCaption(painter,
                QRect(wheel.right() + 4, 0, size.width() - wheel.right() - 6, size.height()),
                QStringLiteral("COLOR VIEW"));
    return pixmap;
}

QPixmap bottomViewButtonPicture(QSize size) {
    QPixmap pixmap = transparentPixmap(size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const int h = size.height();
    // A dish seen from below with an arrow pointing up at it.
    painter.setPen(QPen(QColor(60, 60, 60), 2));
    painter.setBrush(QColor(200, 220, 235));
    painter.drawEllipse(QRect(h / 6, h / 6, h * 2 / 3, h / 3));
    QPainterPath arrow;
    arrow.moveTo(h / 2.0, h * 0.55);
    arrow.lineTo(h * 0.35, h * 0.75);
    arrow.lineTo(h * 0.65, h * 0.75);
    arrow.closeSubpath();
    painter.setBrush(QColor(60, 60, 60));
    painter.drawPath(arrow);
    drawCaption(painter, QRect(h, 0, size.width() - h - 2, h), QStringLiteral("BOTTOM VIEW"));
    return pixmap;
}

QPixmap captureButtonPicture(QSize size) {
    QPixmap pixmap = transparentPixmap(size);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const int h = size.height();
    const QRect body(h / 6, h / 3, h, h / 2);
    painter.setPen(QPen(QColor(40, 40, 40), 2));
    painter.setBrush(QColor(70, 70, 70));
    painter.drawRoundedRect(body, 4, 4);
    painter.drawRect(QRect(body.left() + h / 6, body.top() - h / 8, h / 3, h / 8));
    painter.setBrush(QColor(150, 190, 230));
    painter.drawEllipse(body.center(), h / 6, h / 6);
    drawCaption(painter, QRect(body.right() + 4, 0, size.width() - body.right() - 6, h),
                QStringLiteral("TAKE PICTURE"));
    return pixmap;
}

}  // namespace capture
