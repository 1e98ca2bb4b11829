#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include <QFuture>
#include <QPromise>

class QObject;
class QThread;

// Runs submitted tasks one at a time, in submission order, on one thread of its
// own that lives as long as the executor. Every task hands its result back
// through a QFuture. Waiting on that future never runs the task on the waiting
// thread: the task always runs on the executor's thread, after every task
// submitted before it.
class SerialExecutor {
public:
    SerialExecutor();
    // Runs every task already submitted, then stops the thread.
    ~SerialExecutor();

    SerialExecutor(const SerialExecutor&) = delete;
    SerialExecutor& operator=(const SerialExecutor&) = delete;

    template <typename Task> auto submit(Task task) -> QFuture<std::invoke_result_t<Task&>>;

    // True when called from a task of this executor.
    bool isCurrentThread() const;

private:
    void post(std::function<void()> job);

    QThread* m_thread = nullptr;
    QObject* m_context = nullptr;
};

template <typename Task>
auto SerialExecutor::submit(Task task) -> QFuture<std::invoke_result_t<Task&>> {
    using Result = std::invoke_result_t<Task&>;
    auto promise = std::make_shared<QPromise<Result>>();
    // Started at once: a future that is not yet started counts as finished to
    // anyone who waits on it.
    promise->start();
    QFuture<Result> future = promise->future();
    post([promise, task = std::move(task)]() mutable {
        try {
            if constexpr (std::is_void_v<Result>) {
                task();
            } else {
                promise->addResult(task());
            }
        } catch (...) {
            promise->setException(std::current_exception());
        }
        promise->finish();
    });
    return future;
}
