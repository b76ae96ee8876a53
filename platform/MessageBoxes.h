#pragma once

#include <QString>

class QWidget;

namespace platform {

// Modal message boxes without an icon: OK-only notices and the single Yes/No question. Keys typed
// before a box appeared do not answer it.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual void show(const QString& text) = 0;
    // True for Yes. Yes is the default answer.
    virtual bool ask(const QString& text, const QString& title) = 0;
};

class QtMessageBoxes final : public MessageBoxes {
public:
    // A box answers only keys pressed once it has been on screen this long; earlier keys were
    // typed ahead. No operator answers a new question faster.
    static constexpr int kTypeAheadMs = 200;

    void show(const QString& text) override;
    bool ask(const QString& text, const QString& title) override;
};

}  // namespace platform
