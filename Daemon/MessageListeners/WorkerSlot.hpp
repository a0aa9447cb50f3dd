#pragma once

#include "Platform/Async.hpp"
#include "Platform/Runtime/BlockingPool.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <utility>

namespace Quillmark::Daemon::MessageListeners {

// One job at a time on the blocking pool, for work that a listener does ahead of the requests
// that will need it. The job's own state is guarded by the slot's lock, and the job ends under
// that lock, so that work handed over while it is ending is never left behind unseen.
class WorkerSlot {
public:
    WorkerSlot() = default;
    WorkerSlot(const WorkerSlot&) = delete;
    WorkerSlot& operator=(const WorkerSlot&) = delete;

    bool Running() {
        const std::lock_guard lock(mutex_);
        return running_;
    }
    // Blocks until no job runs: only on a worker, or where the wait is known to be short.
    void WaitIdle() {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return !running_; });
    }
    // Waits on the loop, without holding it, until no job runs; jobs end within one piece of
    // their work once told to stop.
    Platform::Task<void> WaitIdleAsync() {
        if (!Running()) co_return;
        boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor);
        while (Running()) {
            timer.expires_after(std::chrono::milliseconds(1));
            co_await timer.async_wait(boost::asio::use_awaitable);
        }
    }

protected:
    ~WorkerSlot() = default;

    // Under the lock: true when no job ran and one counts as running from now on; the caller
    // then posts it.
    bool Claim() noexcept {
        if (running_) return false;
        running_ = true;
        return true;
    }
    // Runs the claimed job on a worker; a pool that takes no more work leaves the slot free.
    template <class Job>
    void Post(Job job) {
        try {
            Platform::Runtime::BlockingPool::Shared().Post(std::move(job));
        } catch (...) {
            const std::lock_guard lock(mutex_);
            EndJob();
        }
    }
    // Under the lock: whether a job runs.
    bool Busy() const noexcept { return running_; }
    // Under the lock, as the job's last step.
    void EndJob() noexcept {
        running_ = false;
        idle_.notify_all();
    }

    std::mutex mutex_;

private:
    std::condition_variable idle_;
    bool running_ = false;
};

}  // namespace Quillmark::Daemon::MessageListeners
