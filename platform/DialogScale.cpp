#include "DialogScale.h"

#include <QVariant>
#include <QWidget>
#include <algorithm>
#include <cmath>

namespace platform {

namespace {

constexpr const char* kProperty = "platform.dialogScale";

// A rectangle's edges scaled, not its size, so that neighbours stay flush at every factor.
QRect scaledRect(const QRect& rect, qreal factor) {
    const int left = scaled(rect.left(), factor);
    const int top = scaled(rect.top(), factor);
    return {left, top, scaled(rect.left() + rect.width(), factor) - left,
            scaled(rect.top() + rect.height(), factor) - top};
}

qint64 area(const QRect& rect) {
    return rect.isEmpty() ? 0 : qint64(rect.width()) * rect.height();
}

// Moved along one axis into [low, low + room) where it fits; centred over it where it does not.
int keptInside(int start, int length, int low, int room) {
    return length <= room ? std::clamp(start, low, low + room - length) : low + (room - length) / 2;
}

}  // namespace

void DialogScale::publish(QWidget& window, const DialogScale& scale) {
    window.setProperty(kProperty, QVariant::fromValue(scale));
}

QWidget* DialogScale::publisher(QWidget* widget) {
    for (QWidget* owner = widget; owner != nullptr; owner = owner->parentWidget()) {
        if (owner->property(kProperty).isValid()) {
            return owner;
        }
    }
    return nullptr;
}

DialogScale DialogScale::of(QWidget* widget) {
    const QWidget* window = publisher(widget);
    return window == nullptr ? DialogScale{} : window->property(kProperty).value<DialogScale>();
}

int scaled(int value, qreal factor) {
    return static_cast<int>(std::lround(value * factor));
}

QFont scaledFont(QFont font, qreal factor) {
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * factor);
    } else if (font.pixelSize() > 0) {
        font.setPixelSize(scaled(font.pixelSize(), factor));
    }
    return font;
}

QPoint dialogPosition(const QSize& dialog, const QRect& window, const DialogScale& scale) {
    const auto centredOver = [&](int centreX) {
        const int left = centreX - dialog.width() / 2;
        const int top = window.top() + (window.height() - dialog.height()) / 2;
        return QRect(keptInside(left, dialog.width(), window.left(), window.width()),
                     keptInside(top, dialog.height(), window.top(), window.height()),
                     dialog.width(), dialog.height());
    };
    const QRect overWindow = centredOver(window.center().x());
    if (scale.preferred.isEmpty() || scale.keepClear.isEmpty()) {
        return overWindow.topLeft();
    }
    const QRect overColumn = centredOver(scale.preferred.center().x());
    return area(overColumn & scale.keepClear) < area(overWindow & scale.keepClear)
               ? overColumn.topLeft()
               : overWindow.topLeft();
}

bool placeDialog(QWidget& dialog) {
    const QWidget* window = DialogScale::publisher(dialog.parentWidget());
    DialogScale scale = DialogScale::of(dialog.parentWidget());
    if (window == nullptr || scale.factor == 1.0) {
        return false;
    }
    const QPoint origin = window->mapToGlobal(QPoint());
    scale.preferred.translate(origin);
    scale.keepClear.translate(origin);
    dialog.move(
        dialogPosition(dialog.frameGeometry().size(), QRect(origin, window->size()), scale));
    return true;
}

void FixedDesign::record(QWidget& dialog) {
    const auto pieceOf = [](QWidget* widget) {
        return Piece{widget, widget->geometry(), widget->font(),
                     widget->testAttribute(Qt::WA_SetFont)};
    };
    dialog_ = pieceOf(&dialog);
    children_.clear();
    for (QWidget* child : dialog.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (!child->isWindow()) {
            children_.push_back(pieceOf(child));
        }
    }
    applied_ = 1.0;
}

void FixedDesign::apply(qreal factor) {
    if (dialog_.widget.isNull() || factor == applied_) {
        return;
    }
    applied_ = factor;
    // A font the dialog only inherited is given back to inheritance at the design size; the
    // children that inherit it follow the dialog's.
    const auto restyle = [factor](const Piece& piece) {
        if (factor == 1.0) {
            piece.widget->setFont(piece.ownFont ? piece.font : QFont());
        } else {
            piece.widget->setFont(scaledFont(piece.font, factor));
        }
    };
    restyle(dialog_);
    dialog_.widget->setFixedSize(scaled(dialog_.geometry.width(), factor),
                                 scaled(dialog_.geometry.height(), factor));
    for (const Piece& child : children_) {
        if (child.widget.isNull()) {
            continue;
        }
        child.widget->setGeometry(scaledRect(child.geometry, factor));
        if (child.ownFont) {
            restyle(child);
        }
    }
}

}  // namespace platform
