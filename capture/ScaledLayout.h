#pragma once

#include <QFont>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <vector>

class QWidget;

namespace capture {

// Keeps a window laid out at fixed positions usable on a big screen: when the window is larger
// than its design size (its minimum size), its child widgets, their fonts and icons grow by one
// factor and the whole layout is centred, so its proportions stay as designed. A screen wider
// than the design (16:9 against a design of about 3:2) gives its spare width to one widget, the
// live picture, up to the width a 16:9 camera picture fills at its height; the pieces beside it
// keep their scaled size and are spread over its widened column. At the design size every child
// is exactly where it was placed. Each fit is published for the dialogs over the window
// (platform::DialogScale): they grow by the same factor and prefer the widening piece's column
// to covering the piece the operator reads beside it (keepClear).
class ScaledLayout final : public QObject {
public:
    ScaledLayout(QWidget& window, QWidget& widening, QWidget* keepClear = nullptr);

    // How the design size fits into the window's size: one factor (never below 1), the width the
    // widening piece gains beyond it, and the offset that centres what is left over.
    struct Fit {
        qreal scale = 1.0;
        int extraWidth = 0;
        QPoint offset;
    };
    static Fit fit(const QSize& design, const QSize& actual, const QSize& widening);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Piece {
        QPointer<QWidget> widget;
        QRect geometry;
        QFont font;
        QSize iconSize;
    };
    void recordDesign();
    void apply();
    void publish(qreal scale) const;
    [[nodiscard]] QRect placed(const QRect& design, const Fit& fitted) const;

    QWidget& window_;
    QPointer<QWidget> widening_;
    QPointer<QWidget> keepClear_;
    QRect wideningDesign_;
    std::vector<Piece> design_;
};

}  // namespace capture
