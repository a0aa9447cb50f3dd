#include "Daemon/Connections/NativeMessagingConnection.hpp"

#include "Common/TextDecoding.hpp"
#include "Daemon/Config/AppJsonCtx.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Json/JsonTokenizer.hpp"
#include "Platform/Runtime/StandardStreams.hpp"

#include <boost/asio/this_coro.hpp>

#include <array>
#include <memory>
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

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
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
    // Every byte is read over, so the buffer needs no clearing first.
    const auto size = static_cast<std::size_t>(length);
    const auto payload = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    co_await ReadExactlyAsync(*stdin_, std::span<std::uint8_t>(payload.get(), size), token);
    std::string_view text(reinterpret_cast<const char*>(payload.get()), size);
    // Malformed UTF-8 becomes U+FFFD rather than a failure; well-formed text is read in place.
    // Either way the text is well-formed now, and the JSON reading need not check it again.
    std::string repaired;
    if (!Common::IsValidUtf8(text)) {
        repaired = Common::ToValidUtf8(text);
        text = repaired;
    }
    auto message = Config::AppJsonCtx::DecodeMessage(Platform::Json::WellFormedUtf8{text});
    if (!message) throw Platform::InvalidOperationFailure("Failed to deserialize message.");
    co_return std::move(*message);
}

Platform::Task<void> NativeMessagingConnection::SendMessageAsync(Models::Message message, Platform::CancellationToken token) {
    if (!stdout_) throw Platform::ArgumentNullFailure("stdout");
    const auto payload = Config::AppJsonCtx::TakeWireText(std::move(message));
    const auto header = EncodeLength(static_cast<std::int32_t>(payload->size()));
    co_await stdout_->WritePairAsync(header, Bytes(*payload), token);
}

}  // namespace Quillmark::Daemon::Connections
