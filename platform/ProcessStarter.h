#pragma once

#include <sys/types.h>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <vector>

namespace platform {

// Starts a program and returns at once; nothing waits for it and nothing stops it later.
// Throws ProcessStartError when the program cannot be started.
class ProcessStarter {
public:
    virtual ~ProcessStarter() = default;
    virtual void start(const QString& program, const QStringList& arguments) = 0;
};

class DetachedProcessStarter final : public ProcessStarter {
public:
    DetachedProcessStarter();
    ~DetachedProcessStarter() override;
    DetachedProcessStarter(const DetachedProcessStarter&) = delete;
    DetachedProcessStarter& operator=(const DetachedProcessStarter&) = delete;

    void start(const QString& program, const QStringList& arguments) override;

private:
    static constexpr int kReapIntervalMs = 1000;
    void spawnDetached(const QString& program, const QStringList& arguments);

    std::vector<pid_t> children_;
    QTimer reaper_;
};

}  // namespace platform
