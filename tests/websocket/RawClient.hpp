#pragma once
// A WebSocket client that writes exactly the bytes a test asks for, so it can break the
// protocol on purpose. Every read has a bounded wait and answers nothing when it runs out.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Quillmark::Tests {

using namespace std::chrono_literals;

struct Frame {
    bool Fin = true;
    std::uint8_t Opcode = 1;
    std::string Payload;
    // The status of a close frame (0 when it carries none) and its description.
    std::uint16_t CloseStatus() const;
    std::string CloseDescription() const;
};

// A client frame: masked unless told otherwise, reserved bits as given.
std::string ClientFrame(std::uint8_t opcode, std::string_view payload, bool fin = true, bool masked = true,
                        std::uint8_t reservedBits = 0);
std::string ClosePayload(std::uint16_t status, std::string_view description = {});

class RawClient {
public:
    explicit RawClient(std::uint16_t port);

    // False when the connection broke or the bytes could not all be written within the wait.
    bool Send(std::string_view bytes, std::chrono::milliseconds timeout = 10s);
    // The response head up to its blank line.
    std::optional<std::string> ReadHead(std::chrono::milliseconds timeout = 5s);
    std::optional<Frame> ReadFrame(std::chrono::milliseconds timeout = 5s);
    // True when the server closes the connection (or resets it) within the wait.
    bool WaitClosed(std::chrono::milliseconds timeout = 5s);
    // True when nothing at all arrives within the wait and the connection stays open.
    bool StaysSilent(std::chrono::milliseconds wait);

    // An upgrade request for the path with the given extra header lines ("Name: value\r\n").
    static std::string UpgradeRequest(std::string_view path = "/", std::string_view extraHeaders = {},
                                      std::string_view key = "dGhlIHNhbXBsZSBub25jZQ==",
                                      std::string_view version = "13");
    // Sends an upgrade and answers the response head; the connection is then a WebSocket.
    std::optional<std::string> Upgrade(std::string_view extraHeaders = {});
    // Sends a text message and answers the next text frame's payload.
    std::optional<std::string> Request(std::string_view json, std::chrono::milliseconds timeout = 5s);

private:
    // Reads until at least n bytes are buffered; false on timeout or end.
    bool Fill(std::size_t n, std::chrono::milliseconds timeout);

    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
    std::string buffer_;
    bool ended_ = false;
};

}  // namespace Quillmark::Tests
