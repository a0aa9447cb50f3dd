#include "Platform/Net/WebSocket.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Net/NetDetail.hpp"
#include "Platform/Net/WebSocketProtocol.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/buffer.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <vector>

namespace Quillmark::Platform::Net {

namespace asio = boost::asio;
namespace Protocol = WebSocketProtocol;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {
constexpr auto Awaitable = asio::as_tuple(asio::use_awaitable);

WebSocketFailure IoBroke(const boost::system::error_code& ec) {
    if (ec == asio::error::eof)
        return WebSocketFailure("The remote party closed the WebSocket connection without completing the close handshake.");
    return WebSocketFailure("The WebSocket connection broke: " + ec.message());
}
}  // namespace

struct WebSocket::Impl : std::enable_shared_from_this<WebSocket::Impl> {
    Impl(tcp::socket s, boost::beast::flat_buffer& leftover, const WebSocketOptions& options)
        : strand(s.get_executor()),
          socket(std::move(s)),
          input(std::max<std::size_t>(options.ReceiveBufferSize, 1024)),
          writeTurn(strand, Clock::time_point::max()),
          keepAlive(strand),
          keepAliveInterval(options.KeepAliveInterval),
          lastActivity(Clock::now()) {
        const auto data = leftover.data();
        if (data.size() > input.size()) input.resize(data.size());
        std::memcpy(input.data(), data.data(), data.size());
        end = data.size();
        leftover.consume(data.size());
    }

    asio::any_io_executor strand;
    tcp::socket socket;
    std::vector<std::uint8_t> input;
    std::size_t begin = 0;
    std::size_t end = 0;
    std::atomic<WebSocketState> state{WebSocketState::Open};

    std::optional<Protocol::FrameHeader> frame;  // the data frame being delivered
    std::uint64_t frameDone = 0;
    bool receivingMessage = false;
    WebSocketMessageType receiveType = WebSocketMessageType::Text;
    bool sendingMessage = false;
    bool closeSent = false;
    bool closeReceived = false;

    bool writing = false;
    asio::steady_timer writeTurn;  // never expires; cancelled to wake writers waiting their turn
    asio::steady_timer keepAlive;
    std::chrono::milliseconds keepAliveInterval;
    Clock::time_point lastActivity;

    bool Finished() const {
        const auto s = state.load();
        return s == WebSocketState::Aborted || s == WebSocketState::Closed;
    }

    void AbortNow() noexcept {
        if (state.load() != WebSocketState::Closed) state = WebSocketState::Aborted;
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        keepAlive.cancel();
        writeTurn.cancel();
    }

    std::span<const std::uint8_t> Buffered() const { return {input.data() + begin, end - begin}; }

    // Reads more bytes behind what is buffered, making room at the front first.
    Task<void> FillMore() {
        if (begin > 0) {
            std::memmove(input.data(), input.data() + begin, end - begin);
            end -= begin;
            begin = 0;
        }
        if (end == input.size()) input.resize(input.size() * 2);
        auto [ec, n] = co_await socket.async_read_some(asio::buffer(input.data() + end, input.size() - end), Awaitable);
        if (ec) throw IoBroke(ec);
        end += n;
        lastActivity = Clock::now();
    }

    Task<void> FillAtLeast(std::size_t count) {
        while (end - begin < count) co_await FillMore();
    }

    Task<void> AcquireWrite() {
        while (writing) {
            co_await writeTurn.async_wait(Awaitable);
            if (Finished()) throw WebSocketFailure("The WebSocket was aborted.");
        }
        writing = true;
    }

    void ReleaseWrite() {
        writing = false;
        writeTurn.cancel();
    }

    Task<void> SendFrame(Protocol::Opcode code, bool fin, std::span<const std::uint8_t> payload) {
        co_await AcquireWrite();
        std::array<std::uint8_t, Protocol::MaxHeaderLength> header{};
        const auto headerLength = Protocol::WriteServerHeader(code, fin, payload.size(), header);
        std::array<asio::const_buffer, 2> buffers{asio::buffer(header.data(), headerLength),
                                                  asio::buffer(payload.data(), payload.size())};
        auto [ec, n] = co_await asio::async_write(socket, buffers, Awaitable);
        ReleaseWrite();
        if (ec) throw IoBroke(ec);
        lastActivity = Clock::now();
    }

    // The next piece of a data message, or the peer's close frame; control frames in between
    // are handled here.
    Task<WebSocketReceiveResult> ReadPiece(std::span<std::uint8_t> out) {
        for (;;) {
            if (!frame) {
                std::optional<Protocol::FrameHeader> header;
                while (!(header = Protocol::ParseClientHeader(Buffered()))) co_await FillMore();
                begin += header->HeaderLength;
                const auto code = header->Code;
                if (code == Protocol::Opcode::Ping || code == Protocol::Opcode::Pong ||
                    code == Protocol::Opcode::Close) {
                    const auto length = static_cast<std::size_t>(header->PayloadLength);
                    co_await FillAtLeast(length);
                    std::array<std::uint8_t, Protocol::MaxControlPayload> payload{};
                    std::memcpy(payload.data(), input.data() + begin, length);
                    begin += length;
                    const std::span<std::uint8_t> control(payload.data(), length);
                    Protocol::Unmask(control, header->Mask, 0);
                    if (code == Protocol::Opcode::Ping) {
                        if (!closeSent) co_await SendFrame(Protocol::Opcode::Pong, true, control);
                        continue;
                    }
                    if (code == Protocol::Opcode::Pong) continue;
                    auto close = Protocol::ParseClosePayload(control);
                    closeReceived = true;
                    state = closeSent ? WebSocketState::Closed : WebSocketState::CloseReceived;
                    WebSocketReceiveResult result;
                    result.MessageType = WebSocketMessageType::Close;
                    result.EndOfMessage = true;
                    result.CloseStatus = close.Status;
                    result.CloseStatusDescription = std::move(close.Description);
                    co_return result;
                }
                if (code == Protocol::Opcode::Continuation) {
                    if (!receivingMessage) throw WebSocketFailure("The client sent a continuation frame outside a message.");
                } else {
                    if (receivingMessage) throw WebSocketFailure("The client began a new message before the previous one ended.");
                    receivingMessage = true;
                    receiveType = code == Protocol::Opcode::Text ? WebSocketMessageType::Text : WebSocketMessageType::Binary;
                }
                if (header->PayloadLength == 0) {
                    if (!header->Fin) continue;
                    receivingMessage = false;
                    co_return WebSocketReceiveResult{0, receiveType, true, std::nullopt, {}};
                }
                frame = header;
                frameDone = 0;
            }

            const auto remaining = frame->PayloadLength - frameDone;
            const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, out.size()));
            std::size_t count;
            if (begin == end && want >= 4096) {
                // A large payload goes straight into the caller's buffer.
                auto [ec, n] = co_await socket.async_read_some(asio::buffer(out.data(), want), Awaitable);
                if (ec) throw IoBroke(ec);
                lastActivity = Clock::now();
                count = n;
            } else {
                if (begin == end) co_await FillMore();
                count = std::min(want, end - begin);
                std::memcpy(out.data(), input.data() + begin, count);
                begin += count;
            }
            Protocol::Unmask(out.first(count), frame->Mask, static_cast<std::size_t>(frameDone % 4));
            frameDone += count;
            bool endOfMessage = false;
            if (frameDone == frame->PayloadLength) {
                endOfMessage = frame->Fin;
                if (endOfMessage) receivingMessage = false;
                frame.reset();
            }
            co_return WebSocketReceiveResult{count, receiveType, endOfMessage, std::nullopt, {}};
        }
    }

    // Runs one operation under the token: a failure or a cancellation aborts the socket.
    template <class T>
    Task<T> Guarded(CancellationToken token, Task<T> operation) {
        auto self = shared_from_this();
        Detail::CancelGuard guard(token, strand, [weak = std::weak_ptr<Impl>(self)] {
            if (auto impl = weak.lock()) impl->AbortNow();
        });
        std::exception_ptr failure;
        try {
            if (token.stop_requested()) throw CancellationFailure();
            co_return co_await std::move(operation);
        } catch (...) {
            failure = std::current_exception();
        }
        AbortNow();
        if (token.stop_requested()) throw CancellationFailure();
        std::rethrow_exception(failure);
    }

    Task<WebSocketReceiveResult> Receive(std::span<std::uint8_t> out, CancellationToken token) {
        const auto s = state.load();
        if (s != WebSocketState::Open && s != WebSocketState::CloseSent)
            throw WebSocketFailure("The WebSocket is not in a state that allows receiving.");
        co_return co_await Guarded(token, ReadPiece(out));
    }

    Task<void> SendData(std::span<const std::uint8_t> bytes, WebSocketMessageType type, bool endOfMessage) {
        const auto code = sendingMessage ? Protocol::Opcode::Continuation
                          : type == WebSocketMessageType::Binary ? Protocol::Opcode::Binary
                                                                 : Protocol::Opcode::Text;
        co_await SendFrame(code, endOfMessage, bytes);
        sendingMessage = !endOfMessage;
    }

    Task<void> Send(std::span<const std::uint8_t> bytes, WebSocketMessageType type, bool endOfMessage,
                    CancellationToken token) {
        const auto s = state.load();
        if (s != WebSocketState::Open && s != WebSocketState::CloseReceived)
            throw WebSocketFailure("The WebSocket is not in a state that allows sending.");
        if (type == WebSocketMessageType::Close) throw ArgumentFailure("net_WebSockets_Argument_InvalidMessageType", "messageType");
        co_await Guarded(token, SendData(bytes, type, endOfMessage));
    }

    Task<void> Handshake(std::uint16_t status, std::string description) {
        if (!closeSent) {
            const auto payload = Protocol::MakeClosePayload(status, description);
            co_await SendFrame(Protocol::Opcode::Close, true, payload);
            closeSent = true;
            if (!closeReceived) state = WebSocketState::CloseSent;
        }
        // Whatever the peer still sends before its close frame is dropped.
        std::vector<std::uint8_t> scratch(4096);
        while (!closeReceived) {
            auto piece = co_await ReadPiece(scratch);
            (void)piece;
        }
        state = WebSocketState::Closed;
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        keepAlive.cancel();
        writeTurn.cancel();
    }

    Task<void> Close(std::uint16_t status, std::string description, CancellationToken token) {
        if (Finished()) co_return;
        co_await Guarded(token, Handshake(status, std::move(description)));
    }

    Task<void> KeepAliveLoop() {
        auto self = shared_from_this();
        while (!Finished()) {
            keepAlive.expires_at(lastActivity + keepAliveInterval);
            co_await keepAlive.async_wait(Awaitable);
            if (Finished() || closeSent) co_return;
            if (Clock::now() - lastActivity < keepAliveInterval) continue;
            try {
                co_await SendFrame(Protocol::Opcode::Pong, true, {});
            } catch (const Failure&) {
                AbortNow();
                co_return;
            }
        }
    }
};

WebSocket::WebSocket(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

WebSocket::~WebSocket() {
    if (impl_ && !impl_->Finished()) Abort();
}

WebSocketState WebSocket::State() const noexcept { return impl_->state.load(); }

Task<WebSocketReceiveResult> WebSocket::ReceiveAsync(std::span<std::uint8_t> buffer, CancellationToken token) {
    auto impl = impl_;
    co_return co_await Detail::OnStrand(impl->strand, impl->Receive(buffer, std::move(token)));
}

Task<void> WebSocket::SendAsync(std::span<const std::uint8_t> bytes, WebSocketMessageType type, bool endOfMessage,
                                CancellationToken token) {
    auto impl = impl_;
    co_await Detail::OnStrand(impl->strand, impl->Send(bytes, type, endOfMessage, std::move(token)));
}

Task<void> WebSocket::CloseAsync(std::uint16_t status, std::string_view description, CancellationToken token) {
    auto impl = impl_;
    co_await Detail::OnStrand(impl->strand, impl->Close(status, std::string(description), std::move(token)));
}

void WebSocket::Abort() noexcept {
    if (impl_->state.load() != WebSocketState::Closed) impl_->state = WebSocketState::Aborted;
    asio::post(impl_->strand, [impl = impl_] { impl->AbortNow(); });
}

namespace Detail {

std::unique_ptr<WebSocket> MakeServerWebSocket(tcp::socket socket, boost::beast::flat_buffer& leftover,
                                               const WebSocketOptions& options) {
    auto impl = std::make_shared<WebSocket::Impl>(std::move(socket), leftover, options);
    asio::co_spawn(impl->strand, impl->KeepAliveLoop(), [](std::exception_ptr failure) {
        if (failure) std::rethrow_exception(failure);
    });
    return std::make_unique<WebSocket>(std::move(impl));
}

}  // namespace Detail

}  // namespace Quillmark::Platform::Net
