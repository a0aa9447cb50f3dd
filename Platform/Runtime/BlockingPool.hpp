#pragma once
// Threads for work that blocks on the operating system, so that the event loop never does.
//
// What goes here: calls that block on the system for an unbounded or long time and cannot be
// waited for on the event loop: reads and writes of standard handles that cannot be polled,
// waits for children nobody awaits (one job for all of them), hashing and writing of large
// uploads. Such a job may hold its worker for as long as it blocks; the bound leaves room.
// What never goes here: anything that touches listener or transport state (that state has no
// lock; it belongs to the loop's one request at a time), and log appends, which stay on the
// caller because they are short and the logger's order must hold.
//
// Workers are started as work arrives, up to the pool's bound, and stay for the next piece of
// work; one idle for a minute ends. Work beyond the bound waits in a queue of bounded length.
// Workers never keep the process alive: its end (a return from main, or the immediate exit)
// ends them wherever they are, blocked or not.

#include "Platform/Async.hpp"

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>
#include <variant>

namespace Quillmark::Platform::Runtime {

class BlockingPool {
public:
    // The process's pool: 8 workers at most, 1024 queued jobs at most.
    static BlockingPool& Shared();

    explicit BlockingPool(std::size_t maxThreads, std::size_t maxQueued = 1024);
    // Runs what was handed over to its end, then returns: only for pools whose work ends by
    // itself (tests). The shared pool is never destroyed.
    ~BlockingPool();
    BlockingPool(const BlockingPool&) = delete;
    BlockingPool& operator=(const BlockingPool&) = delete;

    // Runs the job on a worker without waiting for it. A failure that leaves the job is one no
    // code handled: it ends the process through the unhandled-failure handler. A full queue, or
    // no thread to be had while none runs, is an InvalidOperationFailure and nothing is queued.
    template <class Function>
    void Post(Function job) {
        std::unique_ptr<Job> work = std::make_unique<Work<Function>>(std::move(job));
        Enqueue(work);
    }

    // Runs the call on a worker and resumes the awaiting coroutine on its own executor with the
    // call's result, or its failure rethrown. A call under way is not interrupted by
    // cancellation: check the token first. The awaiting executor must outlive the call.
    template <class Call>
    Task<std::invoke_result_t<Call&>> RunAsync(Call call);

private:
    struct Job {
        virtual ~Job() = default;
        // The work itself.
        virtual void Run() = 0;
        // Hands the outcome back; runs once the worker is free for the next job.
        virtual void Finish() noexcept {}
    };
    template <class Function>
    struct Work final : Job {
        explicit Work(Function f) : function(std::move(f)) {}
        void Run() override { function(); }
        Function function;
    };
    // A call whose outcome goes back to an awaiting coroutine on the loop's executor.
    template <class Call, class Value, class Handler, class Executor>
    struct Completion final : Job {
        Completion(Call c, Handler h, const Executor& loop)
            : call(std::move(c)), handler(std::move(h)), work(boost::asio::make_work_guard(loop)) {}
        void Run() override {
            try {
                if constexpr (std::is_same_v<Value, std::monostate>) {
                    call();
                    value.emplace();
                } else {
                    value.emplace(call());
                }
            } catch (...) {
                failure = std::current_exception();
            }
        }
        void Finish() noexcept override {
            // The guard travels with the outcome and ends on the loop: released here after the
            // post, it could reach a loop that has run the outcome and is being torn down, which
            // on Windows then waits for that work for ever.
            const auto loop = work.get_executor();
            boost::asio::post(loop, [handler = std::move(handler), failure = failure, value = std::move(value),
                                     guard = std::move(work)]() mutable {
                guard.reset();
                std::move(handler)(failure, std::move(value));
            });
        }
        Call call;
        Handler handler;
        // Keeps the loop from running out of work while only the worker is busy.
        boost::asio::executor_work_guard<Executor> work;
        std::exception_ptr failure;
        std::optional<Value> value;
    };

    // Takes the job, or throws and leaves it with the caller.
    void Enqueue(std::unique_ptr<Job>& job);
    void Serve(std::list<std::thread>::iterator self);

    const std::size_t maxThreads_;
    const std::size_t maxQueued_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable ended_;
    std::deque<std::unique_ptr<Job>> queue_;
    std::list<std::thread> workers_;
    // Workers whose loop has ended: joined at the next chance, so none is ever left unjoined.
    std::list<std::thread> retired_;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

template <class Call>
Task<std::invoke_result_t<Call&>> BlockingPool::RunAsync(Call call) {
    namespace asio = boost::asio;
    using Result = std::invoke_result_t<Call&>;
    // A void call hands back an empty marker, so both kinds share one path.
    using Value = std::conditional_t<std::is_void_v<Result>, std::monostate, Result>;
    const auto loop = co_await asio::this_coro::executor;

    auto initiation = [this, &call, &loop](auto handler) {
        const auto target = asio::get_associated_executor(handler, loop);
        using Done = Completion<Call, Value, decltype(handler), std::decay_t<decltype(target)>>;
        auto* done = new Done(std::move(call), std::move(handler), target);
        std::unique_ptr<Job> job(done);
        try {
            Enqueue(job);
        } catch (...) {
            done->failure = std::current_exception();
            done->Finish();
        }
    };
    auto value = co_await asio::async_initiate<const asio::use_awaitable_t<>&,
                                               void(std::exception_ptr, std::optional<Value>)>(
        std::move(initiation), asio::use_awaitable);
    if constexpr (!std::is_void_v<Result>) co_return std::move(*value);
}

}  // namespace Quillmark::Platform::Runtime
