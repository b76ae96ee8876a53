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
// factor and the whole layout is centred, so its proportions stay as designed. At the design size
// every child is exactly where it was placed.
class ScaledLayout final : public QObject {
public:
    explicit ScaledLayout(QWidget& window);

    // The factor and offset that fit the design size into the given size, never below 1.
    struct Fit {
        qreal scale = 1.0;
        QPoint offset;
    };
    static Fit fit(const QSize& design, const QSize& actual);

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

    QWidget& window_;
    std::vector<Piece> design_;
};

}  // namespace capture
