#include "ScaledLayout.h"

#include <QAbstractButton>
#include <QEvent>
#include <QWidget>
#include <algorithm>
#include <cmath>

#include "DialogScale.h"

namespace capture {

using platform::scaled;
using platform::scaledFont;

ScaledLayout::ScaledLayout(QWidget& window, QWidget& widening, QWidget* keepClear)
    : QObject(&window), window_(window), widening_(&widening), keepClear_(keepClear) {
    window_.installEventFilter(this);
}

ScaledLayout::Fit ScaledLayout::fit(const QSize& design, const QSize& actual,
                                    const QSize& widening) {
    if (design.isEmpty()) {
        return {};
    }
    const qreal scale = std::max(1.0, std::min(qreal(actual.width()) / design.width(),
                                               qreal(actual.height()) / design.height()));
    const int spareWidth = std::max(0, actual.width() - scaled(design.width(), scale));
    // Wider than a 16:9 picture at its height would only add bars beside the picture.
    constexpr qreal kWidestPicture = 16.0 / 9.0;
    const int extraWidth = widening.isEmpty()
                               ? 0
                               : std::clamp(scaled(widening.height(), scale * kWidestPicture) -
                                                scaled(widening.width(), scale),
                                            0, spareWidth);
    const QPoint offset((spareWidth - extraWidth) / 2,
                        std::max(0, (actual.height() - scaled(design.height(), scale)) / 2));
    return {scale, extraWidth, offset};
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
    wideningDesign_ = widening_.isNull() ? QRect() : widening_->geometry();
}

// Edges are scaled, not sizes, so that neighbours stay flush at every factor. Across the
// widening piece's columns the spare width is shared out: a piece as wide as it widens with it,
// a smaller piece inside it keeps its size and moves in proportion to the room beside it (one at
// its left end stays there, one at its right end stays at the right end), and a piece to its
// right moves by the whole of it.
QRect ScaledLayout::placed(const QRect& design, const Fit& fitted) const {
    const qreal s = fitted.scale;
    const int left = design.left();
    const int right = design.left() + design.width();
    const int bandLeft = wideningDesign_.left();
    const int bandRight = wideningDesign_.left() + wideningDesign_.width();
    const auto mapped = [&](int x) {
        const qreal share =
            wideningDesign_.isEmpty()
                ? 0.0
                : std::clamp(qreal(x - bandLeft) / (bandRight - bandLeft), 0.0, 1.0);
        return scaled(x, s) + static_cast<int>(std::lround(fitted.extraWidth * share));
    };
    constexpr int kSlack = 2;
    const bool spans = left <= bandLeft + kSlack && right >= bandRight - kSlack;
    const bool inside = left >= bandLeft - kSlack && right <= bandRight + kSlack;
    int x0 = mapped(left);
    int x1 = mapped(right);
    if (fitted.extraWidth > 0 && inside && !spans) {
        const int room = (bandRight - bandLeft) - design.width();
        const qreal share = room > 0 ? std::clamp(qreal(left - bandLeft) / room, 0.0, 1.0) : 0.0;
        x0 = scaled(left, s) + static_cast<int>(std::lround(fitted.extraWidth * share));
        x1 = x0 + scaled(right, s) - scaled(left, s);
    }
    const int y0 = scaled(design.top(), s);
    const int y1 = scaled(design.top() + design.height(), s);
    return QRect(x0, y0, x1 - x0, y1 - y0).translated(fitted.offset);
}

void ScaledLayout::apply() {
    const QRect widening =
        design_.empty() && !widening_.isNull() ? widening_->geometry() : wideningDesign_;
    const Fit fitted = fit(window_.minimumSize(), window_.size(), widening.size());
    if (design_.empty()) {
        if (fitted.scale == 1.0 && fitted.extraWidth == 0 && fitted.offset.isNull()) {
            return;
        }
        recordDesign();
    }
    for (const Piece& piece : design_) {
        if (piece.widget.isNull()) {
            continue;
        }
        piece.widget->setGeometry(placed(piece.geometry, fitted));
        piece.widget->setFont(fitted.scale == 1.0 ? piece.font
                                                  : scaledFont(piece.font, fitted.scale));
        if (auto* button = qobject_cast<QAbstractButton*>(piece.widget.data());
            button != nullptr && piece.iconSize.isValid()) {
            button->setIconSize(QSize(scaled(piece.iconSize.width(), fitted.scale),
                                      scaled(piece.iconSize.height(), fitted.scale)));
        }
    }
    publish(fitted.scale);
}

void ScaledLayout::publish(qreal scale) const {
    platform::DialogScale published;
    published.factor = scale;
    if (!widening_.isNull()) {
        const QRect column = widening_->geometry();
        published.preferred = QRect(column.left(), 0, column.width(), window_.height());
    }
    if (!keepClear_.isNull()) {
        published.keepClear = keepClear_->geometry();
    }
    platform::DialogScale::publish(window_, published);
}

}  // namespace capture
