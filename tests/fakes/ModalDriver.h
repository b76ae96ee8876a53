#pragma once

// Acts on modal windows from inside their nested event loops, the way an operator would.

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

namespace fakes {

// Calls back when the watched window hides, so the next showing counts as new.
class HideWatcher : public QObject {
public:
    explicit HideWatcher(std::function<void()> onHide) : onHide_(std::move(onHide)) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Hide) {
            watched->removeEventFilter(this);
            onHide_();
        }
        return false;
    }

private:
    std::function<void()> onHide_;
};

// Each time a modal window of type T becomes active, runs the next action on it. Actions run from
// a timer inside the modal loop; once they are used up the driver stops looking.
template <typename T>
class ModalDriver {
public:
    using Action = std::function<void(T&)>;

    ModalDriver() {
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    }

    void then(Action action) {
        actions_.push_back(std::move(action));
        timer_.start();
    }

    // What to do with every showing once the scripted actions are used up.
    void otherwise(Action action) {
        fallback_ = std::move(action);
        timer_.start();
    }

    int handled() const { return handled_; }
    bool finished() const { return next_ >= actions_.size(); }

private:
    void poll() {
        auto* modal = qobject_cast<T*>(QApplication::activeModalWidget());
        if (modal == nullptr || !modal->isVisible() || modal == last_) {
            return;
        }
        if (finished() && !fallback_) {
            timer_.stop();
            return;
        }
        last_ = modal;
        modal->installEventFilter(&hideWatcher_);
        ++handled_;
        Action action = finished() ? fallback_ : actions_[next_++];
        action(*modal);
    }

    QTimer timer_;
    std::vector<Action> actions_;
    Action fallback_;
    size_t next_ = 0;
    int handled_ = 0;
    QPointer<T> last_;
    HideWatcher hideWatcher_{[this] { last_ = nullptr; }};
};

}  // namespace fakes
