#pragma once
// Shared inside the network layer only.

#include "Platform/Async.hpp"
#include "Platform/Net/WebSocket.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/message.hpp>

#include <memory>

namespace Quillmark::Platform::Net::Detail {

// Runs the operation on the layer's executor: inline when the caller already runs there,
// else spawned onto it (a hop costs a round of the event loop on every receive and send).
template <class T>
Task<T> OnStrand(boost::asio::any_io_executor strand, Task<T> operation) {
    const auto caller = co_await boost::asio::this_coro::executor;
    if (caller == strand) co_return co_await std::move(operation);
    co_return co_await boost::asio::co_spawn(strand, std::move(operation), boost::asio::use_awaitable);
}

// Before the bind: the listener holds its port alone. Each system's own option, in Posix/ or
// Windows/.
void ClaimPort(boost::asio::ip::tcp::acceptor& acceptor, boost::system::error_code& ec);

// A WebSocket over an accepted socket whose handshake is done; leftover holds bytes that
// arrived after the request head.
std::unique_ptr<WebSocket> MakeServerWebSocket(boost::asio::ip::tcp::socket socket,
                                               boost::beast::flat_buffer& leftover,
                                               const WebSocketOptions& options);

}  // namespace Quillmark::Platform::Net::Detail
