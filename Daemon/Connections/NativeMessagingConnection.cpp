#include "Daemon/Connections/NativeMessagingConnection.hpp"

#include "Daemon/Config/AppJsonCtx.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Runtime/StandardStreams.hpp"

#include <boost/asio/this_coro.hpp>

#include <array>
#include <string>

namespace Quillmark::Daemon::Connections {

namespace {

using Platform::Runtime::ReadExactlyAsync;

std::array<std::uint8_t, 4> EncodeLength(std::int32_t length) {
    auto value = static_cast<std::uint32_t>(length);
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::int32_t DecodeLength(const std::array<std::uint8_t, 4>& bytes) {
    auto value = std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
                 std::uint32_t(bytes[3]) << 24;
    return static_cast<std::int32_t>(value);
}

// The length of the well-formed sequence at text[i], or 0 with `bad` set to the length of
// its maximal ill-formed prefix (at least 1), which becomes one U+FFFD.
std::size_t SequenceLength(std::string_view text, std::size_t i, std::size_t& bad) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t need;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) need = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        bad = 1;
        return 0;
    }
    for (std::size_t k = 1; k < need; ++k) {
        if (i + k >= text.size()) {
            bad = k;
            return 0;
        }
        unsigned char next = byte(i + k);
        if (next < low || next > high) {
            bad = k;
            return 0;
        }
        low = 0x80;
        high = 0xBF;
    }
    return need;
}

// UTF-8 decoding that turns each malformed sequence into U+FFFD instead of failing.
void ReplaceMalformedUtf8(std::string& text) {
    std::size_t i = 0, bad = 0;
    while (i < text.size()) {
        std::size_t n = SequenceLength(text, i, bad);
        if (n == 0) break;
        i += n;
    }
    if (i == text.size()) return;
    std::string fixed(text, 0, i);
    fixed.reserve(text.size() + 16);
    while (i < text.size()) {
        std::size_t n = SequenceLength(text, i, bad);
        if (n == 0) {
            fixed += "\xEF\xBF\xBD";
            i += bad;
        } else {
            fixed.append(text, i, n);
            i += n;
        }
    }
    text = std::move(fixed);
}

std::span<std::uint8_t> Bytes(std::string& text) {
    return {reinterpret_cast<std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

NativeMessagingConnection::NativeMessagingConnection()
    : NativeMessagingConnection(&Platform::Runtime::OpenStandardInput, &Platform::Runtime::OpenStandardOutput) {}

NativeMessagingConnection::NativeMessagingConnection(InputOpener openInput, OutputOpener openOutput)
    : openInput_(std::move(openInput)), openOutput_(std::move(openOutput)) {}

Platform::Task<void> NativeMessagingConnection::StartAsync(Platform::CancellationToken) {
    auto executor = co_await boost::asio::this_coro::executor;
    stdin_ = openInput_(executor);
    stdout_ = openOutput_(executor);
}

Platform::Task<Models::Message> NativeMessagingConnection::ReceiveMessageAsync(Platform::CancellationToken token) {
    if (!stdin_) throw Platform::ArgumentNullFailure("stdin");
    std::array<std::uint8_t, 4> header{};
    co_await ReadExactlyAsync(*stdin_, header, token);
    const std::int32_t length = DecodeLength(header);
    if (length < 0) throw Platform::OverflowFailure();
    if (length > MaxFrameLength)
        throw Platform::IoFailure("Incoming frame of " + std::to_string(length) + " bytes exceeds the limit of " +
                                  std::to_string(MaxFrameLength) + " bytes.");
    std::string text(static_cast<std::size_t>(length), '\0');
    co_await ReadExactlyAsync(*stdin_, Bytes(text), token);
    ReplaceMalformedUtf8(text);
    auto message = Config::AppJsonCtx::DecodeMessage(std::string_view(text));
    if (!message) throw Platform::InvalidOperationFailure("Failed to deserialize message.");
    co_return std::move(*message);
}

Platform::Task<void> NativeMessagingConnection::SendMessageAsync(Models::Message message, Platform::CancellationToken token) {
    if (!stdout_) throw Platform::ArgumentNullFailure("stdout");
    std::string payload = Config::AppJsonCtx::EncodeMessage(message);
    const auto header = EncodeLength(static_cast<std::int32_t>(payload.size()));
    co_await stdout_->WriteAsync(header, token);
    co_await stdout_->WriteAsync(Bytes(payload), token);
}

}  // namespace Quillmark::Daemon::Connections
