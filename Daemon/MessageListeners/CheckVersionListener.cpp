#include "Daemon/MessageListeners/CheckVersionListener.hpp"

#include "Common/Utils.hpp"
#include "Daemon/MessageListeners/ActionCode.hpp"

namespace Quillmark::Daemon::MessageListeners {

std::int32_t CheckVersionListener::Action() const { return ActionCode::CheckVersion; }

Platform::Task<Models::Message> CheckVersionListener::ProcessAsync(Models::Message, Platform::CancellationToken) {
    Models::Message reply;
    reply.Data = Common::Utils::GetAppVersion();
    reply._action = ActionCode::CheckVersion;
    co_return reply;
}

}  // namespace Quillmark::Daemon::MessageListeners
