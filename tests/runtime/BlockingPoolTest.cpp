#include "Platform/Runtime/BlockingPool.hpp"

#include "Platform/Failure.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#ifdef _WIN32
#include "Platform/Windows/Win32.hpp"
#else
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
using namespace Quillmark::Platform;
using Quillmark::Platform::Runtime::BlockingPool;

namespace {

constexpr auto Bound = std::chrono::seconds(20);

// The system's own thread id: a new thread never takes a live or recent one's.
long ThreadId() {
#ifdef _WIN32
    return static_cast<long>(::GetCurrentThreadId());
#else
    return ::gettid();
#endif
}

// Blocks until the process ends: a read of a pipe that nobody ever writes to.
void BlockForGood() {
#ifdef _WIN32
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, nullptr, 0)) std::exit(2);
    char byte;
    DWORD n = 0;
    (void)::ReadFile(readEnd, &byte, 1, &n, nullptr);
#else
    int fds[2];
    if (::pipe(fds) != 0) std::exit(2);
    char byte;
    (void)::read(fds[0], &byte, 1);
#endif
}

// A gate that jobs wait at until the test opens it; every wait is bounded.
class Gate {
public:
    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    // Counts the caller in.
    void Arrive() {
        std::lock_guard lock(mutex_);
        ++waiting_;
        changed_.notify_all();
    }
    // Counts the caller in, then waits for the gate.
    void Pass() {
        Arrive();
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, Bound, [this] { return open_; });
    }
    bool WaitForWaiting(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, Bound, [&] { return waiting_ >= count; });
    }
    int Waiting() {
        std::lock_guard lock(mutex_);
        return waiting_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int waiting_ = 0;
};

// Runs the coroutine on the loop, on this thread; its text, or its failure's kind and text.
std::string Outcome(asio::io_context& io, Task<std::string> task) {
    std::promise<std::string> outcome;
    asio::co_spawn(io, std::move(task), [&](std::exception_ptr failure, std::string value) {
        if (!failure) return outcome.set_value(std::move(value));
        try {
            std::rethrow_exception(failure);
        } catch (const Failure& f) {
            outcome.set_value(std::string(KindName(f.Kind())) + ": " + f.Message());
        }
    });
    io.run_for(Bound);
    auto future = outcome.get_future();
    return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready ? future.get() : "did not finish";
}

}  // namespace

TEST(BlockingPool, ACallRunsOnAWorkerAndResumesOnTheLoopWithItsOutcome) {
    BlockingPool pool(2);
    asio::io_context io;
    const auto loopThread = std::this_thread::get_id();
    std::thread::id callThread;
    std::thread::id resumedOn;

    auto value = [&]() -> Task<std::string> {
        auto text = co_await pool.RunAsync([&] {
            callThread = std::this_thread::get_id();
            return std::string("read");
        });
        resumedOn = std::this_thread::get_id();
        co_return text;
    };
    EXPECT_EQ(Outcome(io, value()), "read");
    EXPECT_NE(callThread, loopThread);
    EXPECT_EQ(resumedOn, loopThread);

    io.restart();
    auto failing = [&]() -> Task<std::string> {
        co_await pool.RunAsync([] { throw IoFailure("Input/output error"); });
        co_return "no failure";
    };
    EXPECT_EQ(Outcome(io, failing()), "IoFailure: Input/output error");
}

TEST(BlockingPool, SuccessiveCallsKeepOneWorker) {
    // A thread per call is what made a native-messaging ping slow where reads block.
    BlockingPool pool(4);
    asio::io_context io;
    std::vector<long> threads;
    auto calls = [&]() -> Task<std::string> {
        for (int i = 0; i < 50; ++i) threads.push_back(co_await pool.RunAsync([] { return ThreadId(); }));
        co_return "";
    };
    Outcome(io, calls());
    ASSERT_EQ(threads.size(), 50u);
    for (const auto& id : threads) EXPECT_EQ(id, threads.front());
}

TEST(BlockingPool, WorkBeyondTheThreadBoundWaitsItsTurn) {
    Gate gate;
    std::atomic<int> running = 0, most = 0, finished = 0;
    {
        BlockingPool pool(2);
        for (int i = 0; i < 5; ++i) {
            pool.Post([&] {
                const int now = ++running;
                for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
                }
                gate.Pass();
                --running;
                ++finished;
            });
        }
        ASSERT_TRUE(gate.WaitForWaiting(2));
        // The others stay queued while both workers are held.
        EXPECT_EQ(gate.Waiting(), 2);
        gate.Open();
        // The destructor runs what was handed over to its end.
    }
    EXPECT_EQ(finished, 5);
    EXPECT_EQ(most, 2);
}

TEST(BlockingPool, AFullQueueRefusesMoreWork) {
    Gate gate;
    {
        BlockingPool pool(1, 3);
        pool.Post([&] { gate.Pass(); });
        ASSERT_TRUE(gate.WaitForWaiting(1));
        for (int i = 0; i < 3; ++i) pool.Post([] {});
        EXPECT_THROW(pool.Post([] {}), InvalidOperationFailure);

        // An awaited call meets the same refusal as its failure, not as a lost resumption.
        asio::io_context io;
        auto refused = [&]() -> Task<std::string> { co_return co_await pool.RunAsync([] { return std::string("ran"); }); };
        EXPECT_EQ(Outcome(io, refused()), "InvalidOperationFailure: Too much blocking work is waiting");
        gate.Open();
    }
}

TEST(BlockingPool, AFailureLeavingAPostedJobEndsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            BlockingPool pool(1);
            pool.Post([] { throw InvalidOperationFailure("lost in the pool"); });
            std::this_thread::sleep_for(Bound);
            std::exit(0);
        },
        ::testing::ExitedWithCode(1), "lost in the pool");
}

TEST(BlockingPool, AWorkerBlockedForGoodDoesNotHoldTheProcessAtItsEnd) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Gate started;
            // Only the end of the process ends this read.
            BlockingPool::Shared().Post([&] {
                started.Arrive();
                BlockForGood();
            });
            if (!started.WaitForWaiting(1)) std::exit(3);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}
