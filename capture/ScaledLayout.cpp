#include "ScaledLayout.h"

#include <QAbstractButton>
#include <QEvent>
#include <QWidget>
#include <cmath>

namespace capture {

namespace {

int scaled(int value, qreal scale) {
    return static_cast<int>(std::lround(value * scale));
}

QFont scaledFont(QFont font, qreal scale) {
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * scale);
    } else if (font.pixelSize() > 0) {
        font.setPixelSize(scaled(font.pixelSize(), scale));
    }
    return font;
}

}  // namespace

ScaledLayout::ScaledLayout(QWidget& window) : QObject(&window), window_(window) {
    window_.installEventFilter(this);
}

ScaledLayout::Fit ScaledLayout::fit(const QSize& design, const QSize& actual) {
    if (design.isEmpty()) {
        return {};
    }
    const qreal scale = std::max(1.0, std::min(qreal(actual.width()) / design.width(),
                                               qreal(actual.height()) / design.height()));
    const QPoint offset(std::max(0, (actual.width() - scaled(design.width(), scale)) / 2),
                        std::max(0, (actual.height() - scaled(design.height(), scale)) / 2));
    return {scale, offset};
}

bool ScaledLayout::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &window_ && event->type() == QEvent::Resize) {
        apply();
    }
    return QObject::eventFilter(watched, event);
}

// Taken at the first resize, once start-up has set the captions' fonts; nothing moves or
// restyles the children afterwards.
void ScaledLayout::recordDesign() {
    for (QWidget* child : window_.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->isWindow()) {
            continue;
        }
        const auto* button = qobject_cast<QAbstractButton*>(child);
        design_.push_back({child, child->geometry(), child->font(),
                           button != nullptr ? button->iconSize() : QSize()});
    }
}

void ScaledLayout::apply() {
    const Fit fitted = fit(window_.minimumSize(), window_.size());
    if (design_.empty()) {
        if (fitted.scale == 1.0 && fitted.offset.isNull()) {
            return;
        }
        recordDesign();
    }
    for (const Piece& piece : design_) {
        if (piece.widget.isNull()) {
            continue;
        }
        // Edges are scaled, not sizes, so that neighbours stay flush at every factor.
        const QRect& g = piece.geometry;
        const QPoint topLeft(scaled(g.left(), fitted.scale), scaled(g.top(), fitted.scale));
        const QPoint end(scaled(g.left() + g.width(), fitted.scale),
                         scaled(g.top() + g.height(), fitted.scale));
        piece.widget->setGeometry(
            QRect(topLeft, QSize(end.x() - topLeft.x(), end.y() - topLeft.y()))
                .translated(fitted.offset));
        piece.widget->setFont(fitted.scale == 1.0 ? piece.font
                                                  : scaledFont(piece.font, fitted.scale));
        if (auto* button = qobject_cast<QAbstractButton*>(piece.widget.data());
            button != nullptr && piece.iconSize.isValid()) {
            button->setIconSize(QSize(scaled(piece.iconSize.width(), fitted.scale),
                                      scaled(piece.iconSize.height(), fitted.scale)));
        }
    }
}

}  // namespace capture
