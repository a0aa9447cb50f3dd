#pragma once
// Starting programs with CreateProcessW, shared by the Windows process backends.

#include "Platform/Windows/Win32.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::Platform::Process::WindowsDetail {

// One argument as CommandLineToArgvW (and the C runtime of the started program) reads it back:
// quoted when it holds blanks or quotes or is empty, backslashes doubled before a quote.
std::wstring QuoteArgument(std::wstring_view argument);
// The program path in plain quotes (the first word is read without escapes), then each argument.
std::wstring BuildCommandLine(std::string_view program, const std::vector<std::string>& arguments);

// The three standard handles a started program gets; they need not be inheritable.
struct StandardHandles {
    HANDLE Input = nullptr;
    HANDLE Output = nullptr;
    HANDLE Error = nullptr;
};

// Starts the program (no search, no shell) with exactly the given standard handles and no other
// handle of ours; environment and working directory are inherited. Fills in the process and its
// main thread and answers ERROR_SUCCESS, or answers the system's error and starts nothing.
DWORD TryStartProcess(const std::string& program, std::wstring commandLine, const StandardHandles& handles,
                      DWORD creationFlags, PROCESS_INFORMATION& started);
// The same, a refused start raised as an IoFailure "ErrorStartingProcess, <program>,
// <current dir>, <why>".
PROCESS_INFORMATION StartProcess(const std::string& program, std::wstring commandLine,
                                 const StandardHandles& handles, DWORD creationFlags);

// The refusal of a start, as StartProcess raises it.
[[noreturn]] void ThrowStartFailure(const std::string& program, DWORD error);

}  // namespace Quillmark::Platform::Process::WindowsDetail
