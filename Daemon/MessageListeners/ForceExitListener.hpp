#pragma once

#include "Daemon/MessageListeners/IMessageListener.hpp"

namespace Quillmark::Daemon::MessageListeners {

// The stop request: cancels the daemon-wide source and answers "OK" once every callback
// registered on its token has run. The main loop still sends that reply, then ends.
class ForceExitListener final : public IMessageListener {
public:
    explicit ForceExitListener(Platform::CancellationTokenSource cancellationTokenSource);

    std::int32_t Action() const override;
    Platform::Task<Models::Message> ProcessAsync(Models::Message request, Platform::CancellationToken token) override;

private:
    Platform::CancellationTokenSource cancellationTokenSource;
};

}  // namespace Quillmark::Daemon::MessageListeners
