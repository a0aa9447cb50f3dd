#pragma once
// Running a program to its end and collecting what it printed.

#include "Platform/Async.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Quillmark::Platform::Process {

struct ChildProcessResult {
    // POSIX: 0..255, or 128 + N for a child ended by signal N. Windows: the whole 32-bit code.
    std::int32_t ExitCode = 0;
    // Everything the child wrote to its standard output, undecoded.
    std::vector<std::uint8_t> Output;
};

class ChildProcess {
public:
    // The most output a run keeps. A reply carrying more could not reach a browser over native
    // messaging in any case.
    static constexpr std::size_t MaxOutputBytes = 1 << 20;

    // Starts the program directly (no shell) with the given arguments after the program path,
    // stdout piped to us and read while it runs; stdin, stderr, environment and working
    // directory are inherited, no other descriptor is. Completes once the child has exited;
    // what it wrote is in the pipe by then, so a descendant that still holds the pipe open is
    // not waited for.
    // Output past MaxOutputBytes is read and dropped, so the child never stalls on a full pipe;
    // once the child has exited, such a run fails with an InvalidOperationFailure "Output of
    // <program> exceeds 1048576 bytes; it ended with exit code <code>" rather than answer
    // with a part as if it were the whole.
    // A refused start is an IoFailure "ErrorStartingProcess, <program>, <current dir>, <why>".
    // On cancellation a CancellationFailure is raised at once; the child keeps running, its
    // output is drained and it is reaped in the background, as for any other early end.
    // Holds no thread while waiting; runs on the awaiting coroutine's executor.
    static Task<ChildProcessResult> RunAsync(std::string programPath, std::vector<std::string> arguments,
                                             CancellationToken token);
};

}  // namespace Quillmark::Platform::Process
