#pragma once
// Ties a std::stop_token to Asio's per-operation cancellation, so that a request for stop
// cancels the asynchronous operation currently bound to it.
//
//   Platform::Runtime::StopCancellation stop(co_await boost::asio::this_coro::executor, token);
//   stop.ThrowIfStopRequested();
//   auto [ec, n] = co_await stream.async_read_some(buffer, stop.Bind(asio::as_tuple(asio::use_awaitable)));
//   if (ec == boost::asio::error::operation_aborted) ...   // stop was requested meanwhile
//
// The stop request may come from any thread; the cancellation is emitted on the given executor,
// which must be the one the bound operations run on (the coroutine's own, single-threaded or a
// strand). One operation at a time may be bound; bind each new one as it starts. A stop that
// was requested before construction still cancels the first operation bound on that executor,
// but checking ThrowIfStopRequested() first is cheaper and clearer.

#include "Platform/Async.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>

#include <memory>
#include <stop_token>
#include <utility>

namespace Quillmark::Platform::Runtime {

class StopCancellation {
public:
    StopCancellation(boost::asio::any_io_executor executor, std::stop_token token,
                     boost::asio::cancellation_type type = boost::asio::cancellation_type::all);
    StopCancellation(const StopCancellation&) = delete;
    StopCancellation& operator=(const StopCancellation&) = delete;

    // The completion token with this bridge's cancellation slot attached.
    template <class CompletionToken>
    auto Bind(CompletionToken&& completionToken) {
        return boost::asio::bind_cancellation_slot(state_->signal.slot(),
                                                   std::forward<CompletionToken>(completionToken));
    }

    bool StopRequested() const noexcept { return token_.stop_requested(); }
    // A CancellationFailure when stop has been requested.
    void ThrowIfStopRequested() const;

private:
    struct State {
        boost::asio::cancellation_signal signal;
    };
    struct Emitter {
        boost::asio::any_io_executor executor;
        std::shared_ptr<State> state;
        boost::asio::cancellation_type type;
        void operator()() const;
    };

    std::stop_token token_;
    std::shared_ptr<State> state_;
    std::stop_callback<Emitter> callback_;
};

}  // namespace Quillmark::Platform::Runtime
