#include "Platform/Runtime/StandardStreams.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Runtime/BlockingPool.hpp"
#include "Platform/Windows/Win32.hpp"

#include <algorithm>

namespace Quillmark::Platform::Runtime {

namespace {

namespace Win = Platform::Windows;

// One call of ReadFile or WriteFile moves at most this much.
constexpr DWORD MaxPiece = 1U << 30;

void ThrowIfCancelled(const CancellationToken& token) {
    if (token.stop_requested()) throw CancellationFailure();
}

// The other end of the pipe has gone: the end of the input, or a lost write that counts as done.
bool IsGone(DWORD error) {
    return error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED ||
           error == ERROR_HANDLE_EOF;
}

std::size_t BlockingRead(HANDLE handle, std::span<std::uint8_t> buffer) {
    DWORD n = 0;
    const auto piece = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), MaxPiece));
    if (::ReadFile(handle, buffer.data(), piece, &n, nullptr)) return n;
    const DWORD error = ::GetLastError();
    if (IsGone(error)) return 0;
    throw IoFailure(Win::DescribeError(error));
}

void BlockingWrite(HANDLE handle, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        DWORD n = 0;
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), MaxPiece));
        if (!::WriteFile(handle, bytes.data(), piece, &n, nullptr)) {
            const DWORD error = ::GetLastError();
            if (IsGone(error)) return;
            throw IoFailure(Win::DescribeError(error));
        }
        // A write that takes nothing would never finish.
        if (n == 0) throw IoFailure(Win::DescribeError(ERROR_WRITE_FAULT));
        bytes = bytes.subspan(n);
    }
}

// A private duplicate of the process's handle, so that the stream objects never close it; the
// null device when the process has none.
Win::UniqueHandle OpenHandle(DWORD which, DWORD nullAccess) {
    const HANDLE standard = ::GetStdHandle(which);
    HANDLE copy = nullptr;
    if (standard != nullptr && standard != INVALID_HANDLE_VALUE &&
        ::DuplicateHandle(::GetCurrentProcess(), standard, ::GetCurrentProcess(), &copy, 0, FALSE,
                          DUPLICATE_SAME_ACCESS)) {
        return Win::UniqueHandle(copy);
    }
    Win::UniqueHandle null(::CreateFileW(L"NUL", nullAccess, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!null) throw IoFailure(Win::DescribeError(::GetLastError()));
    return null;
}

// Pipes at the standard handles cannot be tied to a completion port, so every read and write
// blocks on the pool's worker, which stays for the next one; the loop goes on meanwhile.
class HandleInput final : public IInputStream {
public:
    explicit HandleInput(Win::UniqueHandle handle) : handle_(std::move(handle)) {}

    Task<std::size_t> ReadSomeAsync(std::span<std::uint8_t> buffer, CancellationToken token) override {
        ThrowIfCancelled(token);
        if (buffer.empty()) co_return 0;
        co_return co_await BlockingPool::Shared().RunAsync(
            [handle = handle_.Get(), buffer] { return BlockingRead(handle, buffer); });
    }

private:
    Win::UniqueHandle handle_;
};

class HandleOutput final : public IOutputStream {
public:
    explicit HandleOutput(Win::UniqueHandle handle) : handle_(std::move(handle)) {}

    Task<void> WriteAsync(std::span<const std::uint8_t> bytes, CancellationToken token) override {
        ThrowIfCancelled(token);
        if (bytes.empty()) co_return;
        co_await BlockingPool::Shared().RunAsync([handle = handle_.Get(), bytes] { BlockingWrite(handle, bytes); });
    }
    // One job on the pool for both: a worker's wake-up costs more than the write of the head.
    Task<void> WritePairAsync(std::span<const std::uint8_t> head, std::span<const std::uint8_t> body,
                              CancellationToken token) override {
        ThrowIfCancelled(token);
        co_await BlockingPool::Shared().RunAsync([handle = handle_.Get(), head, body] {
            BlockingWrite(handle, head);
            BlockingWrite(handle, body);
        });
    }

private:
    Win::UniqueHandle handle_;
};

}  // namespace

std::unique_ptr<IInputStream> OpenStandardInput(boost::asio::any_io_executor) {
    return std::make_unique<HandleInput>(OpenHandle(STD_INPUT_HANDLE, GENERIC_READ));
}

std::unique_ptr<IOutputStream> OpenStandardOutput(boost::asio::any_io_executor) {
    return std::make_unique<HandleOutput>(OpenHandle(STD_OUTPUT_HANDLE, GENERIC_WRITE));
}

}  // namespace Quillmark::Platform::Runtime
