#include "Platform/Process/ProcessMemory.hpp"

namespace Quillmark::Platform::Process {

// The Windows heap has no threshold to raise: blocks of a mebibyte come from their own
// mappings whatever is asked.
void ProcessMemory::KeepLargeBuffers() noexcept {}

}  // namespace Quillmark::Platform::Process
