#pragma once
// What the daemon holds of a child it started here: its id and the descriptors to watch it by.

#include "Platform/Process/OutputCapture.hpp"
#include "Platform/Posix/FileDescriptor.hpp"
#include "Platform/Process/SpawnedProcess.hpp"

#include <sys/types.h>

#include <cstddef>
#include <optional>

namespace Quillmark::Platform::Process {

// Where a read of the output pipe left off.
enum class OutputState {
    Empty,    // everything there was has been read
    Pending,  // the budget ran out with more to read
    Ended,    // the writing end has gone
};

struct SpawnedProcess::Native {
    pid_t Pid = -1;
    // Our end of the pipe to the child's standard output, non-blocking; none without a pipe.
    FileDescriptor Output;
    // Readable once the child has ended; none where the system gives no such descriptor.
    FileDescriptor ExitWatch;
    // Waited for: nothing more is owed to the child.
    bool Reaped = false;

    // Reads what the output pipe holds now, at most `budget` bytes. A read error is an IoFailure.
    OutputState ReadOutput(OutputCapture& into, std::size_t budget);
    // The bytes the output pipe holds now.
    std::size_t PendingOutput() const noexcept;
    // The wait status once the child has ended, without blocking. A child that is no longer ours
    // to wait for is an IoFailure.
    std::optional<int> TryReap();
};

}  // namespace Quillmark::Platform::Process
