#include "Platform/Runtime/StandardStreams.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Runtime/ProcessLifetime.hpp"
#include "tests/runtime/StreamTestSupport.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace asio = boost::asio;
using namespace Quillmark::Platform;
namespace Runtime = Quillmark::Platform::Runtime;
using Quillmark::Tests::Bytes;
using Quillmark::Tests::RunToEnd;

namespace {

enum class Handle { Pipe, File };

std::string Name(Handle handle) { return handle == Handle::Pipe ? "pipe" : "regular file"; }

// A pipe, or an unlinked temporary file; both ends are closed with it.
struct Channel {
    int readEnd = -1, writeEnd = -1;
    explicit Channel(Handle handle) {
        if (handle == Handle::Pipe) {
            int fds[2];
            if (::pipe(fds) == 0) readEnd = fds[0], writeEnd = fds[1];
            return;
        }
        const char* base = std::getenv("TMPDIR");
        std::string path = std::string(base && *base ? base : "/tmp") + "/quillmark-stream-XXXXXX";
        writeEnd = ::mkstemp(path.data());
        readEnd = ::open(path.c_str(), O_RDONLY);
        ::unlink(path.c_str());
    }
    ~Channel() {
        CloseWriteEnd();
        if (readEnd >= 0) ::close(readEnd);
    }
    void CloseWriteEnd() {
        if (writeEnd >= 0) ::close(writeEnd);
        writeEnd = -1;
    }
    std::string ReadAll() const {
        std::string all;
        char chunk[256];
        for (ssize_t n; (n = ::read(readEnd, chunk, sizeof chunk)) > 0;) all.append(chunk, static_cast<std::size_t>(n));
        return all;
    }
};

// Opens a standard stream while the process's descriptor points at `target`; the stream keeps
// its own copy, so the descriptor is put back at once.
template <class Open>
auto OpenWith(int standardFd, int target, Open open) {
    const int saved = ::dup(standardFd);
    ::dup2(target, standardFd);
    auto stream = open();
    ::dup2(saved, standardFd);
    ::close(saved);
    return stream;
}

}  // namespace

TEST(StandardStreams, ACancelledReadTakesNothingAndTheEndReadsAsNoBytes) {
    std::stop_source cancelled;
    cancelled.request_stop();
    for (Handle handle : {Handle::Pipe, Handle::File}) {
        Channel channel(handle);
        ASSERT_EQ(::write(channel.writeEnd, "abc", 3), 3);
        channel.CloseWriteEnd();
        asio::io_context io;
        auto input = OpenWith(0, channel.readEnd, [&] { return Runtime::OpenStandardInput(io.get_executor()); });

        auto read = [&](std::stop_token token) {
            return RunToEnd(io, [&, token]() -> Task<std::string> {
                std::uint8_t buffer[16];
                std::size_t n = co_await input->ReadSomeAsync(buffer, token);
                co_return "read " + std::string(buffer, buffer + n);
            });
        };
        EXPECT_EQ(read(cancelled.get_token()), "CancellationFailure") << Name(handle);
        EXPECT_EQ(read({}), "read abc") << Name(handle);
        EXPECT_EQ(read({}), "read ") << Name(handle);
    }
}

TEST(StandardStreams, ACancelledWriteWritesNothing) {
    std::stop_source cancelled;
    cancelled.request_stop();
    for (Handle handle : {Handle::Pipe, Handle::File}) {
        Channel channel(handle);
        {
            asio::io_context io;
            auto output = OpenWith(1, channel.writeEnd, [&] { return Runtime::OpenStandardOutput(io.get_executor()); });
            auto write = [&](std::string_view text, std::stop_token token) {
                return RunToEnd(io, [&, text, token]() -> Task<std::string> {
                    co_await output->WriteAsync(Bytes(text), token);
                    co_return "written";
                });
            };
            EXPECT_EQ(write("lost", cancelled.get_token()), "CancellationFailure") << Name(handle);
            EXPECT_EQ(write("kept", {}), "written") << Name(handle);
        }
        channel.CloseWriteEnd();
        EXPECT_EQ(channel.ReadAll(), "kept") << Name(handle);
    }
}

TEST(StandardStreams, AWriteIntoAPipeWhoseReaderHasGoneCountsAsDone) {
    // As the daemon runs: a broken pipe is an error code, not a fatal signal.
    Runtime::PrepareStandardHandles();
    Channel channel(Handle::Pipe);
    ::close(channel.readEnd);
    channel.readEnd = -1;
    asio::io_context io;
    auto output = OpenWith(1, channel.writeEnd, [&] { return Runtime::OpenStandardOutput(io.get_executor()); });
    EXPECT_EQ(RunToEnd(io, [&]() -> Task<std::string> {
                  co_await output->WriteAsync(Bytes("frame"), {});
                  co_return "written";
              }),
              "written");
}

TEST(StandardStreams, AReadThatBlocksLeavesTheLoopFree) {
    // A terminal cannot be polled: its read blocks until a line comes.
    const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(::grantpt(terminal), 0);
    ASSERT_EQ(::unlockpt(terminal), 0);
    const int side = ::open(::ptsname(terminal), O_RDWR | O_NOCTTY);
    ASSERT_GE(side, 0);
    asio::io_context io;
    auto input = OpenWith(0, side, [&] { return Runtime::OpenStandardInput(io.get_executor()); });
    ::close(side);

    std::mutex mutex;
    std::condition_variable changed;
    bool loopRan = false;
    // The line comes only once the loop has served something else while the read waits, or,
    // when the read holds the loop, after a bound, so the test fails instead of hanging.
    bool loopRanFirst = false;
    std::thread typist([&] {
        std::unique_lock lock(mutex);
        loopRanFirst = changed.wait_for(lock, std::chrono::seconds(10), [&] { return loopRan; });
        (void)::write(terminal, "frame\n", 6);
    });
    const auto outcome = RunToEnd(io, [&]() -> Task<std::string> {
        asio::post(io, [&] {
            std::lock_guard lock(mutex);
            loopRan = true;
            changed.notify_all();
        });
        std::uint8_t buffer[16];
        std::size_t n = co_await input->ReadSomeAsync(buffer, {});
        co_return "read " + std::string(buffer, buffer + n);
    });
    typist.join();
    ::close(terminal);
    EXPECT_EQ(outcome, "read frame\n");
    EXPECT_TRUE(loopRanFirst);
}
