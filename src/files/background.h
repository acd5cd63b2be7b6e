#pragma once

#include <QFuture>
#include <QPromise>
#include <QThreadPool>

#include <memory>
#include <type_traits>
#include <utility>

// Runs `work` on a thread of `pool` and gives its result as a future, for a QFutureWatcher of
// the caller's; the toolkit's concurrency module is not in every build of it, its core is.
// `work` may take the promise (QPromise<T> &) to look for a cancel; it owns what it touches,
// so it may end after the caller is gone.
template <typename T, typename Work> QFuture<T> runInBackground(QThreadPool *pool, Work work)
{
    auto promise = std::make_shared<QPromise<T>>();
    QFuture<T> future = promise->future();
    promise->start();
    pool->start([promise, work = std::move(work)]() mutable {
        if constexpr (std::is_invocable_v<Work &, QPromise<T> &>) {
            work(*promise);
        } else if constexpr (std::is_void_v<T>) {
            work();
        } else {
            promise->addResult(work());
        }
        promise->finish();
    });
    return future;
}

template <typename T, typename Work> QFuture<T> runInBackground(Work work)
{
    return runInBackground<T>(QThreadPool::globalInstance(), std::move(work));
}
