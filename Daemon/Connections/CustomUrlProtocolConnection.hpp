#pragma once

#include "Daemon/Connections/IConnection.hpp"

namespace Quillmark::Daemon::Connections {

// The transport of the "start" launch URL, which has no implementation: every operation
// raises a NotImplementedFailure as it is called, before anything asynchronous starts.
class CustomUrlProtocolConnection final : public IConnection {
public:
    Platform::Task<void> StartAsync(Platform::CancellationToken token) override;
    Platform::Task<Models::Message> ReceiveMessageAsync(Platform::CancellationToken token) override;
    Platform::Task<void> SendMessageAsync(Models::Message message, Platform::CancellationToken token) override;
};

}  // namespace Quillmark::Daemon::Connections
