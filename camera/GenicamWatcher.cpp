#include "GenicamWatcher.h"

#include "Genicam.h"

#include <chrono>

namespace camera {

namespace {

constexpr std::chrono::milliseconds kLookEvery{1000};

}  // namespace

GenicamWatcher::GenicamWatcher(Answered answered)
    : answered_(std::move(answered)), thread_([this] { run(); }) {}

GenicamWatcher::~GenicamWatcher() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void GenicamWatcher::setLooking(bool looking) {
    {
        const std::lock_guard lock(mutex_);
        looking_ = looking;
    }
    wake_.notify_all();
}

void GenicamWatcher::run() {
    std::unique_lock lock(mutex_);
    while (true) {
        wake_.wait(lock, [this] { return looking_ || stopping_; });
        if (stopping_) {
            return;
        }
        lock.unlock();
        QStringList ids;
        for (const genicam::DeviceInfo& device : genicam::discover()) {
            ids << device.id;
        }
        answered_(ids);
        lock.lock();
        wake_.wait_for(lock, kLookEvery, [this] { return stopping_; });
    }
}

}  // namespace camera
