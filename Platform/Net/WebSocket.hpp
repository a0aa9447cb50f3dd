#pragma once
// A server-side WebSocket over one accepted TCP connection (RFC 6455, no extensions).
// One receive and one send or close may run at once; the layer never runs two writes at once
// (replies, pongs, the keep-alive pong and the close frame wait their turn). Pings are answered
// inside a receive. A receive or send that fails or is cancelled aborts the socket.
//
// A peer that leaves, breaks the protocol or runs out of time is what this edge expects: such
// outcomes are returned as a WebSocketError, never thrown. Only failures nobody here can
// answer for (out of memory) are thrown.

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

// Why an operation ended without completing; the socket is aborted by then.
struct WebSocketError {
    enum class Reason {
        Cancelled,  // the caller's token
        TimedOut,   // the layer's own limit on a closing handshake
        Broken,     // the connection broke, the peer broke the protocol, or the socket was not open
    };
    Reason Why = Reason::Broken;
    std::string Message;  // for a log line: what broke; empty for the other reasons
};

// One piece of a message, or the peer's close frame, or why neither came.
struct WebSocketReceiveResult {
    std::size_t Count = 0;
    WebSocketMessageType MessageType = WebSocketMessageType::Text;
    bool EndOfMessage = false;
    std::optional<std::uint16_t> CloseStatus;  // set for a close frame that carried one
    std::string CloseStatusDescription;
    std::optional<WebSocketError> Error;  // set when nothing was received; the rest is then empty
};

struct WebSocketOptions {
    std::size_t ReceiveBufferSize = 16384;
    // An unsolicited pong goes out after this long without traffic either way.
    std::chrono::milliseconds KeepAliveInterval{std::chrono::seconds(30)};
    // The most a closing handshake may take, and an unsolicited pong may wait to go out, before
    // the socket is aborted: a peer that stops reading must not hold either forever.
    std::chrono::milliseconds CloseTimeout{std::chrono::seconds(5)};
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

    // Fills the buffer with the next bytes of the current message (at most one frame's worth,
    // as soon as they arrive); a close frame yields MessageType Close.
    Task<WebSocketReceiveResult> ReceiveAsync(std::span<std::uint8_t> buffer, CancellationToken token);
    // Sends one frame; the bytes must live until the task completes. Nothing when it went out.
    Task<std::optional<WebSocketError>> SendAsync(std::span<const std::uint8_t> bytes, WebSocketMessageType type,
                                                  bool endOfMessage, CancellationToken token);
    // The closing handshake: our close frame, then (unless the peer's came first) reading until
    // the peer's close frame; the TCP connection is closed afterwards. Bounded by the token and
    // by the options' CloseTimeout. Nothing when it completed or the socket was finished already.
    Task<std::optional<WebSocketError>> CloseAsync(std::uint16_t status, std::string_view description,
                                                   CancellationToken token);
    // Closes the TCP connection at once; pending operations fail.
    void Abort() noexcept;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace Quillmark::Platform::Net
