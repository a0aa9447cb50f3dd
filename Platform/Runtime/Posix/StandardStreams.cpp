#include "Platform/Runtime/StandardStreams.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Runtime/BlockingPool.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace asio = boost::asio;

namespace Quillmark::Platform::Runtime {

namespace {

void ThrowIfCancelled(const CancellationToken& token) {
    if (token.stop_requested()) throw CancellationFailure();
}

bool IsPollable(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return false;
    return S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode);
}

// The pipe's other end has gone: the end of the input, or a lost write that counts as done.
bool IsBrokenPipe(int error) { return error == EPIPE || error == ECONNRESET || error == ENOTCONN; }

std::size_t BlockingRead(int fd, std::span<std::uint8_t> buffer) {
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno == EINTR) continue;
        if (IsBrokenPipe(errno)) return 0;
        throw IoFailure(std::strerror(errno));
    }
}

void BlockingWrite(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            if (IsBrokenPipe(errno)) return;
            throw IoFailure(std::strerror(errno));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
}

class PipeInput final : public IInputStream {
public:
    PipeInput(asio::any_io_executor executor, int fd) : descriptor_(std::move(executor), fd) {}

    Task<std::size_t> ReadSomeAsync(std::span<std::uint8_t> buffer, CancellationToken token) override {
        ThrowIfCancelled(token);
        if (buffer.empty()) co_return 0;
        auto [ec, n] = co_await descriptor_.async_read_some(asio::buffer(buffer.data(), buffer.size()),
                                                            asio::as_tuple(asio::use_awaitable));
        if (ec == asio::error::eof || IsBrokenPipe(ec.value())) co_return 0;
        if (ec) throw IoFailure(ec.message());
        co_return n;
    }

private:
    asio::posix::stream_descriptor descriptor_;
};

class PipeOutput final : public IOutputStream {
public:
    PipeOutput(asio::any_io_executor executor, int fd) : descriptor_(std::move(executor), fd) {}

    Task<void> WriteAsync(std::span<const std::uint8_t> bytes, CancellationToken token) override {
        ThrowIfCancelled(token);
        co_await Write(std::array{asio::buffer(bytes.data(), bytes.size())});
    }
    Task<void> WritePairAsync(std::span<const std::uint8_t> head, std::span<const std::uint8_t> body,
                              CancellationToken token) override {
        ThrowIfCancelled(token);
        co_await Write(std::array{asio::buffer(head.data(), head.size()), asio::buffer(body.data(), body.size())});
    }

private:
    template <std::size_t N>
    Task<void> Write(std::array<asio::const_buffer, N> buffers) {
        auto [ec, n] = co_await asio::async_write(descriptor_, buffers, AllAtOnce{}, asio::as_tuple(asio::use_awaitable));
        (void)n;
        if (ec && !IsBrokenPipe(ec.value())) throw IoFailure(ec.message());
    }

private:
    asio::posix::stream_descriptor descriptor_;
};

class BlockingInput final : public IInputStream {
public:
    explicit BlockingInput(int fd) : fd_(fd) {}

    Task<std::size_t> ReadSomeAsync(std::span<std::uint8_t> buffer, CancellationToken token) override {
        ThrowIfCancelled(token);
        if (buffer.empty()) co_return 0;
        co_return co_await BlockingPool::Shared().RunAsync([fd = fd_, buffer] { return BlockingRead(fd, buffer); });
    }

private:
    int fd_;
};

class BlockingOutput final : public IOutputStream {
public:
    explicit BlockingOutput(int fd) : fd_(fd) {}

    Task<void> WriteAsync(std::span<const std::uint8_t> bytes, CancellationToken token) override {
        ThrowIfCancelled(token);
        if (bytes.empty()) co_return;
        co_await BlockingPool::Shared().RunAsync([fd = fd_, bytes] { BlockingWrite(fd, bytes); });
    }
    Task<void> WritePairAsync(std::span<const std::uint8_t> head, std::span<const std::uint8_t> body,
                              CancellationToken token) override {
        ThrowIfCancelled(token);
        co_await BlockingPool::Shared().RunAsync([fd = fd_, head, body] {
            BlockingWrite(fd, head);
            BlockingWrite(fd, body);
        });
    }

private:
    int fd_;
};

// A private duplicate of the process's handle, so that the stream objects never close it; the
// null device when the process has no such handle.
int OpenHandle(int fd, int nullMode) {
    int copy = ::fcntl(fd, F_GETFD) == -1 ? ::open("/dev/null", nullMode | O_CLOEXEC) : ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) throw IoFailure(std::strerror(errno));
    return copy;
}

// A frame of a transfer is larger than a pipe's default 64 KiB: a bigger pipe moves it with
// fewer turns between the two processes. Where the system refuses, the pipe stays as it is.
void WidenPipe(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode)) (void)::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
}

template <class Stream, class Polled, class Blocking>
std::unique_ptr<Stream> Open(asio::any_io_executor executor, int fd, int nullMode) {
    int handle = OpenHandle(fd, nullMode);
    WidenPipe(handle);
    if (IsPollable(handle)) return std::make_unique<Polled>(std::move(executor), handle);
    return std::make_unique<Blocking>(handle);
}

}  // namespace

std::unique_ptr<IInputStream> OpenStandardInput(asio::any_io_executor executor) {
    return Open<IInputStream, PipeInput, BlockingInput>(std::move(executor), 0, O_RDONLY);
}

std::unique_ptr<IOutputStream> OpenStandardOutput(asio::any_io_executor executor) {
    return Open<IOutputStream, PipeOutput, BlockingOutput>(std::move(executor), 1, O_WRONLY);
}

}  // namespace Quillmark::Platform::Runtime
