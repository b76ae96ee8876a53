#pragma once

#include <QFuture>
#include <QPromise>

#include <atomic>
#include <exception>
#include <thread>
#include <type_traits>
#include <utility>

namespace platform {

// File work that may block in the kernel for as long as a network share stalls. Each runs on a
// thread of its own that nobody joins, so a stalled share can hold up neither the window nor the
// program's exit; the future finishes when the work returns and carries what it threw.
std::atomic<int>& detachedWorkRunning();

template <typename Work>
auto runDetached(Work work) -> QFuture<std::invoke_result_t<Work>> {
    using Result = std::invoke_result_t<Work>;
    QPromise<Result> promise;
    QFuture<Result> future = promise.future();
    promise.start();
    ++detachedWorkRunning();
    std::thread([promise = std::move(promise), work = std::move(work)]() mutable {
        try {
            if constexpr (std::is_void_v<Result>) {
                work();
            } else {
                promise.addResult(work());
            }
        } catch (...) {
            promise.setException(std::current_exception());
        }
        promise.finish();
        --detachedWorkRunning();
    }).detach();
    return future;
}

}  // namespace platform
