#include "Platform/Runtime/BlockingPool.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Runtime/ProcessLifetime.hpp"

#include <chrono>
#include <system_error>

namespace Quillmark::Platform::Runtime {

namespace {
constexpr std::size_t SharedThreads = 8;
// Long enough that the reads of a native-messaging session keep their worker between frames.
constexpr auto IdleLifetime = std::chrono::minutes(1);
}  // namespace

BlockingPool& BlockingPool::Shared() {
    // Never destroyed: its workers may be blocked in a read that only the end of the process ends.
    static BlockingPool* const pool = new BlockingPool(SharedThreads);
    return *pool;
}

BlockingPool::BlockingPool(std::size_t maxThreads, std::size_t maxQueued)
    : maxThreads_(maxThreads == 0 ? 1 : maxThreads), maxQueued_(maxQueued == 0 ? 1 : maxQueued) {}

BlockingPool::~BlockingPool() {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
    ended_.wait(lock, [this] { return workers_.empty(); });
    auto ended = std::move(retired_);
    lock.unlock();
    for (auto& thread : ended) thread.join();
}

void BlockingPool::Enqueue(std::unique_ptr<Job>& job) {
    std::lock_guard lock(mutex_);
    // A retired worker has nothing left to do but return.
    for (auto& thread : retired_) thread.join();
    retired_.clear();

    if (queue_.size() >= maxQueued_) throw InvalidOperationFailure("Too much blocking work is waiting");
    queue_.push_back(std::move(job));
    if (queue_.size() <= idle_) {
        wake_.notify_one();
        return;
    }
    if (workers_.size() >= maxThreads_) return;
    auto self = workers_.emplace(workers_.end());
    // Counted as free from here, so that work queued before it runs starts no second thread.
    ++idle_;
    try {
        *self = std::thread([this, self] { Serve(self); });
    } catch (const std::system_error& error) {
        --idle_;
        workers_.erase(self);
        // Without any worker the job would wait for ever; with one it waits its turn.
        if (workers_.empty()) {
            job = std::move(queue_.back());
            queue_.pop_back();
            throw InvalidOperationFailure(std::string("No thread for blocking work: ") + error.what());
        }
    }
}

void BlockingPool::Serve(std::list<std::thread>::iterator self) {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait_for(lock, IdleLifetime, [this] { return !queue_.empty() || stopping_; });
        // Idle too long, or stopping with nothing left.
        if (queue_.empty()) break;
        auto job = std::move(queue_.front());
        queue_.pop_front();
        --idle_;
        lock.unlock();
        try {
            job->Run();
        } catch (...) {
            RaiseUnhandledFailure(std::current_exception());
        }
        // Free again before the outcome goes back, so that the caller's next call finds this
        // worker instead of starting another.
        lock.lock();
        ++idle_;
        lock.unlock();
        job->Finish();
        job.reset();
        lock.lock();
    }
    --idle_;
    retired_.splice(retired_.end(), workers_, self);
    ended_.notify_all();
}

}  // namespace Quillmark::Platform::Runtime
