#include "Platform/Process/DetachedProcess.hpp"

namespace Quillmark::Platform::Process {

// No desktop shell to ask: the file itself is started.
void DetachedProcess::ShellOpen(const std::string& path) { StartDetached(path, {}); }

}  // namespace Quillmark::Platform::Process
