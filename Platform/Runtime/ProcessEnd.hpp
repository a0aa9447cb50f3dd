#pragma once
// What ending the process needs from each system; the rules of the end are shared.
// Inside the runtime folder only.

#include <string_view>

namespace Quillmark::Platform::Runtime::ProcessEnd {

// Routes the system's own report of a fault that no C++ code saw (an access violation, a
// fatal signal) into RaiseUnhandledFailure, where the system has one.
void InstallFaultNotification();
// Writes the text to standard error as it is, ignoring every failure.
void WriteToStandardError(std::string_view text) noexcept;
// Blocks the calling thread until the process ends.
[[noreturn]] void WaitForTheEnd() noexcept;
// Ends the process at once with the exit code: no destructors, no other thread runs on.
[[noreturn]] void ExitImmediately(int exitCode) noexcept;

}  // namespace Quillmark::Platform::Runtime::ProcessEnd
