// Bytes from a local TCP client, through the daemon's HTTP listener and WebSocket layer. Built
// twice: this one sends the bytes as they are (a request head, perhaps an upgrade);
// fuzz_websocket_frames sends a valid upgrade first, so the bytes become client frames. The
// server side takes the request, upgrades or answers 400, then receives and echoes until the
// peer closes or breaks the protocol. Every way out must be a Failure, and nothing may hang.
#include "Platform/Failure.hpp"
#include "Platform/Net/HttpListener.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/as_tuple.hpp>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

namespace {

using namespace Quillmark::Platform;
namespace asio = boost::asio;
using tcp = asio::ip::tcp;
constexpr auto Tuple = asio::as_tuple(asio::use_awaitable);

struct Server {
    asio::io_context io;
    Net::HttpListener listener{io.get_executor()};
    Server() { listener.Start("127.0.0.1", 0); }
};

Server& TheServer() {
    static auto* server = new Server;  // lives for the whole run; never torn down mid-input
    return *server;
}

Task<void> Serve(Net::HttpListener& listener, CancellationToken token) {
    std::unique_ptr<Net::HttpListenerContext> context;
    try {
        context = co_await listener.GetContextAsync(token);
    } catch (const Failure&) {
        co_return;  // the head never completed
    }
    (void)context->Method();
    (void)context->Target();
    (void)context->Header("Sec-WebSocket-Key");
    if (!context->IsWebSocketRequest()) {
        co_await context->RespondAsync(400);
        co_return;
    }
    std::unique_ptr<Net::WebSocket> socket;
    try {
        socket = co_await context->AcceptWebSocketAsync({});
    } catch (const Failure&) {
        co_return;
    }
    std::vector<std::uint8_t> buffer(1024);
    for (;;) {
        const auto piece = co_await socket->ReceiveAsync(buffer, {});
        if (piece.Error) co_return;  // the client left or broke the protocol
        if (piece.MessageType == Net::WebSocketMessageType::Close) {
            co_await socket->CloseAsync(1000, "Client closed connection", {});
            co_return;
        }
        if (co_await socket->SendAsync(std::span<const std::uint8_t>(buffer.data(), piece.Count), piece.MessageType,
                                       piece.EndOfMessage, {}))
            co_return;
    }
}

Task<void> Client(asio::io_context& io, std::uint16_t port, std::string bytes, std::stop_source& stop) {
    tcp::socket socket(io);
    auto [ec] = co_await socket.async_connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), port), Tuple);
    if (!ec) {
        co_await asio::async_write(socket, asio::buffer(bytes), Tuple);
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_send, ignored);
        std::vector<char> sink(65536);
        for (;;) {
            auto [readError, n] = co_await socket.async_read_some(asio::buffer(sink), Tuple);
            if (readError) break;
        }
    }
    stop.request_stop();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& server = TheServer();
    std::string bytes;
#ifdef QUILLMARK_FUZZ_FRAMES
    bytes = "GET /chat HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
#endif
    bytes.append(reinterpret_cast<const char*>(data), size);

    std::stop_source stop;
    bool served = false, clientDone = false;
    auto rethrow = [](std::exception_ptr failure) {
        if (failure) std::rethrow_exception(failure);  // anything but a Failure escaping is a fault
    };
    asio::co_spawn(server.io, Serve(server.listener, stop.get_token()), [&](std::exception_ptr failure) {
        rethrow(failure);
        served = true;
    });
    asio::co_spawn(server.io, Client(server.io, server.listener.Port(), std::move(bytes), stop),
                   [&](std::exception_ptr failure) {
                       rethrow(failure);
                       clientDone = true;
                   });
    while (!(served && clientDone)) server.io.run_one();
    return 0;
}
