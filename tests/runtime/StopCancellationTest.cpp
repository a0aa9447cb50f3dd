#include "Platform/Runtime/StopCancellation.hpp"

#include "Platform/Failure.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace asio = boost::asio;
using Quillmark::Platform::Task;
using Quillmark::Platform::Runtime::StopCancellation;
using namespace std::chrono_literals;

namespace {

// Waits on a timer far in the future through the bridge; answers the timer's error.
Task<boost::system::error_code> WaitLong(std::stop_token token, std::function<void()> onWaiting = {}) {
    auto executor = co_await asio::this_coro::executor;
    StopCancellation stop(executor, token);
    asio::steady_timer timer(executor, 1h);
    if (onWaiting) asio::post(executor, onWaiting);
    auto [ec] = co_await timer.async_wait(stop.Bind(asio::as_tuple(asio::use_awaitable)));
    co_return ec;
}

boost::system::error_code RunBounded(asio::io_context& io, Task<boost::system::error_code> task) {
    boost::system::error_code result = asio::error::timed_out;
    asio::co_spawn(io, std::move(task), [&](std::exception_ptr e, boost::system::error_code ec) {
        if (e) std::rethrow_exception(e);
        result = ec;
    });
    // Bounded: a bridge that fails to cancel makes the test fail instead of hanging.
    io.run_for(10s);
    return result;
}

}  // namespace

TEST(StopCancellation, StopFromAnotherThreadCancelsTheBoundOperation) {
    asio::io_context io;
    std::stop_source source;
    std::thread stopper;
    auto ec = RunBounded(io, WaitLong(source.get_token(), [&] { stopper = std::thread([&] { source.request_stop(); }); }));
    stopper.join();
    EXPECT_EQ(ec, asio::error::operation_aborted);
}

TEST(StopCancellation, StopRequestedBeforehandCancelsTheFirstBoundOperation) {
    asio::io_context io;
    std::stop_source source;
    source.request_stop();
    EXPECT_EQ(RunBounded(io, WaitLong(source.get_token())), asio::error::operation_aborted);
}

TEST(StopCancellation, ThrowIfStopRequestedIsACancellationFailure) {
    asio::io_context io;
    std::stop_source source;
    StopCancellation bridge(io.get_executor(), source.get_token());
    EXPECT_NO_THROW(bridge.ThrowIfStopRequested());
    source.request_stop();
    EXPECT_TRUE(bridge.StopRequested());
    EXPECT_THROW(bridge.ThrowIfStopRequested(), Quillmark::Platform::CancellationFailure);
}

TEST(StopCancellation, StopAfterTheBridgeIsGoneIsHarmless) {
    asio::io_context io;
    std::stop_source source;
    {
        StopCancellation bridge(io.get_executor(), source.get_token());
    }
    source.request_stop();
    EXPECT_NO_THROW(io.run_for(100ms));
}

TEST(StopCancellation, CompletedOperationIsNotDisturbedByALaterStop) {
    asio::io_context io;
    std::stop_source source;
    boost::system::error_code first = asio::error::timed_out;
    asio::co_spawn(io, [&]() -> Task<void> {
        auto executor = co_await asio::this_coro::executor;
        StopCancellation stop(executor, source.get_token());
        asio::steady_timer timer(executor, 1ms);
        auto [ec] = co_await timer.async_wait(stop.Bind(asio::as_tuple(asio::use_awaitable)));
        first = ec;
        source.request_stop();
        // The emit posted by the stop finds no operation bound and does nothing.
        asio::steady_timer after(executor, 1ms);
        co_await after.async_wait(asio::use_awaitable);
    }, asio::detached);
    io.run_for(10s);
    EXPECT_FALSE(first);
}
