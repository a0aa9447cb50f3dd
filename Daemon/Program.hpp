#pragma once

#include "Daemon/Connections/IConnection.hpp"
#include "Daemon/Connections/WebSocketConnection.hpp"
#include "Daemon/MessageListeners/IMessageListener.hpp"
#include "Platform/Async.hpp"
#include "Platform/Runtime/ProcessLifetime.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Quillmark::Daemon {

// The daemon's start-up, its receive-dispatch-reply loop and its end on an unhandled failure.
class Program {
public:
    // Start-up, then the main loop on the calling thread; the loop's result is the exit code.
    // A failure is passed on unchanged, for the unhandled-failure handler.
    static std::int32_t Main(const std::vector<std::string>& args);

    // One request at a time until the token is cancelled or the input ends (result 0). Uses
    // `connection` and `listeners`, which must be set.
    static Platform::Task<std::int32_t> MainAsync(Platform::CancellationToken token);

    // Logs the failure, hands it to the crash reporter and ends the process with exit code 1.
    [[noreturn]] static void CurrentDomain_UnhandledException(const void* sender,
                                                              const Platform::Runtime::UnhandledFailureEventArgs& e);

    // Set once by Main, before the loop starts; kept for the process life.
    static inline std::unique_ptr<Connections::IConnection> connection;
    // The dispatch order of the main loop.
    static inline std::vector<std::unique_ptr<MessageListeners::IMessageListener>> listeners;
    // The time a WebSocket client has for each message. Nothing the daemon reads at run time
    // changes it: only a test build of the daemon links in a shorter one.
    static inline std::chrono::milliseconds webSocketMessageLimit = Connections::WebSocketConnection::ZombieTimeout;
};

}  // namespace Quillmark::Daemon
