#pragma once
// Children whose output pipe nobody reads any more, served by one job on the blocking pool: their
// output is read and dropped so none stalls on a full pipe, and their handles go once they end.

#include "Platform/Process/SpawnedProcess.hpp"

#include <memory>

namespace Quillmark::Platform::Process {

class ChildReaper {
public:
    // Takes the child over. Never fails: without memory or a worker to be had its pipe is closed
    // instead, so that it cannot stall on it either.
    static void Adopt(std::unique_ptr<SpawnedProcess::Native> child) noexcept;

private:
    static void Serve();
};

}  // namespace Quillmark::Platform::Process
