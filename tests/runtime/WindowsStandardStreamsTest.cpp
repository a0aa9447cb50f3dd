#include "Platform/Runtime/StandardStreams.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Windows/Win32.hpp"
#include "tests/runtime/StreamTestSupport.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace asio = boost::asio;
using namespace Quillmark::Platform;
namespace Runtime = Quillmark::Platform::Runtime;
using Quillmark::Tests::Bytes;
using Quillmark::Tests::RunToEnd;
using Windows::UniqueHandle;

namespace {

enum class Handle { AnonymousPipe, NamedPipe, File };

std::string Name(Handle handle) {
    switch (handle) {
    case Handle::AnonymousPipe:
        return "anonymous pipe";
    case Handle::NamedPipe:
        return "named pipe";
    default:
        return "regular file";
    }
}

// Two ends of a channel as the browser hands them over: an anonymous pipe, the client end of a
// named pipe (a browser connects the host's standard handles to one), or a file.
struct Channel {
    UniqueHandle readEnd, writeEnd;
    std::filesystem::path file;

    explicit Channel(Handle kind) {
        if (kind == Handle::AnonymousPipe) {
            HANDLE r = nullptr, w = nullptr;
            if (::CreatePipe(&r, &w, nullptr, 0)) readEnd = UniqueHandle(r), writeEnd = UniqueHandle(w);
            return;
        }
        static int made = 0;
        const auto unique = std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(++made);
        if (kind == Handle::NamedPipe) {
            const auto name = L"\\\\.\\pipe\\quillmark-streams-" + unique;
            readEnd = UniqueHandle(::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                                      0, 1 << 16, 0, nullptr));
            writeEnd = UniqueHandle(::CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            return;
        }
        file = std::filesystem::temp_directory_path() / (L"quillmark-streams-" + unique);
        writeEnd = UniqueHandle(::CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                              nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        readEnd = UniqueHandle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                             FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    ~Channel() {
        readEnd.Reset();
        writeEnd.Reset();
        if (!file.empty()) {
            std::error_code ignored;
            std::filesystem::remove(file, ignored);
        }
    }
    void Write(std::string_view bytes) const {
        DWORD n = 0;
        ::WriteFile(writeEnd.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    }
    std::string ReadAll() const {
        std::string all;
        char chunk[4096];
        DWORD n = 0;
        while (::ReadFile(readEnd.Get(), chunk, sizeof chunk, &n, nullptr) && n > 0) all.append(chunk, n);
        return all;
    }
};

// Opens a standard stream while the process's handle is `target`; the stream keeps its own
// copy, so the handle is put back at once.
template <class Open>
auto OpenWith(DWORD which, HANDLE target, Open open) {
    const HANDLE saved = ::GetStdHandle(which);
    ::SetStdHandle(which, target);
    auto stream = open();
    ::SetStdHandle(which, saved);
    return stream;
}

}  // namespace

TEST(WindowsStandardStreams, ACancelledReadTakesNothingAndTheEndReadsAsNoBytes) {
    std::stop_source cancelled;
    cancelled.request_stop();
    for (Handle handle : {Handle::AnonymousPipe, Handle::NamedPipe, Handle::File}) {
        Channel channel(handle);
        ASSERT_TRUE(channel.readEnd && channel.writeEnd) << Name(handle);
        channel.Write("abc");
        channel.writeEnd.Reset();
        asio::io_context io;
        auto input = OpenWith(STD_INPUT_HANDLE, channel.readEnd.Get(),
                              [&] { return Runtime::OpenStandardInput(io.get_executor()); });
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
        EXPECT_EQ(read({}), "read ") << Name(handle);
    }
}

// Frames are bytes: no CR LF made of a line feed, no end at a 0x1A, nothing lost of a large frame.
TEST(WindowsStandardStreams, BytesCrossWholeAndUnchanged) {
    std::string frame;
    for (int i = 0; frame.size() < (16u << 20); ++i) frame += std::string("\r\n\n\x1A\0\xFF", 6) + std::to_string(i);
    for (Handle handle : {Handle::AnonymousPipe, Handle::NamedPipe}) {
        Channel into(handle), outOf(handle);
        asio::io_context io;
        auto input = OpenWith(STD_INPUT_HANDLE, into.readEnd.Get(),
                              [&] { return Runtime::OpenStandardInput(io.get_executor()); });
        auto output = OpenWith(STD_OUTPUT_HANDLE, outOf.writeEnd.Get(),
                               [&] { return Runtime::OpenStandardOutput(io.get_executor()); });
        std::thread writer([&] {
            into.Write(frame);
            into.writeEnd.Reset();
        });
        std::string echoed;
        std::thread reader([&] { echoed = outOf.ReadAll(); });
        EXPECT_EQ(RunToEnd(io, [&]() -> Task<std::string> {
                      std::vector<std::uint8_t> buffer(1 << 16);
                      for (;;) {
                          const auto n = co_await input->ReadSomeAsync(buffer, {});
                          if (n == 0) break;
                          co_await output->WriteAsync({buffer.data(), n}, {});
                      }
                      co_return "echoed";
                  }),
                  "echoed")
            << Name(handle);
        output.reset();
        outOf.writeEnd.Reset();
        writer.join();
        reader.join();
        EXPECT_TRUE(echoed == frame) << Name(handle) << ": " << echoed.size() << " of " << frame.size() << " bytes";
    }
}

TEST(WindowsStandardStreams, ACancelledWriteWritesNothing) {
    std::stop_source cancelled;
    cancelled.request_stop();
    for (Handle handle : {Handle::AnonymousPipe, Handle::File}) {
        Channel channel(handle);
        {
            asio::io_context io;
            auto output = OpenWith(STD_OUTPUT_HANDLE, channel.writeEnd.Get(),
                                   [&] { return Runtime::OpenStandardOutput(io.get_executor()); });
            auto write = [&](std::string_view text, std::stop_token token) {
                return RunToEnd(io, [&, text, token]() -> Task<std::string> {
                    co_await output->WriteAsync(Bytes(text), token);
                    co_return "written";
                });
            };
            EXPECT_EQ(write("lost", cancelled.get_token()), "CancellationFailure") << Name(handle);
            EXPECT_EQ(write("kept", {}), "written") << Name(handle);
        }
        channel.writeEnd.Reset();
        EXPECT_EQ(channel.ReadAll(), "kept") << Name(handle);
    }
}

TEST(WindowsStandardStreams, AWriteToAReaderThatHasGoneCountsAsDone) {
    for (Handle handle : {Handle::AnonymousPipe, Handle::NamedPipe}) {
        Channel channel(handle);
        // The browser closes its end (a broken pipe), or disconnects its named pipe.
        if (handle == Handle::NamedPipe) {
            ::DisconnectNamedPipe(channel.readEnd.Get());
        } else {
            channel.readEnd.Reset();
        }
        asio::io_context io;
        auto output = OpenWith(STD_OUTPUT_HANDLE, channel.writeEnd.Get(),
                               [&] { return Runtime::OpenStandardOutput(io.get_executor()); });
        for (int frame = 0; frame < 2; ++frame) {
            EXPECT_EQ(RunToEnd(io, [&]() -> Task<std::string> {
                          co_await output->WriteAsync(Bytes("frame"), {});
                          co_return "written";
                      }),
                      "written")
                << Name(handle);
        }
    }
}

TEST(WindowsStandardStreams, MissingHandlesReadAsAnEmptyInputAndSwallowWrites) {
    asio::io_context io;
    auto input = OpenWith(STD_INPUT_HANDLE, nullptr, [&] { return Runtime::OpenStandardInput(io.get_executor()); });
    auto output = OpenWith(STD_OUTPUT_HANDLE, nullptr, [&] { return Runtime::OpenStandardOutput(io.get_executor()); });
    EXPECT_EQ(RunToEnd(io, [&]() -> Task<std::string> {
                  co_await output->WriteAsync(Bytes("lost"), {});
                  std::uint8_t buffer[4];
                  co_return "read " + std::to_string(co_await input->ReadSomeAsync(buffer, {}));
              }),
              "read 0");
}

TEST(WindowsStandardStreams, AReadThatBlocksLeavesTheLoopFree) {
    Channel channel(Handle::AnonymousPipe);
    asio::io_context io;
    auto input = OpenWith(STD_INPUT_HANDLE, channel.readEnd.Get(),
                          [&] { return Runtime::OpenStandardInput(io.get_executor()); });
    std::mutex mutex;
    std::condition_variable changed;
    bool loopRan = false;
    // The frame comes only once the loop has served something else while the read waits, or,
    // when the read holds the loop, after a bound, so the test fails instead of hanging.
    bool loopRanFirst = false;
    std::thread browser([&] {
        std::unique_lock lock(mutex);
        loopRanFirst = changed.wait_for(lock, std::chrono::seconds(10), [&] { return loopRan; });
        channel.Write("frame");
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
    browser.join();
    EXPECT_EQ(outcome, "read frame");
    EXPECT_TRUE(loopRanFirst);
}
