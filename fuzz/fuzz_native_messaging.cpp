// The bytes a browser writes to the daemon's standard input, read frame by frame as the
// transport does, delivered in pieces of a fuzzed size. Every frame ends in a message or a
// Failure of the kinds the transport may raise; every message goes back out as one frame
// whose length is its payload's and whose payload reads back as the same message.
#include "Daemon/Config/AppJsonCtx.hpp"
#include "Daemon/Connections/NativeMessagingConnection.hpp"
#include "Platform/Failure.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using namespace Quillmark;
using Platform::FailureKind;

class PieceInput final : public Platform::Runtime::IInputStream {
public:
    PieceInput(std::span<const std::uint8_t> bytes, std::size_t piece) : bytes_(bytes), piece_(piece) {}
    Platform::Task<std::size_t> ReadSomeAsync(std::span<std::uint8_t> buffer, Platform::CancellationToken) override {
        const std::size_t n = std::min({buffer.size(), piece_, bytes_.size() - at_});
        std::memcpy(buffer.data(), bytes_.data() + at_, n);
        at_ += n;
        co_return n;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t piece_;
    std::size_t at_ = 0;
};

class Recorder final : public Platform::Runtime::IOutputStream {
public:
    explicit Recorder(std::vector<std::uint8_t>& out) : out_(out) {}
    Platform::Task<void> WriteAsync(std::span<const std::uint8_t> bytes, Platform::CancellationToken) override {
        out_.insert(out_.end(), bytes.begin(), bytes.end());
        co_return;
    }

private:
    std::vector<std::uint8_t>& out_;
};

bool Expected(FailureKind kind) {
    return kind == FailureKind::EndOfStream || kind == FailureKind::Decode || kind == FailureKind::Overflow ||
           kind == FailureKind::InvalidOperation || kind == FailureKind::InputOutput;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = data[0] >= 0x80 ? SIZE_MAX : 1 + data[0] % 16;
    const std::span<const std::uint8_t> input(data + 1, size - 1);

    std::vector<std::uint8_t> written;
    std::vector<Daemon::Models::Message> received;
    Daemon::Connections::NativeMessagingConnection connection(
        [&](boost::asio::any_io_executor) { return std::make_unique<PieceInput>(input, piece); },
        [&](boost::asio::any_io_executor) { return std::make_unique<Recorder>(written); });

    boost::asio::io_context io;
    auto session = [&]() -> Platform::Task<void> {
        co_await connection.StartAsync({});
        for (;;) {
            Daemon::Models::Message message;
            try {
                message = co_await connection.ReceiveMessageAsync({});
            } catch (const Platform::Failure& failure) {
                if (!Expected(failure.Kind())) std::abort();
                co_return;
            }
            received.push_back(message);
            co_await connection.SendMessageAsync(message, {});
        }
    };
    bool finished = false;
    boost::asio::co_spawn(io, session(), [&](std::exception_ptr failure) {
        if (failure) std::rethrow_exception(failure);
        finished = true;
    });
    io.run();
    if (!finished) std::abort();

    std::size_t at = 0;
    for (const auto& message : received) {
        if (written.size() - at < 4) std::abort();
        const std::uint32_t length = written[at] | written[at + 1] << 8 | written[at + 2] << 16 |
                                     static_cast<std::uint32_t>(written[at + 3]) << 24;
        at += 4;
        if (written.size() - at < length) std::abort();
        const std::string_view payload(reinterpret_cast<const char*>(written.data() + at), length);
        at += length;
        if (std::any_of(payload.begin(), payload.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; }))
            std::abort();
        const auto back = Daemon::Config::AppJsonCtx::DecodeMessage(payload);
        if (!back || !(*back == message)) std::abort();
    }
    if (at != written.size()) std::abort();
    return 0;
}
