#pragma once

#include "Daemon/MessageListeners/IMessageListener.hpp"

namespace Quillmark::Daemon::MessageListeners {

// Answers with the application's version text (present even when empty).
class CheckVersionListener final : public IMessageListener {
public:
    std::int32_t Action() const override;
    Platform::Task<Models::Message> ProcessAsync(Models::Message request, Platform::CancellationToken token) override;
};

}  // namespace Quillmark::Daemon::MessageListeners
