#pragma once
// Settings of the running process's own memory.

namespace Quillmark::Platform::Process {

class ProcessMemory {
public:
    // Keeps the allocator from returning the buffers of large messages to the system after
    // every request only to fault them in afresh for the next one. Call once, at start-up.
    static void KeepLargeBuffers() noexcept;
};

}  // namespace Quillmark::Platform::Process
