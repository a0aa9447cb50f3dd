#include "Platform/Net/HttpListener.hpp"

#include "Platform/Failure.hpp"
#include "tests/websocket/RawClient.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace {

using namespace Quillmark::Tests;
using namespace Quillmark::Platform::Net;
namespace asio = boost::asio;

// A listener that upgrades every request it takes and, when asked, sends one message on it;
// the sockets are held, never read, so only the layer itself writes on its own.
class ListenerHost {
public:
    ListenerHost(HttpListenerLimits limits, WebSocketOptions options, std::size_t messageSize = 0)
        : listener_(io_.get_executor(), limits), options_(options), messageSize_(messageSize) {
        listener_.Start("127.0.0.1", 0);
        asio::co_spawn(io_, Serve(), asio::detached);
        thread_ = std::thread([this] { io_.run(); });
    }
    ~ListenerHost() {
        io_.stop();
        thread_.join();
    }
    std::uint16_t Port() const { return listener_.Port(); }
    int Taken() const { return taken_; }

private:
    asio::awaitable<void> Serve() {
        std::vector<std::unique_ptr<WebSocket>> held;
        const std::vector<std::uint8_t> message(messageSize_, 'm');
        for (;;) {
            auto context = co_await listener_.GetContextAsync({});
            ++taken_;
            if (!context->IsWebSocketRequest()) {
                co_await context->RespondAsync(400);
                continue;
            }
            held.push_back(co_await context->AcceptWebSocketAsync(options_));
            if (!message.empty())
                co_await held.back()->SendAsync(message, WebSocketMessageType::Text, true, {});
        }
    }

    asio::io_context io_;
    HttpListener listener_;
    WebSocketOptions options_;
    std::size_t messageSize_;
    std::atomic<int> taken_{0};
    std::thread thread_;
};

TEST(HttpListener, HeadsMustBeCompleteInTimeAndBounded) {
    HttpListenerLimits limits;
    limits.HeadTimeout = 300ms;
    limits.MaxHeadBytes = 4096;
    ListenerHost host(limits, {});

    RawClient slow(host.Port());
    ASSERT_TRUE(slow.Send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    RawClient huge(host.Port());
    ASSERT_TRUE(huge.Send("GET / HTTP/1.1\r\nX-Filler: " + std::string(8192, 'x') + "\r\n\r\n"));
    EXPECT_TRUE(huge.WaitClosed());
    EXPECT_TRUE(slow.WaitClosed());
    EXPECT_EQ(host.Taken(), 0);

    // A head that trickles in byte by byte but completes in time is served.
    RawClient trickle(host.Port());
    for (char c : std::string("GET / HTTP/1.1\r\nHost: x\r\n\r\n")) ASSERT_TRUE(trickle.Send(std::string(1, c)));
    const auto head = trickle.ReadHead();
    ASSERT_TRUE(head);
    EXPECT_EQ(head->rfind("HTTP/1.1 400", 0), 0u);
    EXPECT_EQ(host.Taken(), 1);
}

TEST(HttpListener, AnIdleWebSocketGetsKeepAlivePongs) {
    WebSocketOptions options;
    options.KeepAliveInterval = 100ms;
    ListenerHost host({}, options);
    RawClient client(host.Port());
    ASSERT_TRUE(client.Upgrade());
    for (int i = 0; i < 2; ++i) {
        const auto frame = client.ReadFrame(5s);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->Opcode, 10);
        EXPECT_TRUE(frame->Payload.empty());
    }
}

TEST(HttpListener, KeepAlivePongsNeverCutIntoAMessage) {
    WebSocketOptions options;
    options.KeepAliveInterval = 1ms;
    const std::size_t size = 8 * 1024 * 1024;
    ListenerHost host({}, options, size);
    RawClient client(host.Port());
    ASSERT_TRUE(client.Upgrade());
    // Not reading for a while stalls the server's write, so the keep-alive comes due meanwhile.
    std::this_thread::sleep_for(200ms);
    bool gotMessage = false;
    for (int i = 0; i < 1000 && !gotMessage; ++i) {
        const auto frame = client.ReadFrame(5s);
        ASSERT_TRUE(frame);
        if (frame->Opcode == 10) continue;
        ASSERT_EQ(frame->Opcode, 1);
        EXPECT_TRUE(frame->Fin);
        EXPECT_EQ(frame->Payload, std::string(size, 'm'));
        gotMessage = true;
    }
    EXPECT_TRUE(gotMessage);
    // Pongs still follow, each a whole frame.
    const auto after = client.ReadFrame(5s);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->Opcode, 10);
}

TEST(HttpListener, AClosingHandshakeBehindAStuckWriteEndsWithinItsLimit) {
    asio::io_context io;
    HttpListener listener(io.get_executor());
    listener.Start("127.0.0.1", 0);
    WebSocketOptions options;
    options.CloseTimeout = 300ms;
    std::promise<std::optional<WebSocketError>> closed;
    asio::co_spawn(io, [&]() -> asio::awaitable<void> {
        auto context = co_await listener.GetContextAsync({});
        std::shared_ptr<WebSocket> socket = co_await context->AcceptWebSocketAsync(options);
        // Far more than the socket buffers hold, and never read: the write keeps its turn.
        auto huge = std::make_shared<std::vector<std::uint8_t>>(64 << 20, 'm');
        asio::co_spawn(io, [socket, huge]() -> asio::awaitable<void> {
            co_await socket->SendAsync(*huge, WebSocketMessageType::Text, true, {});
        }, asio::detached);
        std::vector<std::uint8_t> buffer(1024);
        const auto piece = co_await socket->ReceiveAsync(buffer, {});
        EXPECT_EQ(piece.MessageType, WebSocketMessageType::Close);
        closed.set_value(co_await socket->CloseAsync(1000, "bye", {}));
    }, asio::detached);
    struct Runner {
        asio::io_context& io;
        std::thread thread{[this] { io.run_for(20s); }};
        ~Runner() {
            io.stop();
            thread.join();
        }
    } runner{io};

    RawClient client(listener.Port());
    ASSERT_TRUE(client.Upgrade());
    ASSERT_TRUE(client.Send(ClientFrame(8, ClosePayload(1000))));
    auto outcome = closed.get_future();
    const bool ended = outcome.wait_for(10s) == std::future_status::ready;
    EXPECT_TRUE(ended);
    if (ended) {
        const auto error = outcome.get();
        ASSERT_TRUE(error);
        EXPECT_EQ(error->Why, WebSocketError::Reason::TimedOut);
    }
    // The socket was aborted: the client is let go.
    EXPECT_TRUE(client.WaitClosed(10s));
}

TEST(HttpListener, StartFailsOnABadAddress) {
    asio::io_context io;
    HttpListener listener(io.get_executor());
    EXPECT_THROW(listener.Start("not an address", 0), Quillmark::Platform::ArgumentFailure);
}

}  // namespace
