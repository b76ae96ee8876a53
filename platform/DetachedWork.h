#pragma once

#include <QFuture>
#include <QFutureWatcher>
#include <QObject>
#include <QPromise>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace platform {

// File work that may block in the kernel for as long as a network share stalls. It runs on a
// small set of worker threads that are reused; work never waits for a busy worker, so a worker
// stuck on a stalled share is left behind and another takes the next work. Nobody joins them,
// so a stalled share can hold up neither the window nor the program's exit. The count is of
// work started and not yet ended.
std::atomic<int>& detachedWorkRunning();

// Runs `task` on an idle worker, or on a new one when none is idle; counted while it runs.
// Throws std::system_error when no thread can be started.
void startOnWorker(std::function<void()> task);

// False, with a warning in the log, when the finished work threw.
bool endedWithoutThrowing(QFuture<void> finished);

// The future finishes when the work returns and carries what it threw.
template <typename Work>
auto runDetached(Work work) -> QFuture<std::invoke_result_t<Work>> {
    using Result = std::invoke_result_t<Work>;
    // Shared: the task must be copyable, and a promise is not.
    auto promise = std::make_shared<QPromise<Result>>();
    QFuture<Result> future = promise->future();
    promise->start();
    startOnWorker([promise, work = std::make_shared<Work>(std::move(work))] {
        try {
            if constexpr (std::is_void_v<Result>) {
                (*work)();
            } else {
                promise->addResult((*work)());
            }
        } catch (...) {
            promise->setException(std::current_exception());
        }
        promise->finish();
    });
    return future;
}

// Runs `work` off the window's thread, then `onResult` with what it returned on the thread of
// `context`, unless `context` is gone by then. A caller that has moved on meanwhile recognises
// the stale result in `onResult`. Work reports its failures in its result: what it throws is
// only logged.
template <typename Work, typename OnResult>
void runDetachedThen(QObject* context, Work work, OnResult onResult) {
    const QFuture<std::invoke_result_t<Work>> future = runDetached(std::move(work));
    auto* const watcher = new QFutureWatcher<std::invoke_result_t<Work>>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context,
                     [watcher, onResult = std::move(onResult)]() mutable {
                         watcher->deleteLater();
                         if (endedWithoutThrowing(QFuture<void>(watcher->future()))) {
                             onResult(watcher->future().result());
                         }
                     });
    watcher->setFuture(future);
}

}  // namespace platform
