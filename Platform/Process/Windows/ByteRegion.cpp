#include "Platform/Process/ByteRegion.hpp"

#include <windows.h>

namespace Quillmark::Platform::Process {

std::size_t ByteRegion::Granularity() noexcept {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return info.dwAllocationGranularity;
}

// Large pages need a privilege that a user's process does not hold: plain pages here.
std::uint8_t* ByteRegion::Reserve(std::size_t bytes) {
    return static_cast<std::uint8_t*>(::VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS));
}

bool ByteRegion::Commit(std::uint8_t* at, std::size_t bytes) noexcept {
    return ::VirtualAlloc(at, bytes, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

void ByteRegion::Decommit(std::uint8_t* at, std::size_t bytes) noexcept { (void)::VirtualFree(at, bytes, MEM_DECOMMIT); }

void ByteRegion::Reset(std::uint8_t* at, std::size_t bytes) noexcept {
    (void)::VirtualAlloc(at, bytes, MEM_RESET, PAGE_READWRITE);
}

// Plain pages are faulted in by their first writer.
void ByteRegion::Populate(std::span<std::uint8_t>) noexcept {}

void ByteRegion::Unreserve(std::uint8_t* base, std::size_t) noexcept { (void)::VirtualFree(base, 0, MEM_RELEASE); }

}  // namespace Quillmark::Platform::Process
