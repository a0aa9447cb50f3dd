#pragma once
// Carries a std::stop_token into Asio: cancels the operation bound to it, optionally adds a time
// limit, and runs an action when the stop comes.
//
//   Platform::Runtime::Cancellation cancel(co_await asio::this_coro::executor, token, 60s);
//   cancel.ThrowIfStopRequested();
//   auto [ec, n] = co_await stream.async_read_some(buffer, cancel.Bind(asio::as_tuple(asio::use_awaitable)));
//   if (ec == asio::error::operation_aborted && cancel.TimedOut()) ...   // the 60 s ran out
//
// The stop may be requested from any thread; its effects (the cancellation of the bound
// operation, the action) take place on the given executor, which must be the one the bound
// operations run on (single-threaded or a strand). Construct, use and destroy the object on
// that executor. One operation at a time may be bound; bind each one as it starts. A stop that
// is requested while no operation is bound cancels nothing later, so check StopRequested()
// before each bind; a stop requested before construction still cancels the first operation
// bound before the executor's next turn.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>

namespace Quillmark::Platform::Runtime {

class Cancellation {
public:
    // Stopped when the token is.
    Cancellation(boost::asio::any_io_executor executor, std::stop_token token);
    // Stopped when the token is or when the limit, counted from now, runs out: whichever is first.
    Cancellation(boost::asio::any_io_executor executor, std::stop_token token,
                 std::chrono::steady_clock::duration limit);
    // Any action not run yet is dropped.
    ~Cancellation();
    Cancellation(const Cancellation&) = delete;
    Cancellation& operator=(const Cancellation&) = delete;

    // The token that is stopped with this object: the given one, or one that the limit stops as well.
    std::stop_token Token() const noexcept { return token_; }
    bool StopRequested() const noexcept { return token_.stop_requested(); }
    // A CancellationFailure when the stop has been requested.
    void ThrowIfStopRequested() const;
    // True when the limit ran out before the given token was stopped.
    bool TimedOut() const noexcept { return state_->timedOut; }

    // The completion token with this object's cancellation slot attached.
    template <class CompletionToken>
    auto Bind(CompletionToken&& completionToken) {
        return boost::asio::bind_cancellation_slot(state_->signal.slot(),
                                                   std::forward<CompletionToken>(completionToken));
    }

    // Runs the action on the executor once the stop comes, unless this object is gone by then
    // (right away when it has come already). One action; a later call replaces it.
    void OnStop(std::function<void()> action);

private:
    struct State {
        boost::asio::cancellation_signal signal;
        std::function<void()> action;
        std::stop_source limited{std::nostopstate};
        bool alive = true;
        bool stopped = false;
        bool timedOut = false;
    };
    struct Emitter {
        boost::asio::any_io_executor executor;
        std::shared_ptr<State> state;
        void operator()() const;
    };
    struct Link {
        std::shared_ptr<State> state;
        void operator()() const { state->limited.request_stop(); }
    };

    boost::asio::any_io_executor executor_;
    std::shared_ptr<State> state_;
    std::stop_token token_;
    std::optional<std::stop_callback<Link>> link_;
    std::optional<boost::asio::steady_timer> timer_;
    std::optional<std::stop_callback<Emitter>> emitter_;
};

}  // namespace Quillmark::Platform::Runtime
