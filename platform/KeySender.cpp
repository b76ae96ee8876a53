#include "KeySender.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <qpa/qwindowsysteminterface.h>

namespace platform {

namespace {

// A window shown a moment ago may not be active yet; the key waits for one, as a typed key would.
constexpr int kRetryIntervalMs = 20;
constexpr int kMaxRetries = 250;

void deliverAltG(int retriesLeft) {
    QWidget* const active = QApplication::activeWindow();
    // A dialog that has just closed can still count as active for a moment; a key sent to it
    // would be lost.
    QWindow* const window =
        active != nullptr && active->isVisible() ? active->windowHandle() : nullptr;
    if (window == nullptr) {
        if (retriesLeft > 0) {
            QTimer::singleShot(kRetryIntervalMs, qApp, [retriesLeft] { deliverAltG(retriesLeft - 1); });
        }
        return;
    }
    // Synchronous delivery: the press runs through shortcut override, the shortcut map and the
    // key event of the focus widget exactly as a key from the window system does.
    QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::SynchronousDelivery>(
        window, QEvent::KeyPress, Qt::Key_G, Qt::AltModifier, QStringLiteral("g"));
    QWindowSystemInterface::handleKeyEvent<QWindowSystemInterface::SynchronousDelivery>(
        window, QEvent::KeyRelease, Qt::Key_G, Qt::AltModifier, QStringLiteral("g"));
}

}  // namespace

void QueuedKeySender::sendAltG() {
    // Queued: the key is handled only after the event in progress has returned.
    QMetaObject::invokeMethod(
        qApp, [] { deliverAltG(kMaxRetries); }, Qt::QueuedConnection);
}

}  // namespace platform
