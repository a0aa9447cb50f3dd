#include "Platform/Process/ByteRegion.hpp"

#include "Platform/Failure.hpp"

#include <algorithm>
#include <atomic>
#include <utility>

namespace Quillmark::Platform::Process {
namespace {

std::size_t RoundUp(std::size_t value, std::size_t step) { return (value + step - 1) / step * step; }

std::atomic<std::size_t> committedInProcess{0};

}  // namespace

std::size_t ByteRegion::CommittedInProcess() noexcept { return committedInProcess.load(std::memory_order_relaxed); }

ByteRegion::~ByteRegion() {
    if (base_ == nullptr) return;
    Unreserve(base_, reserved_);
    committedInProcess.fetch_sub(committed_, std::memory_order_relaxed);
}

ByteRegion::ByteRegion(ByteRegion&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      bound_(other.bound_),
      reserved_(std::exchange(other.reserved_, 0)),
      committed_(std::exchange(other.committed_, 0)),
      size_(std::exchange(other.size_, 0)) {}

ByteRegion& ByteRegion::operator=(ByteRegion&& other) noexcept {
    if (this != &other) {
        ByteRegion old(std::move(*this));
        base_ = std::exchange(other.base_, nullptr);
        bound_ = other.bound_;
        reserved_ = std::exchange(other.reserved_, 0);
        committed_ = std::exchange(other.committed_, 0);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

std::span<std::uint8_t> ByteRegion::Extend(std::size_t count) {
    if (count > bound_ - size_) throw OutOfMemoryFailure();
    const std::size_t size = size_ + count;
    CommitFor(size);
    const std::span<std::uint8_t> added(base_ + size_, count);
    size_ = size;
    return added;
}

std::span<std::uint8_t> ByteRegion::CommitAhead(std::size_t size) { return CommitFor(std::min(size, bound_)); }

std::span<std::uint8_t> ByteRegion::CommitFor(std::size_t size) {
    if (size <= committed_) return {};
    if (base_ == nullptr) {
        const auto reserved = RoundUp(bound_, Granularity());
        base_ = Reserve(reserved);
        if (base_ == nullptr) throw OutOfMemoryFailure();
        reserved_ = reserved;
    }
    const auto step = bound_ < CommitStep ? Granularity() : CommitStep;
    const auto committed = std::min(RoundUp(size, step), reserved_);
    if (!Commit(base_ + committed_, committed - committed_)) throw OutOfMemoryFailure();
    committedInProcess.fetch_add(committed - committed_, std::memory_order_relaxed);
    const std::span<std::uint8_t> fresh(base_ + committed_, committed - committed_);
    committed_ = committed;
    return fresh;
}

void ByteRegion::Truncate(std::size_t size) noexcept { size_ = std::min(size, size_); }

void ByteRegion::Release() noexcept {
    if (committed_ != 0) Decommit(base_, committed_);
    committedInProcess.fetch_sub(committed_, std::memory_order_relaxed);
    committed_ = 0;
    size_ = 0;
}

void ByteRegion::Drop(std::size_t offset, std::size_t count) noexcept {
    offset = std::min(offset, size_);
    count = std::min(count, size_ - offset);
    GiveBack({base_ + offset, count});
}

void ByteRegion::GiveBack(std::span<std::uint8_t> bytes) noexcept {
    const auto page = Granularity();
    const auto begin = reinterpret_cast<std::uintptr_t>(bytes.data());
    const auto start = RoundUp(begin, page);
    const auto end = (begin + bytes.size()) / page * page;
    if (start < end) Reset(reinterpret_cast<std::uint8_t*>(start), end - start);
}

}  // namespace Quillmark::Platform::Process
