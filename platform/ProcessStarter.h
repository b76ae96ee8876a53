#pragma once

#include <QString>
#include <QStringList>

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
    void start(const QString& program, const QStringList& arguments) override;
};

}  // namespace platform
