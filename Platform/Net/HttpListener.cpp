#include "Platform/Net/HttpListener.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Net/NetDetail.hpp"
#include "Platform/Net/WebSocketProtocol.hpp"
#include "Platform/Runtime/Cancellation.hpp"
#include "Platform/Text/Ascii.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>

#include <algorithm>
#include <cctype>
#include <deque>

namespace Quillmark::Platform::Net {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {
constexpr auto Awaitable = asio::as_tuple(asio::use_awaitable);

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

// True when a comma-separated header value lists the token, letter case ignored.
bool ListsToken(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        const auto comma = value.find(',');
        if (Text::EqualsIgnoreCase(Trim(value.substr(0, comma)), token)) return true;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return false;
}
}  // namespace

struct PendingConnection {
    PendingConnection(tcp::socket s, std::size_t maxHeadBytes)
        : socket(std::move(s)), buffer(maxHeadBytes), headTimer(socket.get_executor()) {}

    tcp::socket socket;
    boost::beast::flat_buffer buffer;
    asio::steady_timer headTimer;
    http::request<http::empty_body> request;

    void Close() {
        boost::system::error_code ignored;
        socket.shutdown(tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
    }
};

struct HttpListener::Impl : std::enable_shared_from_this<HttpListener::Impl> {
    Impl(asio::any_io_executor executor, HttpListenerLimits l)
        : strand(std::move(executor)), acceptor(strand), limits(l),
          readyWait(strand, Clock::time_point::max()) {}

    asio::any_io_executor strand;
    tcp::acceptor acceptor;
    HttpListenerLimits limits;
    std::size_t pending = 0;
    std::deque<std::shared_ptr<PendingConnection>> reading;  // oldest first
    std::deque<std::shared_ptr<PendingConnection>> ready;
    asio::steady_timer readyWait;  // never expires; cancelled when a request is ready
    bool stopped = false;

    Task<void> AcceptLoop() {
        auto self = shared_from_this();
        while (!stopped) {
            auto [ec, socket] = co_await acceptor.async_accept(Awaitable);
            if (stopped) break;
            if (ec) {
                if (ec == asio::error::operation_aborted) break;
                // Out of descriptors and the like: give the system a moment instead of spinning.
                asio::steady_timer pause(strand, std::chrono::milliseconds(50));
                co_await pause.async_wait(Awaitable);
                continue;
            }
            if (pending >= limits.MaxPendingConnections) {
                // Connections that never finish their head must not shut real clients out:
                // the oldest of them gives way. Requests waiting to be taken keep their place.
                if (reading.empty()) {
                    boost::system::error_code ignored;
                    socket.close(ignored);
                    continue;
                }
                auto oldest = std::move(reading.front());
                reading.pop_front();
                --pending;
                oldest->headTimer.cancel();
                oldest->Close();
            }
            ++pending;
            // Replies are whole messages written at once; waiting to coalesce them only adds latency.
            boost::system::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            auto connection = std::make_shared<PendingConnection>(std::move(socket), limits.MaxHeadBytes);
            reading.push_back(connection);
            asio::co_spawn(strand, ReadHead(connection), [](std::exception_ptr failure) {
                if (failure) std::rethrow_exception(failure);
            });
        }
    }

    Task<void> ReadHead(std::shared_ptr<PendingConnection> connection) {
        auto self = shared_from_this();
        connection->headTimer.expires_after(limits.HeadTimeout);
        connection->headTimer.async_wait([weak = std::weak_ptr<PendingConnection>(connection)](boost::system::error_code ec) {
            if (ec) return;
            if (auto c = weak.lock()) c->Close();
        });
        http::request_parser<http::empty_body> parser;
        parser.header_limit(static_cast<std::uint32_t>(limits.MaxHeadBytes));
        auto [ec, n] = co_await http::async_read_header(connection->socket, connection->buffer, parser, Awaitable);
        connection->headTimer.cancel();
        const auto found = std::find(reading.begin(), reading.end(), connection);
        // Not found: it gave way to a newer connection, which has its slot already.
        if (found == reading.end()) co_return;
        reading.erase(found);
        if (ec || stopped) {
            connection->Close();
            --pending;
            co_return;
        }
        connection->request = parser.release();
        ready.push_back(std::move(connection));
        readyWait.cancel();
    }

    Task<std::unique_ptr<HttpListenerContext>> Get(CancellationToken token) {
        auto self = shared_from_this();
        Runtime::Cancellation cancellation(strand, std::move(token));
        for (;;) {
            cancellation.ThrowIfStopRequested();
            if (stopped) throw InvalidOperationFailure("The HTTP listener is stopped.");
            if (!ready.empty()) {
                auto connection = std::move(ready.front());
                ready.pop_front();
                --pending;
                co_return std::make_unique<HttpListenerContext>(std::move(connection));
            }
            co_await readyWait.async_wait(cancellation.Bind(Awaitable));
        }
    }

    void Stop() {
        stopped = true;
        boost::system::error_code ignored;
        acceptor.close(ignored);
        for (auto& c : reading) c->Close();
        for (auto& c : ready) c->Close();
        ready.clear();
        readyWait.cancel();
    }
};

HttpListener::HttpListener(asio::any_io_executor executor, HttpListenerLimits limits)
    : impl_(std::make_shared<Impl>(std::move(executor), limits)) {}

HttpListener::~HttpListener() {
    asio::post(impl_->strand, [impl = impl_] { impl->Stop(); });
}

void HttpListener::Start(std::string_view address, std::uint16_t port) {
    boost::system::error_code ec;
    const auto ip = asio::ip::make_address_v4(std::string(address), ec);
    if (ec) throw ArgumentFailure("net_listener_invalid_address", "address");
    const tcp::endpoint endpoint(ip, port);
    auto& acceptor = impl_->acceptor;
    auto fail = [&](std::string_view what) {
        boost::system::error_code ignored;
        acceptor.close(ignored);
        throw IoFailure(std::string(what) + " " + endpoint.address().to_string() + ":" + std::to_string(port) +
                        ": " + ec.message());
    };
    acceptor.open(endpoint.protocol(), ec);
    if (ec) fail("Cannot open a listener on");
    Detail::ClaimPort(acceptor, ec);
    if (ec) fail("Cannot open a listener on");
    acceptor.bind(endpoint, ec);
    if (ec) fail("Cannot listen on");
    acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) fail("Cannot listen on");
    asio::co_spawn(impl_->strand, impl_->AcceptLoop(), [](std::exception_ptr failure) {
        if (failure) std::rethrow_exception(failure);
    });
}

std::uint16_t HttpListener::Port() const {
    boost::system::error_code ec;
    const auto endpoint = impl_->acceptor.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

Task<std::unique_ptr<HttpListenerContext>> HttpListener::GetContextAsync(CancellationToken token) {
    auto impl = impl_;
    co_return co_await Detail::OnStrand(impl->strand, impl->Get(std::move(token)));
}

HttpListenerContext::HttpListenerContext(std::shared_ptr<PendingConnection> connection)
    : connection_(std::move(connection)) {}

HttpListenerContext::~HttpListenerContext() {
    if (connection_ && connection_->socket.is_open())
        asio::post(connection_->socket.get_executor(), [c = connection_] { c->Close(); });
}

bool HttpListenerContext::IsWebSocketRequest() const {
    // Lines of a repeated header join into one list (RFC 9110 section 5.3).
    const auto& fields = connection_->request.base();
    const auto lists = [&](http::field name, std::string_view token) {
        const auto [first, last] = fields.equal_range(name);
        return std::any_of(first, last, [&](const auto& field) {
            return ListsToken(std::string_view(field.value().data(), field.value().size()), token);
        });
    };
    return lists(http::field::connection, "Upgrade") && lists(http::field::upgrade, "websocket");
}

std::string_view HttpListenerContext::Method() const {
    const auto text = connection_->request.method_string();
    return {text.data(), text.size()};
}

std::string_view HttpListenerContext::Target() const {
    const auto text = connection_->request.target();
    return {text.data(), text.size()};
}

std::optional<std::string> HttpListenerContext::Header(std::string_view name) const {
    const auto& fields = connection_->request.base();
    const auto found = fields.find(boost::beast::string_view(name.data(), name.size()));
    if (found == fields.end()) return std::nullopt;
    return std::string(found->value());
}

namespace {
Task<void> WriteResponse(std::shared_ptr<PendingConnection> connection, unsigned status, bool advertiseVersion) {
    http::response<http::empty_body> response{static_cast<http::status>(status), connection->request.version()};
    if (advertiseVersion) response.set("Sec-WebSocket-Version", "13");
    response.keep_alive(false);
    response.prepare_payload();
    // A client that has gone is not a failure of ours.
    co_await http::async_write(connection->socket, response, Awaitable);
    connection->Close();
}

struct Refusal {
    std::string reason;
    bool wrongVersion = false;
};

// Why the handshake refuses the request, or nothing when it can go ahead.
std::optional<Refusal> CheckHandshake(const HttpListenerContext& context) {
    if (!context.IsWebSocketRequest())
        return Refusal{"The request is not a WebSocket upgrade request."};
    if (context.Method() != "GET")
        return Refusal{"The WebSocket upgrade request used the method '" + std::string(context.Method()) + "'; only GET is allowed."};
    const auto version = context.Header("Sec-WebSocket-Version");
    if (!version || Trim(*version) != "13")
        return Refusal{"The client asked for WebSocket version '" + version.value_or("") + "'; only version 13 is supported.", true};
    const auto key = context.Header("Sec-WebSocket-Key");
    if (!key || !WebSocketProtocol::IsValidClientKey(Trim(*key)))
        return Refusal{"The WebSocket upgrade request carries no valid 'Sec-WebSocket-Key'."};
    return std::nullopt;
}

Task<std::unique_ptr<WebSocket>> Upgrade(const HttpListenerContext& context, std::shared_ptr<PendingConnection> connection,
                                         WebSocketOptions options) {
    if (auto refusal = CheckHandshake(context)) {
        co_await WriteResponse(connection, 400, refusal->wrongVersion);
        throw WebSocketFailure(refusal->reason);
    }
    const auto key = context.Header("Sec-WebSocket-Key").value();
    http::response<http::empty_body> response{http::status::switching_protocols, 11};
    response.set(http::field::upgrade, "websocket");
    response.set(http::field::connection, "Upgrade");
    response.set(http::field::sec_websocket_accept, WebSocketProtocol::ComputeAcceptKey(Trim(key)));
    // No sub-protocol is agreed, so the answer names none, offered or not (RFC 6455 section
    // 4.2.2): an empty name is no valid answer.
    auto [ec, n] = co_await http::async_write(connection->socket, response, Awaitable);
    if (ec) {
        connection->Close();
        throw WebSocketFailure("The WebSocket handshake could not be sent: " + ec.message());
    }
    co_return Detail::MakeServerWebSocket(std::move(connection->socket), connection->buffer, options);
}
}  // namespace

Task<void> HttpListenerContext::RespondAsync(unsigned status) {
    auto connection = connection_;
    co_await Detail::OnStrand(connection->socket.get_executor(), WriteResponse(connection, status, false));
}

Task<std::unique_ptr<WebSocket>> HttpListenerContext::AcceptWebSocketAsync(WebSocketOptions options) {
    auto connection = connection_;
    co_return co_await Detail::OnStrand(connection->socket.get_executor(), Upgrade(*this, connection, options));
}

}  // namespace Quillmark::Platform::Net
