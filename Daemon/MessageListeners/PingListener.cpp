#include "Daemon/MessageListeners/PingListener.hpp"

#include "Daemon/MessageListeners/ActionCode.hpp"

namespace Quillmark::Daemon::MessageListeners {

std::int32_t PingListener::Action() const { return ActionCode::Ping; }

Platform::Task<Models::Message> PingListener::ProcessAsync(Models::Message, Platform::CancellationToken) {
    Models::Message reply;
    reply.Data = "Pong";
    reply._action = ActionCode::Ping;
    co_return reply;
}

}  // namespace Quillmark::Daemon::MessageListeners
