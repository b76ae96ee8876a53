#pragma once

#include <QStringList>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace camera {

// Asks the network which GenICam cameras answer, about once a second while told to look, so
// that a camera whose stream stopped is started again once it answers. Its own thread does the
// asking: a GigE discovery waits up to a second for the answers.
class GenicamWatcher {
public:
    // Called on the watcher's thread with the ids that answered.
    using Answered = std::function<void(const QStringList& ids)>;

    explicit GenicamWatcher(Answered answered);
    ~GenicamWatcher();
    GenicamWatcher(const GenicamWatcher&) = delete;
    GenicamWatcher& operator=(const GenicamWatcher&) = delete;

    void setLooking(bool looking);

private:
    void run();

    const Answered answered_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool looking_ = false;   // guarded by mutex_
    bool stopping_ = false;  // guarded by mutex_
    std::thread thread_;     // last: starts once the rest is ready
};

}  // namespace camera
