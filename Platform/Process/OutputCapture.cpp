#include "Platform/Process/OutputCapture.hpp"

#include "Platform/Failure.hpp"

#include <algorithm>
#include <string>

namespace Quillmark::Platform::Process {

OutputCapture::OutputCapture(std::size_t limit) : limit_(limit) {}

std::span<std::uint8_t> OutputCapture::Prepare(std::size_t size) {
    roomInScratch_ = keptSize_ >= limit_;
    if (roomInScratch_) {
        if (scratch_.size() < size) scratch_.resize(size);
        return {scratch_.data(), size};
    }
    const std::size_t room = std::min(size, limit_ - keptSize_);
    if (kept_.size() < keptSize_ + room) {
        // Grown by doubling, but never beyond the bound.
        kept_.resize(std::min(limit_, std::max(keptSize_ + room, kept_.size() * 2)));
    }
    return {kept_.data() + keptSize_, room};
}

void OutputCapture::Commit(std::size_t count) {
    if (roomInScratch_) {
        dropped_ += count;
    } else {
        keptSize_ += count;
    }
}

std::vector<std::uint8_t> OutputCapture::TakeWhole(std::string_view program, std::int32_t exitCode) && {
    if (dropped_ > 0) {
        throw InvalidOperationFailure("Output of " + std::string(program) + " exceeds " + std::to_string(limit_) +
                                      " bytes; it ended with exit code " + std::to_string(exitCode));
    }
    kept_.resize(keptSize_);
    return std::move(kept_);
}

}  // namespace Quillmark::Platform::Process
