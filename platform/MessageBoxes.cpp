#include "MessageBoxes.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>

#include "DialogScale.h"

namespace platform {

namespace {

// A box needs an owner even when none of the program's windows is active (a scan dialog that has
// just closed, no window manager, the main window not shown yet): a kiosk compositor takes a box
// without one for the program's main window and stretches it over the screen.
QWidget* ownerWindow() {
    if (QWidget* modal = QApplication::activeModalWidget()) {
        return modal;
    }
    if (QWidget* active = QApplication::activeWindow()) {
        return active;
    }
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (top->windowType() == Qt::Window) {
            return top;
        }
    }
    return nullptr;
}

// Drops the keys that reach a box before it has been on screen for kTypeAheadMs: keys typed ahead
// (a scanner's CR LF, Enter pressed twice) are already on their way when the box appears and
// must not answer it. Mouse clicks are left alone.
class TypeAheadGuard final : public QObject {
public:
    explicit TypeAheadGuard(QWidget& box) : box_(box) { qApp->installEventFilter(this); }
    ~TypeAheadGuard() override { qApp->removeEventFilter(this); }
    TypeAheadGuard(const TypeAheadGuard&) = delete;
    TypeAheadGuard& operator=(const TypeAheadGuard&) = delete;

    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::Show:
                if (watched == &box_) {
                    shown_.start();
                }
                break;
            case QEvent::ShortcutOverride:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
                // A key held down since before the box (the Enter that ended the scan) repeats
                // on its own: its repeats are not an answer either.
                if ((!settled() || static_cast<QKeyEvent*>(event)->isAutoRepeat()) &&
                    belongsToBox(watched)) {
                    // An accepted override keeps the key from the buttons' mnemonics; the key
                    // press that follows is then dropped here as well.
                    event->accept();
                    return true;
                }
                break;
            default:
                break;
        }
        return false;
    }

private:
    bool settled() const {
        return shown_.isValid() && shown_.elapsed() >= QtMessageBoxes::kTypeAheadMs;
    }
    bool belongsToBox(QObject* watched) const {
        const auto* widget = qobject_cast<QWidget*>(watched);
        return widget != nullptr && (widget == &box_ || box_.isAncestorOf(widget));
    }

    QWidget& box_;
    QElapsedTimer shown_;
};

// Over a window scaled up to a big screen the box grows with it: its font, its margins and its
// buttons, whose smallest width the style fixes in pixels.
void scaleWithOwner(QMessageBox& box) {
    const qreal factor = DialogScale::of(box.parentWidget()).factor;
    if (factor == 1.0) {
        return;
    }
    for (QAbstractButton* button : box.buttons()) {
        const QSize hint = button->sizeHint();
        button->setMinimumSize(scaled(hint.width(), factor), scaled(hint.height(), factor));
    }
    box.setFont(scaledFont(box.font(), factor));
    // Spacings the style decides (-1) are left to it.
    const auto grown = [factor](int pixels) {
        return pixels < 0 ? pixels : scaled(pixels, factor);
    };
    if (QLayout* layout = box.layout()) {
        const QMargins margins = layout->contentsMargins();
        layout->setContentsMargins(grown(margins.left()), grown(margins.top()),
                                   grown(margins.right()), grown(margins.bottom()));
        if (auto* grid = qobject_cast<QGridLayout*>(layout)) {
            grid->setHorizontalSpacing(grown(grid->horizontalSpacing()));
            grid->setVerticalSpacing(grown(grid->verticalSpacing()));
        } else {
            layout->setSpacing(grown(layout->spacing()));
        }
    }
}

// A box sizes itself as it is shown, after its window exists; a compositor that does not let a
// shown window resize itself (a kiosk) would keep the size the window was made with. The box is
// given its natural size, and its place over a scaled-up window, before that.
void sizeBeforeShowing(QMessageBox& box) {
    scaleWithOwner(box);
    box.adjustSize();
    placeDialog(box);
}

}  // namespace

void QtMessageBoxes::show(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, ownerWindow());
    // The Enter that ended a scan must not close the message about it unseen.
    const TypeAheadGuard guard(box);
    sizeBeforeShowing(box);
    box.exec();
}

bool QtMessageBoxes::ask(const QString& text, const QString& title) {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Yes | QMessageBox::No,
                    ownerWindow());
    box.setDefaultButton(QMessageBox::Yes);
    const TypeAheadGuard guard(box);
    sizeBeforeShowing(box);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace platform
