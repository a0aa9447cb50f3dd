#pragma once
// A child's standard output, kept up to a bound. What comes past the bound is counted and
// dropped, so the child can be read to its end without the memory growing with it.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace Quillmark::Platform::Process {

class OutputCapture {
public:
    explicit OutputCapture(std::size_t limit);

    // Room for the next read of at most `size` bytes: in the kept output while it is below the
    // bound, else in a scratch buffer whose bytes are dropped.
    std::span<std::uint8_t> Prepare(std::size_t size);
    // The read put `count` bytes at the start of the room Prepare gave; a room not committed
    // to is given again.
    void Commit(std::size_t count);

    std::size_t Limit() const noexcept { return limit_; }
    // True once more came than the bound keeps.
    bool Overflowed() const noexcept { return dropped_ > 0; }

    // The output, when it is the whole output. Otherwise an InvalidOperationFailure
    // "Output of <program> exceeds <limit> bytes; it ended with exit code <code>", since a part
    // passed on as the whole would be a lie.
    std::vector<std::uint8_t> TakeWhole(std::string_view program, std::int32_t exitCode) &&;

private:
    std::size_t limit_;
    std::vector<std::uint8_t> kept_;
    std::size_t keptSize_ = 0;
    std::vector<std::uint8_t> scratch_;
    bool roomInScratch_ = false;
    std::uint64_t dropped_ = 0;
};

}  // namespace Quillmark::Platform::Process
