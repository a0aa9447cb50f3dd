#include "Daemon/Connections/WebSocketConnection.hpp"

#include "Daemon/Config/AppJsonCtx.hpp"
#include "Daemon/Infrastructure/AppLogger.hpp"
#include "Daemon/Infrastructure/MyLogger.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Json/JsonTokenizer.hpp"
#include "Platform/Net/HttpListener.hpp"
#include "Platform/Net/WebSocket.hpp"
#include "Platform/Runtime/Cancellation.hpp"
#include "Platform/Text/Utf8.hpp"

#include <boost/asio/this_coro.hpp>

namespace Quillmark::Daemon::Connections {

namespace asio = boost::asio;
using Infrastructure::AppLogger;
using Infrastructure::LogLevel;
using Infrastructure::MyLogger;
using Platform::CancellationToken;
using Platform::Task;
using Platform::Net::WebSocketError;
using Platform::Net::WebSocketMessageType;
using Platform::Runtime::Cancellation;

namespace {
constexpr std::size_t ReceiveBufferSize = 65536;
// A page must not be able to make the daemon hold an arbitrary amount of memory.
constexpr std::size_t MaxMessageBytes = 64 * 1024 * 1024;

constexpr std::uint16_t CloseNormal = 1000;
constexpr std::uint16_t CloseUnsupportedData = 1003;
constexpr std::uint16_t CloseInvalidPayload = 1007;
constexpr std::uint16_t CloseMessageTooBig = 1009;

constexpr std::string_view LostPrefix = "Mất kết nối WebSocket: ";
constexpr std::string_view UnexpectedPrefix = "Lỗi không mong đợi khi nhận dữ liệu WebSocket: ";
}  // namespace

WebSocketConnection::WebSocketConnection(std::uint16_t listenPort) : WebSocketConnection(listenPort, ZombieTimeout) {}

WebSocketConnection::WebSocketConnection(std::uint16_t listenPort, std::chrono::milliseconds limit,
                                         std::chrono::milliseconds closeLimit)
    : receiveBuffer(ReceiveBufferSize), port(listenPort), zombieTimeout(limit), closeTimeout(closeLimit) {}

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
            // The layer refused the message as soon as a byte broke UTF-8, so the text is checked.
            co_return MessageOrFailure(Config::AppJsonCtx::DecodeMessage(Platform::Json::WellFormedUtf8{
                std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())}));
        } catch (const Platform::DecodeFailure& failure) {
            refusal = failure.Message();
        } catch (const Platform::InvalidOperationFailure& failure) {
            refusal = failure.Message();
        }
        // One undecodable message from a page must not end the daemon: drop that client only.
        AppLogger::Warn("Cannot decode the WebSocket message; closing the client: " + refusal);
        co_await CloseClientAsync(CloseInvalidPayload, "Invalid message");
    }
}

Task<void> WebSocketConnection::SendMessageAsync(Models::Message message, CancellationToken token) {
    if (!IsConnected()) throw Platform::InvalidOperationFailure("WebSocket is not connected or already closed.");
    const auto text = Config::AppJsonCtx::TakeWireText(std::move(message));
    const std::span bytes(reinterpret_cast<const std::uint8_t*>(text->data()), text->size());
    // A page that stops reading its replies would otherwise hold the daemon forever: a reply
    // gets the same time as a request.
    const Cancellation limit(co_await asio::this_coro::executor, token, zombieTimeout);
    const auto error = co_await webSocket->SendAsync(bytes, WebSocketMessageType::Text, true, limit.Token());
    // The main loop answers a reply that did not go out, so it must see it as a failure.
    if (!error) co_return;
    if (error->Why == WebSocketError::Reason::Broken) throw Platform::WebSocketFailure(error->Message);
    throw Platform::CancellationFailure();
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
            options.CloseTimeout = closeTimeout;
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

    const Cancellation limit(co_await asio::this_coro::executor, token, zombieTimeout);
    std::vector<std::uint8_t> message;
    Platform::Text::Utf8::Validator utf8;
    // How the client is let go when it is: with our close frame, or at once.
    std::optional<std::pair<std::uint16_t, std::string_view>> close;
    try {
        for (;;) {
            const auto piece = co_await webSocket->ReceiveAsync(receiveBuffer, limit.Token());
            if (piece.Error) {
                if (piece.Error->Why == WebSocketError::Reason::Broken) {
                    AppLogger::Warn(std::string(LostPrefix) + piece.Error->Message);
                } else if (limit.TimedOut()) {
                    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(zombieTimeout).count();
                    AppLogger::Warn("Client không phản hồi sau " + std::to_string(seconds) + "s. Ngắt kết nối zombie.");
                } else {
                    AppLogger::Error(std::string(UnexpectedPrefix) + Platform::CancellationFailure().Message());
                }
                break;
            }
            if (piece.MessageType == WebSocketMessageType::Close) {
                MyLogger::Instance().Log(LogLevel::Info, "Client gửi tín hiệu đóng. Đang ngắt kết nối.");
                close.emplace(CloseNormal, "Client closed connection");
                break;
            }
            if (piece.MessageType == WebSocketMessageType::Binary) {
                AppLogger::Warn("Binary WebSocket messages are not supported; closing the client.");
                close.emplace(CloseUnsupportedData, "Binary messages are not supported");
                break;
            }
            const std::span<const std::uint8_t> bytes(receiveBuffer.data(), piece.Count);
            if (message.size() + bytes.size() > MaxMessageBytes) {
                AppLogger::Warn("WebSocket message larger than " + std::to_string(MaxMessageBytes) +
                                " bytes; closing the client.");
                close.emplace(CloseMessageTooBig, "Message too big");
                break;
            }
            // Checked as the bytes arrive: a page must not hold the client slot with a message
            // that can no longer become text.
            if (!utf8.Feed(bytes) || (piece.EndOfMessage && !utf8.Complete())) {
                AppLogger::Warn("WebSocket message is not valid UTF-8; closing the client.");
                close.emplace(CloseInvalidPayload, "Invalid message");
                break;
            }
            message.insert(message.end(), bytes.begin(), bytes.end());
            if (piece.EndOfMessage) co_return std::optional<std::vector<std::uint8_t>>(std::move(message));
        }
    } catch (const std::exception& caught) {
        // Out of memory is the main loop's to see; anything else unforeseen costs this client only.
        if (Platform::KindOf(caught) == Platform::FailureKind::OutOfMemory) throw;
        AppLogger::Error(std::string(UnexpectedPrefix) + Platform::MessageOf(std::current_exception()));
    }
    if (!close) {
        CleanupWebSocket();
        co_return std::nullopt;
    }
    const auto lost = co_await CloseClientAsync(close->first, close->second);
    // After the client's own close frame a broken connection is a lost client; after our
    // refusal it was said already.
    if (lost && close->first == CloseNormal) AppLogger::Warn(std::string(LostPrefix) + *lost);
    co_return std::nullopt;
}

Task<std::optional<std::string>> WebSocketConnection::CloseClientAsync(std::uint16_t status, std::string_view description) {
    std::optional<std::string> lost;
    if (webSocket) {
        const auto error = co_await webSocket->CloseAsync(status, description, CancellationToken{});
        if (error && error->Why == WebSocketError::Reason::TimedOut)
            AppLogger::Warn("WebSocket client did not complete the closing handshake in time; connection aborted.");
        else if (error && error->Why == WebSocketError::Reason::Broken)
            lost = error->Message;
    }
    CleanupWebSocket();
    co_return lost;
}

Models::Message WebSocketConnection::DeserializeMessage(std::span<const std::uint8_t> bytes) {
    return MessageOrFailure(Config::AppJsonCtx::DecodeMessage(bytes));
}

Models::Message WebSocketConnection::MessageOrFailure(std::optional<Models::Message> message) {
    if (!message) throw Platform::InvalidOperationFailure("Failed to deserialize message. Output is null.");
    return std::move(*message);
}

void WebSocketConnection::CleanupWebSocket() {
    // Disposal aborts an open socket and raises nothing.
    webSocket.reset();
}

}  // namespace Quillmark::Daemon::Connections
