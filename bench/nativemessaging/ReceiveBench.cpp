// The transport's own work on one upload chunk: a native-messaging frame taken from an input
// that hands over its bytes at once, checked and decoded into a Message. No pipe, no listener.
//   bench_nativemessaging_receive [Google Benchmark flags]

#include "Daemon/Connections/NativeMessagingConnection.hpp"
#include "Platform/Encoding/Base64.hpp"
#include "bench/json/Payloads.hpp"
#include "tests/support/DaemonProcess.hpp"

#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace {

using Quillmark::Daemon::Connections::NativeMessagingConnection;
using Quillmark::Platform::CancellationToken;
using Quillmark::Platform::Task;

// The same frame over and over, as fast as it is asked for.
class RepeatingInput final : public Quillmark::Platform::Runtime::IInputStream {
public:
    explicit RepeatingInput(std::string frame) : frame_(std::move(frame)) {}
    Task<std::size_t> ReadSomeAsync(std::span<std::uint8_t> buffer, CancellationToken) override {
        const std::size_t n = std::min(buffer.size(), frame_.size() - at_);
        std::memcpy(buffer.data(), frame_.data() + at_, n);
        at_ = (at_ + n) % frame_.size();
        co_return n;
    }

private:
    std::string frame_;
    std::size_t at_ = 0;
};

class NoOutput final : public Quillmark::Platform::Runtime::IOutputStream {
public:
    Task<void> WriteAsync(std::span<const std::uint8_t>, CancellationToken) override { co_return; }
};

// An upload chunk request as a page's JSON.stringify writes it: quotes escaped with backslashes.
std::string UploadChunkFrame() {
    const auto chunk = Quillmark::Platform::Encoding::Base64::Encode(
        Quillmark::Bench::RandomBytes(Quillmark::Bench::ChunkSize));
    return Quillmark::TestSupport::Frame(R"({"action":1,"data":"{\"action\":1,\"chunkIndex\":0,\"chunkData\":\")" +
                                         chunk + R"(\"}"})");
}

void ReceiveUploadChunk(benchmark::State& state) {
    const std::string frame = UploadChunkFrame();
    NativeMessagingConnection connection([&](auto) { return std::make_unique<RepeatingInput>(frame); },
                                         [](auto) { return std::make_unique<NoOutput>(); });
    boost::asio::io_context io;
    boost::asio::co_spawn(io, connection.StartAsync({}), boost::asio::detached);
    io.run();
    for (auto _ : state) {
        boost::asio::co_spawn(
            io,
            [&]() -> Task<void> { benchmark::DoNotOptimize(co_await connection.ReceiveMessageAsync({})); },
            boost::asio::detached);
        io.restart();
        io.run();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * frame.size()));
}
BENCHMARK(ReceiveUploadChunk);

}  // namespace
