#include "Platform/Process/DetachedProcess.hpp"

#include "Platform/Windows/Win32.hpp"

namespace Quillmark::Platform::Process {

namespace {
// The longest command line CreateProcessW takes, in UTF-16 units, its terminating NUL included.
constexpr std::size_t CommandLineLimit = 32767;
}  // namespace

std::size_t DetachedProcess::MaxArgumentLength(std::string_view program) {
    // The quoted program, a blank, the argument in quotes and the terminating NUL. An argument
    // that needs no escaping takes one UTF-16 unit per byte at most.
    const std::size_t used = Windows::Widen(program).size() + 2 + 1 + 2 + 1;
    return used < CommandLineLimit ? CommandLineLimit - used : 0;
}

}  // namespace Quillmark::Platform::Process
