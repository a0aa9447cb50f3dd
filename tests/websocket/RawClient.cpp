#include "tests/websocket/RawClient.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <array>

namespace Quillmark::Tests {

namespace asio = boost::asio;
using asio::ip::tcp;

std::uint16_t Frame::CloseStatus() const {
    if (Payload.size() < 2) return 0;
    return static_cast<std::uint16_t>((static_cast<std::uint8_t>(Payload[0]) << 8) | static_cast<std::uint8_t>(Payload[1]));
}

std::string Frame::CloseDescription() const { return Payload.size() < 2 ? std::string() : Payload.substr(2); }

std::string ClientFrame(std::uint8_t opcode, std::string_view payload, bool fin, bool masked, std::uint8_t reservedBits) {
    std::string out;
    out += static_cast<char>((fin ? 0x80 : 0) | (reservedBits << 4) | opcode);
    const std::uint8_t maskBit = masked ? 0x80 : 0;
    if (payload.size() < 126) {
        out += static_cast<char>(maskBit | payload.size());
    } else if (payload.size() <= 0xFFFF) {
        out += static_cast<char>(maskBit | 126);
        out += static_cast<char>(payload.size() >> 8);
        out += static_cast<char>(payload.size() & 0xFF);
    } else {
        out += static_cast<char>(maskBit | 127);
        for (int i = 7; i >= 0; --i) out += static_cast<char>((static_cast<std::uint64_t>(payload.size()) >> (8 * i)) & 0xFF);
    }
    const std::array<std::uint8_t, 4> mask{0x12, 0x34, 0x56, 0x78};
    if (masked) out.append(reinterpret_cast<const char*>(mask.data()), 4);
    for (std::size_t i = 0; i < payload.size(); ++i)
        out += static_cast<char>(masked ? payload[i] ^ mask[i % 4] : payload[i]);
    return out;
}

std::string ClosePayload(std::uint16_t status, std::string_view description) {
    std::string out;
    out += static_cast<char>(status >> 8);
    out += static_cast<char>(status & 0xFF);
    out += description;
    return out;
}

RawClient::RawClient(std::uint16_t port) : socket_(io_) {
    socket_.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
    socket_.set_option(tcp::no_delay(true));
}

bool RawClient::Send(std::string_view bytes, std::chrono::milliseconds timeout) {
    bool done = false;
    boost::system::error_code result;
    asio::async_write(socket_, asio::buffer(bytes.data(), bytes.size()), [&](boost::system::error_code ec, std::size_t) {
        done = true;
        result = ec;
    });
    io_.restart();
    io_.run_until(std::chrono::steady_clock::now() + timeout);
    if (!done) {
        socket_.cancel();
        io_.restart();
        io_.run();
        return false;
    }
    return !result;
}

bool RawClient::Fill(std::size_t n, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::array<char, 65536> chunk;
    while (buffer_.size() < n && !ended_) {
        bool done = false;
        socket_.async_read_some(asio::buffer(chunk), [&](boost::system::error_code ec, std::size_t count) {
            done = true;
            if (ec && ec != asio::error::operation_aborted) ended_ = true;
            buffer_.append(chunk.data(), count);
        });
        io_.restart();
        io_.run_until(deadline);
        if (!done) {
            socket_.cancel();
            io_.restart();
            io_.run();
            return buffer_.size() >= n;
        }
    }
    return buffer_.size() >= n;
}

std::optional<std::string> RawClient::ReadHead(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto end = buffer_.find("\r\n\r\n");
        if (end != std::string::npos) {
            auto head = buffer_.substr(0, end + 4);
            buffer_.erase(0, end + 4);
            return head;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !Fill(buffer_.size() + 1, left)) return std::nullopt;
    }
}

std::optional<Frame> RawClient::ReadFrame(std::chrono::milliseconds timeout) {
    if (!Fill(2, timeout)) return std::nullopt;
    Frame frame;
    const auto first = static_cast<std::uint8_t>(buffer_[0]);
    const auto second = static_cast<std::uint8_t>(buffer_[1]);
    frame.Fin = (first & 0x80) != 0;
    frame.Opcode = first & 0x0F;
    std::size_t offset = 2;
    std::uint64_t length = second & 0x7F;
    if (length == 126) {
        if (!Fill(4, timeout)) return std::nullopt;
        length = (static_cast<std::uint8_t>(buffer_[2]) << 8) | static_cast<std::uint8_t>(buffer_[3]);
        offset = 4;
    } else if (length == 127) {
        if (!Fill(10, timeout)) return std::nullopt;
        length = 0;
        for (int i = 0; i < 8; ++i) length = (length << 8) | static_cast<std::uint8_t>(buffer_[2 + i]);
        offset = 10;
    }
    if (second & 0x80) return std::nullopt;  // a server never masks
    if (!Fill(offset + length, timeout)) return std::nullopt;
    frame.Payload = buffer_.substr(offset, length);
    buffer_.erase(0, offset + length);
    return frame;
}

bool RawClient::WaitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!ended_) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        buffer_.clear();
        Fill(1, left);
    }
    return true;
}

bool RawClient::StaysSilent(std::chrono::milliseconds wait) {
    return !Fill(buffer_.size() + 1, wait) && !ended_;
}

std::string RawClient::UpgradeRequest(std::string_view path, std::string_view extraHeaders, std::string_view key,
                                      std::string_view version) {
    std::string request = "GET " + std::string(path) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                          "Upgrade: websocket\r\nConnection: Upgrade\r\n";
    if (!key.empty()) request += "Sec-WebSocket-Key: " + std::string(key) + "\r\n";
    if (!version.empty()) request += "Sec-WebSocket-Version: " + std::string(version) + "\r\n";
    request += extraHeaders;
    request += "\r\n";
    return request;
}

std::optional<std::string> RawClient::Upgrade(std::string_view extraHeaders) {
    if (!Send(UpgradeRequest("/", extraHeaders))) return std::nullopt;
    return ReadHead();
}

std::optional<std::string> RawClient::Request(std::string_view json, std::chrono::milliseconds timeout) {
    if (!Send(ClientFrame(1, json))) return std::nullopt;
    for (;;) {
        auto frame = ReadFrame(timeout);
        if (!frame) return std::nullopt;
        if (frame->Opcode == 1) return frame->Payload;
        if (frame->Opcode == 8) return std::nullopt;
    }
}

}  // namespace Quillmark::Tests
