#pragma once
// What the daemon holds of a child it started here: its process and our end of its output pipe,
// with the one overlapped read of that pipe that may be under way.

#include "Platform/Process/OutputCapture.hpp"
#include "Platform/Process/SpawnedProcess.hpp"
#include "Platform/Windows/Win32.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace Quillmark::Platform::Process {

// Where a read of the output pipe left off.
enum class OutputState {
    Empty,    // a read is under way and has brought nothing yet
    Pending,  // the budget ran out with more to read
    Ended,    // the writing end has gone
};

struct SpawnedProcess::Native {
    Native();
    // A read still under way is cancelled and waited for: the system writes into this record.
    ~Native();
    Native(const Native&) = delete;
    Native& operator=(const Native&) = delete;

    // Signalled once the process has ended; also what its exit code is asked of.
    Windows::UniqueHandle Process;
    // Our end of the pipe to the child's standard output, opened for overlapped reads; none
    // without a pipe, and none once it has ended.
    Windows::UniqueHandle Output;
    // Set when the read under way completes. Reads never reach a completion port.
    Windows::UniqueHandle ReadDone;
    // The exit code has been taken: nothing more is owed to the child.
    bool Reaped = false;

    // Takes what the read under way brought and starts the next, until a read stays under way,
    // the pipe ends or `budget` bytes have come. A read error is an IoFailure.
    OutputState ReadOutput(OutputCapture& into, std::size_t budget);
    // Once the child has ended: takes what the pipe holds, waiting only for bytes already there.
    void ReadRemaining(OutputCapture& into);
    // True while a read is under way, so that ReadDone will be set.
    bool ReadUnderWay() const noexcept { return reading_; }
    // The bytes the output pipe holds now, beyond a read under way.
    std::size_t PendingOutput() const noexcept;
    // The exit code once the process has ended, without blocking.
    std::optional<std::int32_t> TryReap();
    // Lets go of the pipe, cancelling and awaiting a read under way.
    void CloseOutput() noexcept;

private:
    // Starts a read; false when the pipe has ended.
    bool StartRead();
    // The bytes of the completed read, waiting for it or not; nothing while it is under way. The
    // end of the pipe is 0 bytes with `ended` set.
    std::optional<std::size_t> FinishRead(bool& ended, bool wait);
    // Moves the buffer's first bytes into the capture.
    void Keep(OutputCapture& into, std::size_t count);

    OVERLAPPED read_{};
    bool reading_ = false;
    std::array<std::uint8_t, 65536> buffer_{};
};

}  // namespace Quillmark::Platform::Process
