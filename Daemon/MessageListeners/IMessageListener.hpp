#pragma once

#include "Daemon/Models/Message.hpp"
#include "Platform/Async.hpp"

#include <cstdint>

namespace Quillmark::Daemon::MessageListeners {

// A request handler for one action code. Called by the main loop only, one request at a
// time; every failure is thrown, never turned into a reply here.
class IMessageListener {
public:
    virtual ~IMessageListener() = default;

    // The action code this listener answers; never changes.
    virtual std::int32_t Action() const = 0;
    // Handles one request and yields its reply.
    virtual Platform::Task<Models::Message> ProcessAsync(Models::Message request, Platform::CancellationToken token) = 0;
};

}  // namespace Quillmark::Daemon::MessageListeners
