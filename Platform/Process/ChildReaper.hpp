#pragma once
// Children nobody waits for any more, served by one job on the blocking pool: their output is
// read and dropped so none stalls on a full pipe, and each is waited for once it ends, so none
// stays a zombie and none of its handles stays open. Each system's backend serves it.

#include "Platform/Process/SpawnedProcess.hpp"

#include <memory>

namespace Quillmark::Platform::Process {

class ChildReaper {
public:
    // Takes the child over. Never fails: without memory or a worker to be had the child is left,
    // at worst, to whoever adopts it when the daemon ends (POSIX), or its pipe is closed so that
    // it cannot stall on it (Windows).
    static void Adopt(std::unique_ptr<SpawnedProcess::Native> child) noexcept;

private:
    static void Serve();
};

}  // namespace Quillmark::Platform::Process
