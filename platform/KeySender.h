#pragma once

namespace platform {

// Queues the keystroke Alt+G for the program's own active window. It is handled after the event
// in progress has finished, through the same key and shortcut path as a key typed by the operator.
// When none of the program's windows is active (no window manager), the button that Alt+G
// stands for in the visible main window is pressed directly.
class KeySender {
public:
    virtual ~KeySender() = default;
    virtual void sendAltG() = 0;
};

class QueuedKeySender final : public KeySender {
public:
    void sendAltG() override;
};

}  // namespace platform
