#include "Platform/Runtime/Cancellation.hpp"

#include "Platform/Failure.hpp"

#include <boost/asio/post.hpp>

namespace Quillmark::Platform::Runtime {

Cancellation::Cancellation(boost::asio::any_io_executor executor, std::stop_token token)
    : executor_(std::move(executor)), state_(std::make_shared<State>()), token_(std::move(token)) {
    emitter_.emplace(token_, Emitter{executor_, state_});
}

Cancellation::Cancellation(boost::asio::any_io_executor executor, std::stop_token token,
                           std::chrono::steady_clock::duration limit)
    : executor_(std::move(executor)), state_(std::make_shared<State>()) {
    state_->limited = std::stop_source();
    token_ = state_->limited.get_token();
    link_.emplace(std::move(token), Link{state_});
    timer_.emplace(executor_, limit);
    timer_->async_wait([state = state_](boost::system::error_code ec) {
        // Only the first stop request counts: a token stopped already keeps the limit out of it.
        if (!ec && state->limited.request_stop()) state->timedOut = true;
    });
    emitter_.emplace(token_, Emitter{executor_, state_});
}

Cancellation::~Cancellation() { state_->alive = false; }

void Cancellation::ThrowIfStopRequested() const {
    if (token_.stop_requested()) throw CancellationFailure();
}

void Cancellation::OnStop(std::function<void()> action) {
    state_->action = std::move(action);
    if (!state_->stopped) return;
    boost::asio::post(executor_, [state = state_] {
        if (state->alive && state->action) state->action();
    });
}

void Cancellation::Emitter::operator()() const {
    // A cancellation_signal is not thread-safe and the action belongs to the executor: both
    // happen there. The posted handler keeps the state alive even when the object is gone.
    boost::asio::post(executor, [state = state] {
        if (!state->alive || state->stopped) return;
        state->stopped = true;
        state->signal.emit(boost::asio::cancellation_type::all);
        if (state->action) state->action();
    });
}

}  // namespace Quillmark::Platform::Runtime
