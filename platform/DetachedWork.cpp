#include "DetachedWork.h"

#include <malloc.h>

#include <QtGlobal>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace platform {

namespace {

// Idle workers kept for the next work; a worker that ends its work when this many wait ends too.
// A capture keeps two or three busy at once; each thread started brings a malloc arena of its own.
constexpr std::size_t kKeptIdle = 4;

struct Worker {
    std::condition_variable wake;
    std::function<void()> task;  // handed over under Pool::mutex
};

struct Pool {
    std::mutex mutex;
    std::vector<Worker*> idle;  // the most recently idle last, so the same few are reused
};

// Buffers of a picture's size go back to the system when freed. By default malloc raises its
// threshold for that to the largest block freed so far, after which each thread's arena keeps a
// freed full-size picture (6 MiB at 1080p) for good, and every thread that ever handled a still
// adds one: tens of MiB over a day of captures.
constexpr int kOwnMappingFrom = 1 << 20;

// Shared with every worker: one stuck at the program's exit outlives the static.
std::shared_ptr<Pool> pool() {
    static const auto shared = [] {
        mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom);
        return std::make_shared<Pool>();
    }();
    return shared;
}

void workerLoop(const std::shared_ptr<Pool>& shared, std::function<void()> task) {
    Worker self;
    for (;;) {
        try {
            task();
        } catch (...) {
            qWarning("work off the window's thread threw");  // must not end the program from here
        }
        --detachedWorkRunning();
        task = nullptr;  // what it captured (a picture, a promise) is not kept while idle
        std::unique_lock lock(shared->mutex);
        if (shared->idle.size() >= kKeptIdle) {
            return;
        }
        shared->idle.push_back(&self);
        self.wake.wait(lock, [&self] { return static_cast<bool>(self.task); });
        task = std::move(self.task);
        self.task = nullptr;
    }
}

}  // namespace

std::atomic<int>& detachedWorkRunning() {
    static std::atomic<int> running{0};
    return running;
}

void startOnWorker(std::function<void()> task) {
    ++detachedWorkRunning();
    std::shared_ptr<Pool> shared = pool();
    {
        const std::lock_guard lock(shared->mutex);
        if (!shared->idle.empty()) {
            Worker* const worker = shared->idle.back();
            shared->idle.pop_back();
            worker->task = std::move(task);
            worker->wake.notify_one();
            return;
        }
    }
    try {
        std::thread(workerLoop, std::move(shared), std::move(task)).detach();
    } catch (...) {
        --detachedWorkRunning();
        throw;
    }
}

bool endedWithoutThrowing(QFuture<void> finished) {
    try {
        finished.waitForFinished();  // rethrows what the work threw
        return true;
    } catch (const std::exception& error) {
        qWarning("work off the window's thread failed: %s", error.what());
    } catch (...) {
        qWarning("work off the window's thread failed");
    }
    return false;
}

}  // namespace platform
