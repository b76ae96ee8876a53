#include "KeySender.h"

#include <qpa/qwindowsysteminterface.h>
#include <QAbstractButton>
#include <QApplication>
#include <QKeySequence>
#include <QMouseEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>

namespace platform {

namespace {

// A window shown a moment ago may not be active yet; the key waits for one, as a typed key would.
constexpr int kRetryIntervalMs = 20;
constexpr int kMaxRetries = 250;
// How long a window manager gets to mark a window active before the button is pressed directly.
constexpr int kActivationGraceRetries = 8;

// The button that Alt+G would press in the program's visible main window, when no modal window
// is open (a key could not reach the main window past one either).
QAbstractButton* altGButtonOfMainWindow() {
    if (QApplication::activeModalWidget() != nullptr) {
        return nullptr;
    }
    const QKeySequence altG(Qt::ALT | Qt::Key_G);
    for (QWidget* top : QApplication::topLevelWidgets()) {
        if (!top->isVisible() || top->windowType() != Qt::Window) {
            continue;
        }
        for (QAbstractButton* button : top->findChildren<QAbstractButton*>()) {
            if (button->shortcut() == altG && button->isVisible() && button->isEnabled()) {
                return button;
            }
        }
    }
    return nullptr;
}

// Pressed the way a mouse click presses it: through the application's event filters, so that a
// window that drops input meanwhile (a capture in progress) drops this press as it drops a key.
void pressLikeAClick(QAbstractButton* button) {
    const QPointF centre = QRectF(button->rect()).center();
    const QPointF global = button->mapToGlobal(centre);
    QMouseEvent press(QEvent::MouseButtonPress, centre, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, centre, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(button, &press);
    QCoreApplication::sendEvent(button, &release);
}

void deliverAltG(int retry) {
    QWidget* const active = QApplication::activeWindow();
    // A dialog that has just closed can still count as active for a moment; a key sent to it
    // would be lost.
    QWindow* const window =
        active != nullptr && active->isVisible() ? active->windowHandle() : nullptr;
    if (window != nullptr) {
        // Synchronous delivery: the press runs through shortcut override, the shortcut map and
        // the key event of the focus widget exactly as a key from the window system does. No
        // text: where no button has Alt+G (the scan dialog already open), a text field would
        // otherwise take a "g" in front of the next number.
        QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::SynchronousDelivery>(
            window, QEvent::KeyPress, Qt::Key_G, Qt::AltModifier);
        QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::SynchronousDelivery>(
            window, QEvent::KeyRelease, Qt::Key_G, Qt::AltModifier);
        return;
    }
    // Without a window manager (kiosk sessions) no window is ever marked active, and a key
    // would reach none of ours: the button the key stands for is pressed instead. Nothing is
    // sent to the window system, so no other program's window can receive it.
    if (retry >= kActivationGraceRetries) {
        if (QAbstractButton* button = altGButtonOfMainWindow()) {
            pressLikeAClick(button);
            return;
        }
    }
    if (retry < kMaxRetries) {
        QTimer::singleShot(kRetryIntervalMs, qApp, [retry] { deliverAltG(retry + 1); });
    }
}

}  // namespace

void QueuedKeySender::sendAltG() {
    // Queued: the key is handled only after the event in progress has returned.
    QMetaObject::invokeMethod(
        qApp, [] { deliverAltG(0); }, Qt::QueuedConnection);
}

}  // namespace platform
