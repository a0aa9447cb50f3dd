#include "Platform/Process/ByteRegion.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace Quillmark::Platform::Process {

std::size_t ByteRegion::Granularity() noexcept { return static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)); }

std::uint8_t* ByteRegion::Reserve(std::size_t bytes) {
    // Aligned to the commit step, so that every committed step can be one large page.
    const std::size_t slack = CommitStep;
    void* space = ::mmap(nullptr, bytes + slack, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (space == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(space);
    const auto aligned = (start + slack - 1) / slack * slack;
    if (aligned != start) ::munmap(space, aligned - start);
    if (const auto tail = start + slack - aligned; tail != 0) ::munmap(reinterpret_cast<void*>(aligned + bytes), tail);
    auto* base = reinterpret_cast<std::uint8_t*>(aligned);
    // Where large pages are granted only on request, ask; a refusal leaves small pages.
    (void)::madvise(base, bytes, MADV_HUGEPAGE);
    return base;
}

bool ByteRegion::Commit(std::uint8_t* at, std::size_t bytes) noexcept {
    return ::mprotect(at, bytes, PROT_READ | PROT_WRITE) == 0;
}

void ByteRegion::Decommit(std::uint8_t* at, std::size_t bytes) noexcept {
    (void)::madvise(at, bytes, MADV_DONTNEED);
    (void)::mprotect(at, bytes, PROT_NONE);
}

void ByteRegion::Reset(std::uint8_t* at, std::size_t bytes) noexcept { (void)::madvise(at, bytes, MADV_DONTNEED); }

void ByteRegion::Populate(std::span<std::uint8_t> bytes) noexcept {
    // A system without it leaves the first touches to the writer.
    if (!bytes.empty()) (void)::madvise(bytes.data(), bytes.size(), MADV_POPULATE_WRITE);
}

void ByteRegion::Unreserve(std::uint8_t* base, std::size_t bytes) noexcept { (void)::munmap(base, bytes); }

}  // namespace Quillmark::Platform::Process
