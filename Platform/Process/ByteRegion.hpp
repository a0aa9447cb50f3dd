#pragma once
// Regions of memory as large as a file.

#include <cstddef>
#include <cstdint>
#include <span>

namespace Quillmark::Platform::Process {

// A growable run of bytes, up to a bound fixed at construction, that never moves: address
// space for the bound is reserved at the first growth, and memory is committed as the run
// grows, in steps large enough for the system to back with large pages (first touches of
// fresh small pages cost far more than the copies that fill them). One thread changes it;
// others may read the bytes below a size it has handed them meanwhile.
class ByteRegion {
public:
    // Memory is committed in steps of this much, except at the end of the reservation; a
    // region bounded below it commits page by page.
    static constexpr std::size_t CommitStep = std::size_t{2} << 20;

    // The memory that all regions of the process hold committed now.
    static std::size_t CommittedInProcess() noexcept;

    ByteRegion() noexcept = default;
    explicit ByteRegion(std::size_t bound) noexcept : bound_(bound) {}
    ~ByteRegion();
    ByteRegion(ByteRegion&& other) noexcept;
    ByteRegion& operator=(ByteRegion&& other) noexcept;

    std::size_t Bound() const noexcept { return bound_; }
    std::size_t Size() const noexcept { return size_; }
    // The memory committed now: what the region holds of the system, never more than the bound
    // rounded up to the system's allocation granularity, nor more than a commit step beyond
    // the largest size it has had since its last release.
    std::size_t Committed() const noexcept { return committed_; }
    std::span<std::uint8_t> Bytes() noexcept { return {base_, size_}; }
    std::span<const std::uint8_t> Bytes() const noexcept { return {base_, size_}; }

    // Lengthens the run by count bytes, of unspecified content, and answers them. Beyond the
    // bound, or when the system refuses the memory, an OutOfMemoryFailure, and nothing changes.
    std::span<std::uint8_t> Extend(std::size_t count);
    // Commits memory for the run to reach size bytes (no more than the bound) without
    // lengthening it, and answers the memory newly committed, untouched so far. Failures as
    // for Extend.
    std::span<std::uint8_t> CommitAhead(std::size_t size);
    // Has the system back these committed bytes now, as a first write would, leaving them as
    // they are: the cost of first touches is paid on the calling thread rather than by the
    // writer who comes later. Any thread; the bytes must stay committed meanwhile.
    static void Populate(std::span<std::uint8_t> bytes) noexcept;
    // Shortens the run to size bytes (no more than it holds), keeping the memory.
    void Truncate(std::size_t size) noexcept;
    // Empties the run and hands its memory back to the system; the address space stays.
    void Release() noexcept;
    // Hands the memory of the whole pages among these bytes of the run back to the system while
    // keeping them committed: the bytes become unspecified, and the system may use the memory at
    // once for something else, such as the cache of a file they were just written to.
    void Drop(std::size_t offset, std::size_t count) noexcept;
    // Drop for committed bytes named by the span: any thread, as long as they stay committed
    // meanwhile. First touches right after, on the same thread, take that memory up again for
    // a fraction of what fresh memory costs.
    static void GiveBack(std::span<std::uint8_t> bytes) noexcept;

private:
    // The system's side, one backend per system; sizes are multiples of Granularity().
    static std::size_t Granularity() noexcept;
    static std::uint8_t* Reserve(std::size_t bytes);
    static bool Commit(std::uint8_t* at, std::size_t bytes) noexcept;
    static void Decommit(std::uint8_t* at, std::size_t bytes) noexcept;
    static void Reset(std::uint8_t* at, std::size_t bytes) noexcept;
    // Makes at least size bytes committed; answers what was committed now.
    std::span<std::uint8_t> CommitFor(std::size_t size);
    static void Unreserve(std::uint8_t* base, std::size_t bytes) noexcept;

    std::uint8_t* base_ = nullptr;
    std::size_t bound_ = 0;
    std::size_t reserved_ = 0;
    std::size_t committed_ = 0;
    std::size_t size_ = 0;
};

}  // namespace Quillmark::Platform::Process
