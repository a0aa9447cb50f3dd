#include "Daemon/Connections/WebSocketConnection.hpp"

#include "Daemon/Config/AppJsonCtx.hpp"
#include "Daemon/Infrastructure/AppLogger.hpp"
#include "Daemon/Infrastructure/MyLogger.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Net/HttpListener.hpp"
#include "Platform/Net/WebSocket.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>

#include <new>
#include <stop_token>

namespace Quillmark::Daemon::Connections {

namespace asio = boost::asio;
using Infrastructure::AppLogger;
using Infrastructure::LogLevel;
using Infrastructure::MyLogger;
using Platform::CancellationToken;
using Platform::Task;
using Platform::Net::WebSocketMessageType;

namespace {
constexpr std::size_t ReceiveBufferSize = 65536;
// A page must not be able to make the daemon hold an arbitrary amount of memory.
constexpr std::size_t MaxMessageBytes = 64 * 1024 * 1024;
// How long a client we refuse gets to answer our close frame.
constexpr std::chrono::seconds RefusalCloseTimeout{5};

constexpr std::uint16_t CloseNormal = 1000;
constexpr std::uint16_t CloseInvalidPayload = 1007;
constexpr std::uint16_t CloseMessageTooBig = 1009;

// A token that is cancelled with the given one or when the time runs out, whichever is first.
class DeadlineToken {
public:
    DeadlineToken(const asio::any_io_executor& executor, const CancellationToken& outer,
                  std::chrono::milliseconds limit)
        : source_(std::make_shared<std::stop_source>()),
          link_(outer, Stopper{source_}),
          timer_(executor, limit) {
        timer_.async_wait([source = source_](boost::system::error_code ec) {
            if (!ec) source->request_stop();
        });
    }
    CancellationToken Token() const { return source_->get_token(); }

private:
    struct Stopper {
        std::shared_ptr<std::stop_source> source;
        void operator()() const { source->request_stop(); }
    };
    std::shared_ptr<std::stop_source> source_;
    std::stop_callback<Stopper> link_;
    asio::steady_timer timer_;
};
}  // namespace

WebSocketConnection::WebSocketConnection(std::uint16_t listenPort) : WebSocketConnection(listenPort, ZombieTimeout) {}

WebSocketConnection::WebSocketConnection(std::uint16_t listenPort, std::chrono::milliseconds limit)
    : receiveBuffer(ReceiveBufferSize), port(listenPort), zombieTimeout(limit) {}

WebSocketConnection::~WebSocketConnection() = default;

bool WebSocketConnection::IsConnected() const {
    return webSocket && webSocket->State() == Platform::Net::WebSocketState::Open;
}

std::uint16_t WebSocketConnection::LocalPort() const { return httpListener ? httpListener->Port() : port; }

Task<void> WebSocketConnection::StartAsync(CancellationToken) {
    auto executor = co_await asio::this_coro::executor;
    auto listener = std::make_unique<Platform::Net::HttpListener>(executor);
    listener->Start("127.0.0.1", port);
    httpListener = std::move(listener);
    MyLogger::Instance().Log(LogLevel::Info, "Đã khởi động WebSocket server trên cổng " + std::to_string(LocalPort()));
}

Task<Models::Message> WebSocketConnection::ReceiveMessageAsync(CancellationToken token) {
    for (;;) {
        if (token.stop_requested()) throw Platform::EndOfStreamFailure();
        if (!IsConnected()) co_await AcceptConnectionAsync(token);
        auto bytes = co_await TryReadMessageAsync(token);
        if (!bytes) continue;

        std::string refusal;
        try {
            co_return DeserializeMessage(*bytes);
        } catch (const Platform::DecodeFailure& failure) {
            refusal = failure.Message();
        } catch (const Platform::InvalidOperationFailure& failure) {
            refusal = failure.Message();
        }
        // One undecodable message from a page must not end the daemon: drop that client only.
        AppLogger::Warn("Cannot decode the WebSocket message; closing the client: " + refusal);
        co_await RefuseClientAsync(CloseInvalidPayload, "Invalid message");
    }
}

Task<void> WebSocketConnection::SendMessageAsync(Models::Message message, CancellationToken token) {
    if (!IsConnected()) throw Platform::InvalidOperationFailure("WebSocket is not connected or already closed.");
    const auto bytes = Config::AppJsonCtx::EncodeMessageUtf8(message);
    // A page that stops reading its replies would otherwise hold the daemon forever: a reply
    // gets the same time as a request.
    const DeadlineToken limit(co_await asio::this_coro::executor, token, zombieTimeout);
    co_await webSocket->SendAsync(bytes, WebSocketMessageType::Text, true, limit.Token());
}

Task<void> WebSocketConnection::AcceptConnectionAsync(CancellationToken token) {
    if (!httpListener) throw Platform::InvalidOperationFailure("The WebSocket server is not started.");
    while (!token.stop_requested()) {
        MyLogger::Instance().Log(LogLevel::Info, "Đang chờ kết nối WebSocket mới...");
        auto context = co_await httpListener->GetContextAsync(token);
        if (!context->IsWebSocketRequest()) {
            co_await context->RespondAsync(400);
            continue;
        }
        std::string refusal;
        try {
            Platform::Net::WebSocketOptions options;
            options.ReceiveBufferSize = 16384;
            options.KeepAliveInterval = std::chrono::seconds(30);
            webSocket = co_await context->AcceptWebSocketAsync(options);
            MyLogger::Instance().Log(LogLevel::Info, "Client đã kết nối WebSocket.");
            co_return;
        } catch (const Platform::WebSocketFailure& failure) {
            refusal = failure.Message();
        }
        // The request was answered 400; a malformed handshake must not end the daemon.
        AppLogger::Warn("WebSocket handshake refused: " + refusal);
    }
}

Task<std::optional<std::vector<std::uint8_t>>> WebSocketConnection::TryReadMessageAsync(CancellationToken token) {
    // The accept stopped without a client because the token was cancelled.
    if (!IsConnected()) co_return std::nullopt;

    const DeadlineToken limit(co_await asio::this_coro::executor, token, zombieTimeout);
    std::vector<std::uint8_t> message;
    std::size_t received = 0;
    bool closeReceived = false;
    bool tooBig = false;
    std::exception_ptr failure;
    try {
        for (;;) {
            const auto piece = co_await webSocket->ReceiveAsync(receiveBuffer, limit.Token());
            if (piece.MessageType == WebSocketMessageType::Close) {
                closeReceived = true;
                break;
            }
            received += piece.Count;
            if (received > MaxMessageBytes) {
                tooBig = true;
                break;
            }
            if (piece.MessageType == WebSocketMessageType::Text)
                message.insert(message.end(), receiveBuffer.begin(),
                               receiveBuffer.begin() + static_cast<std::ptrdiff_t>(piece.Count));
            if (piece.EndOfMessage) co_return std::optional<std::vector<std::uint8_t>>(std::move(message));
        }
        if (closeReceived) {
            MyLogger::Instance().Log(LogLevel::Info, "Client gửi tín hiệu đóng. Đang ngắt kết nối.");
            co_await webSocket->CloseAsync(CloseNormal, "Client closed connection", CancellationToken{});
            CleanupWebSocket();
            co_return std::nullopt;
        }
    } catch (...) {
        failure = std::current_exception();
    }

    if (tooBig) {
        AppLogger::Warn("WebSocket message larger than " + std::to_string(MaxMessageBytes) +
                        " bytes; closing the client.");
        co_await RefuseClientAsync(CloseMessageTooBig, "Message too big");
        co_return std::nullopt;
    }

    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const Platform::Failure& caught) {
        const auto kind = caught.Kind();
        if (kind == Platform::FailureKind::OutOfMemory) throw;
        if (kind == Platform::FailureKind::Cancellation && !token.stop_requested()) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(zombieTimeout).count();
            AppLogger::Warn("Client không phản hồi sau " + std::to_string(seconds) + "s. Ngắt kết nối zombie.");
        } else if (kind == Platform::FailureKind::WebSocket) {
            AppLogger::Warn("Mất kết nối WebSocket: " + caught.Message());
        } else {
            AppLogger::Error("Lỗi không mong đợi khi nhận dữ liệu WebSocket: " + caught.Message());
        }
    } catch (const std::exception& caught) {
        AppLogger::Error(std::string("Lỗi không mong đợi khi nhận dữ liệu WebSocket: ") + caught.what());
    }
    CleanupWebSocket();
    co_return std::nullopt;
}

Task<void> WebSocketConnection::RefuseClientAsync(std::uint16_t status, std::string_view reason) {
    if (webSocket) {
        try {
            const DeadlineToken limit(co_await asio::this_coro::executor, CancellationToken{}, RefusalCloseTimeout);
            co_await webSocket->CloseAsync(status, reason, limit.Token());
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const std::exception&) {
            // The client is dropped either way.
        }
    }
    CleanupWebSocket();
}

Models::Message WebSocketConnection::DeserializeMessage(std::span<const std::uint8_t> bytes) {
    auto message = Config::AppJsonCtx::DecodeMessage(bytes);
    if (!message) throw Platform::InvalidOperationFailure("Failed to deserialize message. Output is null.");
    return std::move(*message);
}

void WebSocketConnection::CleanupWebSocket() {
    // Disposal aborts an open socket and raises nothing.
    webSocket.reset();
}

}  // namespace Quillmark::Daemon::Connections
