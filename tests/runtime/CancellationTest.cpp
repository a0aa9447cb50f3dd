#include "Platform/Runtime/Cancellation.hpp"

#include "Platform/Async.hpp"
#include "Platform/Failure.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

namespace asio = boost::asio;
using Quillmark::Platform::Task;
using Quillmark::Platform::Runtime::Cancellation;
using namespace std::chrono_literals;

namespace {

struct Waited {
    boost::system::error_code Error = asio::error::timed_out;  // stays so when the wait never ended
    bool StopRequested = false;
    bool TimedOut = false;
};

// Waits on a timer far in the future through a Cancellation, with a limit when one is given.
Task<Waited> WaitLong(std::stop_token token, std::optional<std::chrono::milliseconds> limit = std::nullopt,
                      std::function<void()> onWaiting = {}) {
    auto executor = co_await asio::this_coro::executor;
    std::optional<Cancellation> cancellation;
    if (limit) cancellation.emplace(executor, token, *limit);
    else cancellation.emplace(executor, token);
    asio::steady_timer timer(executor, 1h);
    if (onWaiting) asio::post(executor, onWaiting);
    auto [ec] = co_await timer.async_wait(cancellation->Bind(asio::as_tuple(asio::use_awaitable)));
    co_return Waited{ec, cancellation->StopRequested(), cancellation->TimedOut()};
}

Waited RunBounded(asio::io_context& io, Task<Waited> task) {
    Waited result;
    asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, Waited waited) {
        if (e) std::rethrow_exception(e);
        result = waited;
    });
    // Bounded: a cancellation that never comes makes the test fail instead of hanging.
    io.run_for(10s);
    return result;
}

}  // namespace

TEST(Cancellation, StopFromAnotherThreadCancelsTheBoundOperation) {
    asio::io_context io;
    std::stop_source source;
    std::thread stopper;
    const auto waited =
        RunBounded(io, WaitLong(source.get_token(), std::nullopt, [&] { stopper = std::thread([&] { source.request_stop(); }); }));
    stopper.join();
    EXPECT_EQ(waited.Error, asio::error::operation_aborted);
    EXPECT_TRUE(waited.StopRequested);
    EXPECT_FALSE(waited.TimedOut);
}

TEST(Cancellation, StopRequestedBeforehandCancelsTheFirstBoundOperation) {
    asio::io_context io;
    std::stop_source source;
    source.request_stop();
    EXPECT_EQ(RunBounded(io, WaitLong(source.get_token())).Error, asio::error::operation_aborted);
}

TEST(Cancellation, TheLimitStopsItsOwnTokenAndTellsSo) {
    asio::io_context io;
    std::stop_source outer;
    const auto waited = RunBounded(io, WaitLong(outer.get_token(), 20ms));
    EXPECT_EQ(waited.Error, asio::error::operation_aborted);
    EXPECT_TRUE(waited.StopRequested);
    EXPECT_TRUE(waited.TimedOut);
    // The caller's token is not touched by the limit.
    EXPECT_FALSE(outer.stop_requested());
}

TEST(Cancellation, AStopBeforeTheLimitIsNotATimeOut) {
    asio::io_context io;
    std::stop_source outer;
    outer.request_stop();
    // Stopped from the start, and the limit is long gone by the end of the wait.
    std::optional<Waited> afterLimit;
    asio::co_spawn(io, [&]() -> Task<void> {
        auto executor = co_await asio::this_coro::executor;
        Cancellation cancellation(executor, outer.get_token(), 1ms);
        EXPECT_TRUE(cancellation.Token().stop_requested());
        asio::steady_timer pause(executor, 50ms);
        co_await pause.async_wait(asio::use_awaitable);
        afterLimit = Waited{{}, cancellation.StopRequested(), cancellation.TimedOut()};
    }, asio::detached);
    io.run_for(10s);
    ASSERT_TRUE(afterLimit);
    EXPECT_TRUE(afterLimit->StopRequested);
    EXPECT_FALSE(afterLimit->TimedOut);
}

TEST(Cancellation, ThrowIfStopRequestedIsACancellationFailure) {
    asio::io_context io;
    std::stop_source source;
    Cancellation cancellation(io.get_executor(), source.get_token());
    EXPECT_NO_THROW(cancellation.ThrowIfStopRequested());
    source.request_stop();
    EXPECT_TRUE(cancellation.StopRequested());
    EXPECT_THROW(cancellation.ThrowIfStopRequested(), Quillmark::Platform::CancellationFailure);
}

TEST(Cancellation, TheActionRunsOnceOnTheExecutorWhileTheObjectLives) {
    asio::io_context io;
    std::stop_source source;
    int runs = 0;
    std::thread::id ranOn;
    {
        Cancellation cancellation(io.get_executor(), source.get_token());
        cancellation.OnStop([&] {
            ++runs;
            ranOn = std::this_thread::get_id();
        });
        std::thread([&] { source.request_stop(); }).join();
        EXPECT_EQ(runs, 0);  // not on the stopping thread
        io.run_for(100ms);
        EXPECT_EQ(runs, 1);
        EXPECT_EQ(ranOn, std::this_thread::get_id());

        // Set after the stop has come: it runs all the same.
        bool late = false;
        cancellation.OnStop([&] { late = true; });
        io.restart();
        io.run_for(100ms);
        EXPECT_TRUE(late);
    }

    // Gone before its executor ran: the action is dropped, and a limit no longer fires.
    std::stop_source second;
    bool ran = false;
    {
        Cancellation gone(io.get_executor(), second.get_token(), 1ms);
        gone.OnStop([&] { ran = true; });
        second.request_stop();
    }
    io.restart();
    io.run_for(100ms);
    EXPECT_FALSE(ran);
}

TEST(Cancellation, ACompletedOperationIsNotDisturbedByALaterStop) {
    asio::io_context io;
    std::stop_source source;
    boost::system::error_code first = asio::error::timed_out;
    asio::co_spawn(io, [&]() -> Task<void> {
        auto executor = co_await asio::this_coro::executor;
        Cancellation cancellation(executor, source.get_token());
        asio::steady_timer timer(executor, 1ms);
        auto [ec] = co_await timer.async_wait(cancellation.Bind(asio::as_tuple(asio::use_awaitable)));
        first = ec;
        source.request_stop();
        // The cancellation emitted by the stop finds no operation bound and does nothing.
        asio::steady_timer after(executor, 1ms);
        co_await after.async_wait(asio::use_awaitable);
    }, asio::detached);
    io.run_for(10s);
    EXPECT_FALSE(first);
}
