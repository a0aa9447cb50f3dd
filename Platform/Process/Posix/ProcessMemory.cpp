#include "Platform/Process/ProcessMemory.hpp"

#include <malloc.h>

namespace Quillmark::Platform::Process {

void ProcessMemory::KeepLargeBuffers() noexcept {
    // A transfer frame and its decoded copies are around a mebibyte each: keep them in the heap
    // rather than in mappings of their own, and hand back only a large excess of free memory.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
    // Workers make replies that the loop frees: with one heap for all, each such buffer is
    // reused by the next one, whichever thread allocates it.
    mallopt(M_ARENA_MAX, 1);
}

}  // namespace Quillmark::Platform::Process
