#include "Platform/Net/WebSocket.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Net/NetDetail.hpp"
#include "Platform/Net/WebSocketProtocol.hpp"
#include "Platform/Runtime/Cancellation.hpp"

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
using Reason = WebSocketError::Reason;

namespace {
constexpr auto Awaitable = asio::as_tuple(asio::use_awaitable);

// Why a step of an operation broke the connection; nothing when it went through.
using Broke = std::optional<std::string>;

std::string BrokeText(const boost::system::error_code& ec) {
    if (ec == asio::error::eof)
        return "The remote party closed the WebSocket connection without completing the close handshake.";
    return "The WebSocket connection broke: " + ec.message();
}

WebSocketError BrokenError(std::string message) { return {Reason::Broken, std::move(message)}; }

WebSocketReceiveResult BrokenPiece(std::string message) {
    WebSocketReceiveResult result;
    result.Error = BrokenError(std::move(message));
    return result;
}

// The error an outcome carries: a receive's result holds it, a send's or close's is it.
std::optional<WebSocketError>& ErrorOf(WebSocketReceiveResult& outcome) { return outcome.Error; }
std::optional<WebSocketError>& ErrorOf(std::optional<WebSocketError>& outcome) { return outcome; }
}  // namespace

struct WebSocket::Impl : std::enable_shared_from_this<WebSocket::Impl> {
    Impl(tcp::socket s, boost::beast::flat_buffer& leftover, const WebSocketOptions& options)
        : strand(s.get_executor()),
          socket(std::move(s)),
          input(std::max<std::size_t>(options.ReceiveBufferSize, 1024)),
          writeTurn(strand, Clock::time_point::max()),
          keepAlive(strand),
          keepAliveInterval(options.KeepAliveInterval),
          closeTimeout(options.CloseTimeout),
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
    std::chrono::milliseconds closeTimeout;
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

    // Aborts the socket when the cancellation stops, unless the socket is gone by then.
    void AbortOnStop(Runtime::Cancellation& cancellation) {
        cancellation.OnStop([weak = weak_from_this()] {
            if (auto impl = weak.lock()) impl->AbortNow();
        });
    }

    std::span<const std::uint8_t> Buffered() const { return {input.data() + begin, end - begin}; }

    // Reads more bytes behind what is buffered, making room at the front first.
    Task<Broke> FillMore() {
        if (begin > 0) {
            std::memmove(input.data(), input.data() + begin, end - begin);
            end -= begin;
            begin = 0;
        }
        if (end == input.size()) input.resize(input.size() * 2);
        auto [ec, n] = co_await socket.async_read_some(asio::buffer(input.data() + end, input.size() - end), Awaitable);
        if (ec) co_return BrokeText(ec);
        end += n;
        lastActivity = Clock::now();
        co_return std::nullopt;
    }

    Task<Broke> FillAtLeast(std::size_t count) {
        while (end - begin < count)
            if (auto broke = co_await FillMore()) co_return broke;
        co_return std::nullopt;
    }

    Task<Broke> AcquireWrite() {
        while (writing) {
            co_await writeTurn.async_wait(Awaitable);
            if (Finished()) co_return std::string("The WebSocket was aborted.");
        }
        writing = true;
        co_return std::nullopt;
    }

    void ReleaseWrite() {
        writing = false;
        writeTurn.cancel();
    }

    Task<Broke> SendFrame(Protocol::Opcode code, bool fin, std::span<const std::uint8_t> payload) {
        if (auto broke = co_await AcquireWrite()) co_return broke;
        std::array<std::uint8_t, Protocol::MaxHeaderLength> header{};
        const auto headerLength = Protocol::WriteServerHeader(code, fin, payload.size(), header);
        std::array<asio::const_buffer, 2> buffers{asio::buffer(header.data(), headerLength),
                                                  asio::buffer(payload.data(), payload.size())};
        auto [ec, n] = co_await asio::async_write(socket, buffers, AllAtOnce{}, Awaitable);
        ReleaseWrite();
        if (ec) co_return BrokeText(ec);
        lastActivity = Clock::now();
        co_return std::nullopt;
    }

    // The next piece of a data message, or the peer's close frame; control frames in between
    // are handled here.
    Task<WebSocketReceiveResult> ReadPiece(std::span<std::uint8_t> out) {
        for (;;) {
            if (!frame) {
                Protocol::HeaderParse parse;
                while (!(parse = Protocol::ParseClientHeader(Buffered())).Header) {
                    if (!parse.Violation.empty()) co_return BrokenPiece(std::string(parse.Violation));
                    if (auto broke = co_await FillMore()) co_return BrokenPiece(std::move(*broke));
                }
                const auto header = *parse.Header;
                begin += header.HeaderLength;
                const auto code = header.Code;
                if (code == Protocol::Opcode::Ping || code == Protocol::Opcode::Pong ||
                    code == Protocol::Opcode::Close) {
                    const auto length = static_cast<std::size_t>(header.PayloadLength);
                    if (auto broke = co_await FillAtLeast(length)) co_return BrokenPiece(std::move(*broke));
                    std::array<std::uint8_t, Protocol::MaxControlPayload> payload{};
                    std::memcpy(payload.data(), input.data() + begin, length);
                    begin += length;
                    const std::span<std::uint8_t> control(payload.data(), length);
                    Protocol::Unmask(control, header.Mask, 0);
                    if (code == Protocol::Opcode::Ping) {
                        if (!closeSent)
                            if (auto broke = co_await SendFrame(Protocol::Opcode::Pong, true, control))
                                co_return BrokenPiece(std::move(*broke));
                        continue;
                    }
                    if (code == Protocol::Opcode::Pong) continue;
                    auto close = Protocol::ParseClosePayload(control);
                    if (!close.Violation.empty()) co_return BrokenPiece(std::move(close.Violation));
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
                    if (!receivingMessage) co_return BrokenPiece("The client sent a continuation frame outside a message.");
                } else {
                    if (receivingMessage) co_return BrokenPiece("The client began a new message before the previous one ended.");
                    receivingMessage = true;
                    receiveType = code == Protocol::Opcode::Text ? WebSocketMessageType::Text : WebSocketMessageType::Binary;
                }
                if (header.PayloadLength == 0) {
                    if (!header.Fin) continue;
                    receivingMessage = false;
                    WebSocketReceiveResult empty;
                    empty.MessageType = receiveType;
                    empty.EndOfMessage = true;
                    co_return empty;
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
                if (ec) co_return BrokenPiece(BrokeText(ec));
                lastActivity = Clock::now();
                count = n;
            } else {
                if (begin == end)
                    if (auto broke = co_await FillMore()) co_return BrokenPiece(std::move(*broke));
                count = std::min(want, end - begin);
                std::memcpy(out.data(), input.data() + begin, count);
                begin += count;
            }
            Protocol::Unmask(out.first(count), frame->Mask, static_cast<std::size_t>(frameDone % 4));
            frameDone += count;
            WebSocketReceiveResult piece;
            piece.Count = count;
            piece.MessageType = receiveType;
            if (frameDone == frame->PayloadLength) {
                piece.EndOfMessage = frame->Fin;
                if (piece.EndOfMessage) receivingMessage = false;
                frame.reset();
            }
            co_return piece;
        }
    }

    // Runs one operation under the token and, when given, a time limit: reaching either aborts
    // the socket, which ends the operation; so does any error or failure.
    template <class T>
    Task<T> Guarded(CancellationToken token, std::optional<std::chrono::milliseconds> limit, Task<T> operation) {
        auto self = shared_from_this();
        std::optional<Runtime::Cancellation> cancellation;
        if (limit) cancellation.emplace(strand, token, *limit);
        else cancellation.emplace(strand, token);
        AbortOnStop(*cancellation);
        T outcome{};
        if (cancellation->StopRequested()) {
            ErrorOf(outcome) = WebSocketError{};
        } else {
            try {
                outcome = co_await std::move(operation);
            } catch (...) {
                AbortNow();
                throw;
            }
        }
        auto& error = ErrorOf(outcome);
        if (!error) co_return outcome;
        AbortNow();
        if (cancellation->TimedOut()) error = WebSocketError{Reason::TimedOut, {}};
        else if (token.stop_requested()) error = WebSocketError{Reason::Cancelled, {}};
        co_return outcome;
    }

    Task<WebSocketReceiveResult> Receive(std::span<std::uint8_t> out, CancellationToken token) {
        const auto s = state.load();
        if (s != WebSocketState::Open && s != WebSocketState::CloseSent)
            co_return BrokenPiece("The WebSocket is not in a state that allows receiving.");
        co_return co_await Guarded(std::move(token), std::nullopt, ReadPiece(out));
    }

    Task<std::optional<WebSocketError>> SendData(std::span<const std::uint8_t> bytes, WebSocketMessageType type,
                                                 bool endOfMessage) {
        const auto code = sendingMessage ? Protocol::Opcode::Continuation
                          : type == WebSocketMessageType::Binary ? Protocol::Opcode::Binary
                                                                 : Protocol::Opcode::Text;
        if (auto broke = co_await SendFrame(code, endOfMessage, bytes)) co_return BrokenError(std::move(*broke));
        sendingMessage = !endOfMessage;
        co_return std::nullopt;
    }

    Task<std::optional<WebSocketError>> Send(std::span<const std::uint8_t> bytes, WebSocketMessageType type,
                                             bool endOfMessage, CancellationToken token) {
        if (type == WebSocketMessageType::Close) throw ArgumentFailure("net_WebSockets_Argument_InvalidMessageType", "messageType");
        const auto s = state.load();
        if (s != WebSocketState::Open && s != WebSocketState::CloseReceived)
            co_return BrokenError("The WebSocket is not in a state that allows sending.");
        co_return co_await Guarded(std::move(token), std::nullopt, SendData(bytes, type, endOfMessage));
    }

    Task<std::optional<WebSocketError>> Handshake(std::uint16_t status, std::string description) {
        if (!closeSent) {
            const auto payload = Protocol::MakeClosePayload(status, description);
            if (auto broke = co_await SendFrame(Protocol::Opcode::Close, true, payload))
                co_return BrokenError(std::move(*broke));
            closeSent = true;
            if (!closeReceived) state = WebSocketState::CloseSent;
        }
        // Whatever the peer still sends before its close frame is dropped.
        std::vector<std::uint8_t> scratch(4096);
        while (!closeReceived) {
            auto piece = co_await ReadPiece(scratch);
            if (piece.Error) co_return std::move(piece.Error);
        }
        state = WebSocketState::Closed;
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        keepAlive.cancel();
        writeTurn.cancel();
        co_return std::nullopt;
    }

    Task<std::optional<WebSocketError>> Close(std::uint16_t status, std::string description, CancellationToken token) {
        if (Finished()) co_return std::nullopt;
        co_return co_await Guarded(std::move(token), closeTimeout, Handshake(status, std::move(description)));
    }

    Task<void> KeepAliveLoop() {
        auto self = shared_from_this();
        auto due = lastActivity + keepAliveInterval;
        while (!Finished()) {
            keepAlive.expires_at(due);
            co_await keepAlive.async_wait(Awaitable);
            if (Finished() || closeSent) co_return;
            const auto now = Clock::now();
            if (now - lastActivity < keepAliveInterval) {
                due = lastActivity + keepAliveInterval;
                continue;
            }
            // A write under way is traffic already; a pong queued behind it would only wait.
            if (writing) {
                due = now + keepAliveInterval;
                continue;
            }
            Runtime::Cancellation limit(strand, {}, closeTimeout);
            AbortOnStop(limit);
            if (co_await SendFrame(Protocol::Opcode::Pong, true, {})) {
                AbortNow();
                co_return;
            }
            due = lastActivity + keepAliveInterval;
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

Task<std::optional<WebSocketError>> WebSocket::SendAsync(std::span<const std::uint8_t> bytes, WebSocketMessageType type,
                                                         bool endOfMessage, CancellationToken token) {
    auto impl = impl_;
    co_return co_await Detail::OnStrand(impl->strand, impl->Send(bytes, type, endOfMessage, std::move(token)));
}

Task<std::optional<WebSocketError>> WebSocket::CloseAsync(std::uint16_t status, std::string_view description,
                                                          CancellationToken token) {
    auto impl = impl_;
    co_return co_await Detail::OnStrand(impl->strand, impl->Close(status, std::string(description), std::move(token)));
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
