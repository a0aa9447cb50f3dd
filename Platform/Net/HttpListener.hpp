#pragma once
// An HTTP listener on one TCP address that hands out requests one at a time, in the order
// their heads arrived across all connections, and upgrades them to WebSockets. A request
// waits, with its connection open, until it is taken. Everything of the listener and of the
// WebSockets it hands out runs on the executor given at construction, which must be
// single-threaded or a strand; callers on another executor are hopped onto it.

#include "Platform/Async.hpp"
#include "Platform/Net/WebSocket.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace Quillmark::Platform::Net {

struct HttpListenerLimits {
    // Connections accepted but not yet taken. A newcomer beyond them takes the place of the oldest
    // one still sending its head; it is closed at once when every one has sent its head.
    std::size_t MaxPendingConnections = 64;
    // The time a connection has to send a complete request head.
    std::chrono::milliseconds HeadTimeout{std::chrono::seconds(30)};
    std::size_t MaxHeadBytes = 16384;
};

struct PendingConnection;

// One received request and its connection, answered exactly once.
class HttpListenerContext {
public:
    explicit HttpListenerContext(std::shared_ptr<PendingConnection> connection);
    ~HttpListenerContext();
    HttpListenerContext(const HttpListenerContext&) = delete;
    HttpListenerContext& operator=(const HttpListenerContext&) = delete;

    // A "Connection" header listing "Upgrade" and an "Upgrade" header listing "websocket", letter
    // case ignored; a header repeated on several lines counts as one list.
    bool IsWebSocketRequest() const;
    std::string_view Method() const;
    std::string_view Target() const;
    // The value of a header (the first when repeated), or nothing.
    std::optional<std::string> Header(std::string_view name) const;

    // Answers with the status and an empty body, then closes the connection. A client that
    // is gone is not a failure.
    Task<void> RespondAsync(unsigned status);
    // The opening handshake with no sub-protocol: the answer names none, whatever was offered.
    // A request the handshake refuses is answered 400 and fails with a WebSocketFailure.
    Task<std::unique_ptr<WebSocket>> AcceptWebSocketAsync(WebSocketOptions options);

private:
    std::shared_ptr<PendingConnection> connection_;
};

class HttpListener {
public:
    explicit HttpListener(boost::asio::any_io_executor executor, HttpListenerLimits limits = {});
    // Stops accepting and closes every connection not taken yet.
    ~HttpListener();
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;

    // Binds and listens on the IPv4 address and port (0 picks one); IoFailure when refused.
    void Start(std::string_view address, std::uint16_t port);
    std::uint16_t Port() const;

    // The next request; CancellationFailure when the token is cancelled first.
    Task<std::unique_ptr<HttpListenerContext>> GetContextAsync(CancellationToken token);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace Quillmark::Platform::Net
