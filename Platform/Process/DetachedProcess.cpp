#include "Platform/Process/DetachedProcess.hpp"

namespace Quillmark::Platform::Process {

void DetachedProcess::ShellOpen(const std::string& path) { StartDetached(path, {}); }

}  // namespace Quillmark::Platform::Process
