#pragma once
// A server-side WebSocket over one accepted TCP connection (RFC 6455, no extensions).
// One receive and one send may run at once; the layer never runs two writes at once (replies,
// pongs, the keep-alive pong and the close frame wait their turn). Pings are answered inside
// a receive. A receive or send that fails or is cancelled aborts the socket.

#include "Platform/Async.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace Quillmark::Platform::Net {

enum class WebSocketMessageType { Text, Binary, Close };

enum class WebSocketState { Open, CloseSent, CloseReceived, Closed, Aborted };

// One piece of a message, or the peer's close frame.
struct WebSocketReceiveResult {
    std::size_t Count = 0;
    WebSocketMessageType MessageType = WebSocketMessageType::Text;
    bool EndOfMessage = false;
    std::optional<std::uint16_t> CloseStatus;  // set for a close frame that carried one
    std::string CloseStatusDescription;
};

struct WebSocketOptions {
    std::size_t ReceiveBufferSize = 16384;
    // An unsolicited pong goes out after this long without traffic either way.
    std::chrono::milliseconds KeepAliveInterval{std::chrono::seconds(30)};
};

class WebSocket {
public:
    struct Impl;
    explicit WebSocket(std::shared_ptr<Impl> impl);
    // Disposes: a socket that is not closed is aborted.
    ~WebSocket();
    WebSocket(const WebSocket&) = delete;
    WebSocket& operator=(const WebSocket&) = delete;

    WebSocketState State() const noexcept;

    // Fills the buffer with the next bytes of the current message (at most one frame's worth);
    // a close frame yields MessageType Close. Failures: WebSocketFailure (the connection broke,
    // the peer broke the protocol), CancellationFailure (the token).
    Task<WebSocketReceiveResult> ReceiveAsync(std::span<std::uint8_t> buffer, CancellationToken token);
    // Sends one frame; the bytes must live until the task completes.
    Task<void> SendAsync(std::span<const std::uint8_t> bytes, WebSocketMessageType type, bool endOfMessage,
                         CancellationToken token);
    // The closing handshake: our close frame, then (unless the peer's came first) reading until
    // the peer's close frame; the TCP connection is closed afterwards.
    Task<void> CloseAsync(std::uint16_t status, std::string_view description, CancellationToken token);
    // Closes the TCP connection at once; pending operations fail.
    void Abort() noexcept;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace Quillmark::Platform::Net
