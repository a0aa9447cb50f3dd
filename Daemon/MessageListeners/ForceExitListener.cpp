#include "Daemon/MessageListeners/ForceExitListener.hpp"

#include "Daemon/MessageListeners/ActionCode.hpp"

namespace Quillmark::Daemon::MessageListeners {

ForceExitListener::ForceExitListener(Platform::CancellationTokenSource source)
    : cancellationTokenSource(std::move(source)) {}

std::int32_t ForceExitListener::Action() const { return ActionCode::ForceExit; }

Platform::Task<Models::Message> ForceExitListener::ProcessAsync(Models::Message, Platform::CancellationToken) {
    // request_stop runs every registered callback on this thread before it returns.
    cancellationTokenSource.request_stop();
    Models::Message reply;
    reply.Data = "OK";
    reply._action = ActionCode::ForceExit;
    co_return reply;
}

}  // namespace Quillmark::Daemon::MessageListeners
