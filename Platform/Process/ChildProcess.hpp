#pragma once
// Running a program to its end and collecting what it printed.

#include "Platform/Async.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace Quillmark::Platform::Process {

struct ChildProcessResult {
    // 0..255, or 128 + N for a child ended by signal N.
    std::int32_t ExitCode = 0;
    // Everything the child wrote to its standard output, undecoded.
    std::vector<std::uint8_t> Output;
};

class ChildProcess {
public:
    // Starts the program directly (no shell) with the given arguments after the program
    // path, stdout piped to us and read while it runs; stdin, stderr, environment and working
    // directory are inherited, no other descriptor is. Completes once the child has exited
    // and its output has ended.
    // A refused start is an IoFailure "ErrorStartingProcess, <program>, <current dir>, <why>".
    // On cancellation a CancellationFailure is raised at once; the child keeps running, its
    // output is drained and it is reaped in the background.
    // Holds no thread while waiting; runs on the awaiting coroutine's executor.
    static Task<ChildProcessResult> RunAsync(std::string programPath, std::vector<std::string> arguments,
                                             CancellationToken token);
};

}  // namespace Quillmark::Platform::Process
