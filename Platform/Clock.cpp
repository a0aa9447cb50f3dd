#include "Platform/Clock.hpp"

#include <atomic>

namespace Quillmark::Platform::Clock {

namespace {
const SystemClock systemClock;
std::atomic<const IClock*> installed{nullptr};
}  // namespace

const IClock& Current() noexcept {
    const IClock* clock = installed.load(std::memory_order_acquire);
    return clock ? *clock : systemClock;
}

void Install(const IClock* clock) noexcept { installed.store(clock, std::memory_order_release); }

}  // namespace Quillmark::Platform::Clock
