#pragma once

#include "Daemon/Models/Message.hpp"
#include "Platform/Async.hpp"

namespace Quillmark::Daemon::Connections {

// The transport as the main loop sees it. One operation at a time: never a receive and a
// send together. Failures are delivered as the outcome of the awaited operation.
class IConnection {
public:
    virtual ~IConnection() = default;

    // Opens the transport; called once, before anything else.
    virtual Platform::Task<void> StartAsync(Platform::CancellationToken token) = 0;
    // The next request, never absent; an EndOfStreamFailure says no further request will come.
    virtual Platform::Task<Models::Message> ReceiveMessageAsync(Platform::CancellationToken token) = 0;
    // Sends one message whole.
    virtual Platform::Task<void> SendMessageAsync(Models::Message message, Platform::CancellationToken token) = 0;
};

}  // namespace Quillmark::Daemon::Connections
