#include "Platform/Process/DetachedProcess.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>

extern char** environ;

namespace Quillmark::Platform::Process {

namespace {
// The kernel's bound on one argument (MAX_ARG_STRLEN), its terminating NUL included.
constexpr std::size_t KernelArgumentLimit = 131072;
// Room for the auxiliary vector and alignment that also come out of ARG_MAX.
constexpr std::size_t ArgumentSafetyMargin = 4096;

}  // namespace

std::size_t DetachedProcess::MaxArgumentLength(std::string_view program) {
    long argMax = ::sysconf(_SC_ARG_MAX);
    std::size_t budget = argMax > 0 ? static_cast<std::size_t>(argMax) : KernelArgumentLimit;
    std::size_t used = ArgumentSafetyMargin + program.size() + 1 + 3 * sizeof(char*);
    for (char** entry = environ; *entry != nullptr; ++entry) used += std::strlen(*entry) + 1 + sizeof(char*);
    std::size_t total = budget > used ? budget - used : 0;
    return std::min(total, KernelArgumentLimit - 1);
}

}  // namespace Quillmark::Platform::Process
