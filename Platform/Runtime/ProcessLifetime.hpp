#pragma once
// How the process starts and ends: its standard handles, the notification of failures that no
// code handled (on any thread), and the immediate exit.

#include <exception>
#include <string>
#include <vector>

namespace Quillmark::Platform::Runtime {

// What the unhandled-failure notification carries.
struct UnhandledFailureEventArgs {
    std::exception_ptr ExceptionObject;
    bool IsTerminating = true;
};
using UnhandledFailureHandler = void (*)(const void* sender, const UnhandledFailureEventArgs& args);

// Run first in main: gives each missing standard handle (0, 1, 2) the null device, so no file
// the process opens later is mistaken for one, and makes a write into a broken pipe an error
// instead of a fatal signal.
void PrepareStandardHandles();

// The arguments the process was started with, after the program's own path, in UTF-8 (main's
// own argv on Windows is in the ANSI code page, which cannot hold every character).
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// From now on a failure that no code handles reaches the handler: std::terminate (an
// exception leaving a thread, a noexcept function or a destructor) and RaiseUnhandledFailure.
void SetUnhandledFailureHandler(UnhandledFailureHandler handler);
// Hands the failure to the handler and ends the process with exit code 1, also when the
// handler returns or fails. Concurrent calls: the first one wins, the others wait for the end;
// one that the handler's own thread makes (std::terminate inside it) ends the process at once.
[[noreturn]] void RaiseUnhandledFailure(std::exception_ptr failure);

// Runs right before every ExitNow (the logger's flush); one hook, the last one set.
void SetPreExitHook(void (*hook)());
// Runs the pre-exit hook, then ends the process at once: no destructors, no other thread runs on.
[[noreturn]] void ExitNow(int exitCode);

}  // namespace Quillmark::Platform::Runtime
