#include "MessageBoxes.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QMessageBox>

namespace platform {

namespace {

QWidget* ownerWindow() {
    if (QWidget* modal = QApplication::activeModalWidget()) {
        return modal;
    }
    return QApplication::activeWindow();
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
                if (!settled() && belongsToBox(watched)) {
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

}  // namespace

void QtMessageBoxes::show(const QString& text) {
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, ownerWindow());
    // The Enter that ended a scan must not close the message about it unseen.
    const TypeAheadGuard guard(box);
    box.exec();
}

bool QtMessageBoxes::ask(const QString& text, const QString& title) {
    QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Yes | QMessageBox::No,
                    ownerWindow());
    box.setDefaultButton(QMessageBox::Yes);
    const TypeAheadGuard guard(box);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace platform
