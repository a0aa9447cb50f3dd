#include "Platform/Runtime/StopCancellation.hpp"

#include "Platform/Failure.hpp"

#include <boost/asio/post.hpp>

namespace Quillmark::Platform::Runtime {

StopCancellation::StopCancellation(boost::asio::any_io_executor executor, std::stop_token token,
                                   boost::asio::cancellation_type type)
    : token_(token),
      state_(std::make_shared<State>()),
      callback_(std::move(token), Emitter{std::move(executor), state_, type}) {}

void StopCancellation::ThrowIfStopRequested() const {
    if (token_.stop_requested()) throw CancellationFailure();
}

void StopCancellation::Emitter::operator()() const {
    // A cancellation_signal is not thread-safe: emit it where the bound operation runs. The
    // posted handler keeps the signal alive even when the bridge is gone by then.
    boost::asio::post(executor, [state = state, type = type] { state->signal.emit(type); });
}

}  // namespace Quillmark::Platform::Runtime
