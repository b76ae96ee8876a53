#pragma once

#include <sys/types.h>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <vector>

namespace platform {

// How a started program ended: its exit status, or the signal that killed it.
struct ProcessEnd {
    qint64 id = 0;
    int exitStatus = 0;
    int signal = 0;  // non-zero when the program was killed

    bool succeeded() const { return signal == 0 && exitStatus == 0; }
    // "exit status 3" or "killed by signal 9 (Killed)".
    QString describe() const;
};

// Starts a program and returns at once with an id for it; nothing waits for it and nothing stops
// it later. Throws ProcessStartError when the program cannot be started.
class ProcessStarter {
public:
    using FinishedHandler = std::function<void(const ProcessEnd&)>;

    virtual ~ProcessStarter() = default;
    virtual qint64 start(const QString& program, const QStringList& arguments) = 0;

    // Called on the starter's thread, once for every started program after it has ended.
    void setFinishedHandler(FinishedHandler handler) { finished_ = std::move(handler); }

protected:
    void reportFinished(const ProcessEnd& end) const {
        if (finished_) {
            finished_(end);
        }
    }

private:
    FinishedHandler finished_;
};

class DetachedProcessStarter final : public ProcessStarter {
public:
    DetachedProcessStarter();
    ~DetachedProcessStarter() override;
    DetachedProcessStarter(const DetachedProcessStarter&) = delete;
    DetachedProcessStarter& operator=(const DetachedProcessStarter&) = delete;

    qint64 start(const QString& program, const QStringList& arguments) override;

private:
    static constexpr int kReapIntervalMs = 1000;
    pid_t spawnDetached(const QString& program, const QStringList& arguments);
    void reapFinishedChildren();

    std::vector<pid_t> children_;
    QTimer reaper_;
};

}  // namespace platform
