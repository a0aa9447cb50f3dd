#pragma once
// What every system's spawn helper holds to alike: which options go together, and how a refused
// start reads.

#include "Platform/Process/SpawnedProcess.hpp"

#include <string>

namespace Quillmark::Platform::Process {

// An InvalidOperationFailure for options that contradict each other: a pipe for input, for a
// detached program or through the shell; the shell with any handle passed on or without Detached.
void ValidateSpawnOptions(const SpawnOptions& options);

// The IoFailure "ErrorStartingProcess, <program>, <current dir>, <why>".
[[noreturn]] void ThrowStartFailure(const std::string& program, const std::string& why);

}  // namespace Quillmark::Platform::Process
