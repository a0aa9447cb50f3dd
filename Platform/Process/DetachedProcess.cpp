#include "Platform/Process/DetachedProcess.hpp"

#include "Platform/Process/SpawnedProcess.hpp"

namespace Quillmark::Platform::Process {

void DetachedProcess::StartDetached(const std::string& program, const std::vector<std::string>& arguments) {
    // Let go of at once: the record is waited for in the background once the program ends.
    SpawnedProcess::Spawn({.Program = program,
                           .Arguments = arguments,
                           .Method = StartMethod::Direct,
                           .Input = ChildStream::NullDevice,
                           .Output = ChildStream::NullDevice,
                           .Detached = true});
}

void DetachedProcess::ShellOpen(const std::string& path) {
    SpawnedProcess::Spawn({.Program = path,
                           .Arguments = {},
                           .Method = StartMethod::Shell,
                           .Input = ChildStream::NullDevice,
                           .Output = ChildStream::NullDevice,
                           .Detached = true});
}

}  // namespace Quillmark::Platform::Process
