#pragma once

#include "Daemon/Connections/IConnection.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::Platform::Net {
class HttpListener;
class WebSocket;
}  // namespace Quillmark::Platform::Net

namespace Quillmark::Daemon::Connections {

// The loopback WebSocket server: one client at a time, one JSON Message per text message.
// A client that leaves is replaced by the next one; the end of input is reported only when
// the token is found cancelled. One operation at a time: never a receive and a send together.
class WebSocketConnection final : public IConnection {
public:
    // The time a client has to deliver one complete message, all its frames together.
    static constexpr std::chrono::seconds ZombieTimeout{60};
    // The time a closing handshake gets, ours or the client's, before the socket is aborted.
    static constexpr std::chrono::seconds CloseTimeout{5};

    // Opens nothing; StartAsync listens on 127.0.0.1:port (0 picks a free port).
    explicit WebSocketConnection(std::uint16_t port);
    // For tests: shorter limits.
    WebSocketConnection(std::uint16_t port, std::chrono::milliseconds zombieTimeout,
                        std::chrono::milliseconds closeTimeout = CloseTimeout);
    ~WebSocketConnection() override;

    WebSocketConnection(const WebSocketConnection&) = delete;
    WebSocketConnection& operator=(const WebSocketConnection&) = delete;

    Platform::Task<void> StartAsync(Platform::CancellationToken token) override;
    Platform::Task<Models::Message> ReceiveMessageAsync(Platform::CancellationToken token) override;
    Platform::Task<void> SendMessageAsync(Models::Message message, Platform::CancellationToken token) override;

    // True while a client's socket is held and open.
    bool IsConnected() const;
    // The port listened on once started (the chosen one when constructed with 0).
    std::uint16_t LocalPort() const;

    // One received message as a Message; DecodeFailure, or InvalidOperationFailure for null.
    static Models::Message DeserializeMessage(std::span<const std::uint8_t> bytes);

private:
    // The decoded record; the JSON literal null is the invalid-operation failure.
    static Models::Message MessageOrFailure(std::optional<Models::Message> message);
    Platform::Task<void> AcceptConnectionAsync(Platform::CancellationToken token);
    Platform::Task<std::optional<std::vector<std::uint8_t>>> TryReadMessageAsync(Platform::CancellationToken token);
    // The closing handshake with the current client (after its close frame, or to refuse it), then
    // the client is forgotten; one that runs out of time is a Warn line. What broke the
    // connection meanwhile, if anything did.
    Platform::Task<std::optional<std::string>> CloseClientAsync(std::uint16_t status, std::string_view description);
    void CleanupWebSocket();

    std::unique_ptr<Platform::Net::HttpListener> httpListener;
    std::unique_ptr<Platform::Net::WebSocket> webSocket;
    std::vector<std::uint8_t> receiveBuffer;
    std::uint16_t port;
    std::chrono::milliseconds zombieTimeout;
    std::chrono::milliseconds closeTimeout;
};

}  // namespace Quillmark::Daemon::Connections
