#pragma once

#include <QFont>
#include <QMetaType>
#include <QPointer>
#include <QRect>
#include <vector>

class QWidget;

namespace platform {

// How a window that scales its layout up to a big screen (maximised, full screen, a kiosk) wants
// the dialogs over it shown: their fonts and fixed sizes grown by its factor, and placed over it
// where they hide least of what the operator reads. The window publishes it at each new fit; a
// dialog reads it as it opens.
struct DialogScale {
    qreal factor = 1.0;
    // In the window's own coordinates: the column a dialog may be centred over instead of the
    // whole window, and the part it should cover as little as it can.
    QRect preferred;
    QRect keepClear;

    // Kept on the window for the dialogs it owns; each call replaces the last.
    static void publish(QWidget& window, const DialogScale& scale);
    // The window that published a scale: the widget itself or its nearest owner; none if no one
    // did.
    static QWidget* publisher(QWidget* widget);
    // What that window published; factor 1 without one.
    static DialogScale of(QWidget* widget);
};

int scaled(int value, qreal factor);
QFont scaledFont(QFont font, qreal factor);

// The top-left corner of a dialog of this size (all rectangles in one coordinate system): centred
// over the window, or over the preferred column when that covers less of keepClear; inside the
// window where the dialog fits in it.
QPoint dialogPosition(const QSize& dialog, const QRect& window, const DialogScale& scale);

// Moves a dialog about to open to its place over the window that published a scale, if that
// window is scaled up; false when it is left to the usual centring over its owner.
bool placeDialog(QWidget& dialog);

// The design of a dialog laid out at fixed positions (its size, its children's geometry and the
// fonts set on them), to show it at any factor. At factor 1 it is exactly as designed.
class FixedDesign {
public:
    // Taken once the dialog is built, before anything rescales it.
    void record(QWidget& dialog);
    void apply(qreal factor);

private:
    struct Piece {
        QPointer<QWidget> widget;
        QRect geometry;
        QFont font;
        bool ownFont = false;
    };
    Piece dialog_;
    std::vector<Piece> children_;
    qreal applied_ = 1.0;
};

}  // namespace platform

Q_DECLARE_METATYPE(platform::DialogScale)
