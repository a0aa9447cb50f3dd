#pragma once

#include "Daemon/Connections/IConnection.hpp"
#include "Platform/Runtime/ByteStream.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <cstdint>
#include <functional>
#include <memory>

namespace Quillmark::Daemon::Connections {

// Browser native messaging over the standard streams: each message in either direction is a
// 4-byte little-endian signed length followed by that many bytes of UTF-8 JSON. The end of
// standard input ends the daemon normally. One operation at a time: never a receive and a
// send together.
class NativeMessagingConnection final : public IConnection {
public:
    // Longer incoming frames are refused before anything is allocated for them.
    static constexpr std::int32_t MaxFrameLength = 64 * 1024 * 1024;

    using InputOpener = std::function<std::unique_ptr<Platform::Runtime::IInputStream>(boost::asio::any_io_executor)>;
    using OutputOpener = std::function<std::unique_ptr<Platform::Runtime::IOutputStream>(boost::asio::any_io_executor)>;

    // Opens nothing; StartAsync opens the process's standard input and output.
    NativeMessagingConnection();
    // For tests: StartAsync takes its streams from these instead.
    NativeMessagingConnection(InputOpener openInput, OutputOpener openOutput);

    Platform::Task<void> StartAsync(Platform::CancellationToken token) override;
    Platform::Task<Models::Message> ReceiveMessageAsync(Platform::CancellationToken token) override;
    Platform::Task<void> SendMessageAsync(Models::Message message, Platform::CancellationToken token) override;

private:
    InputOpener openInput_;
    OutputOpener openOutput_;
    std::unique_ptr<Platform::Runtime::IInputStream> stdin_;
    std::unique_ptr<Platform::Runtime::IOutputStream> stdout_;
};

}  // namespace Quillmark::Daemon::Connections
