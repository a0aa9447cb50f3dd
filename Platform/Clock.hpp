#pragma once
// Wall-clock questions: local time for log lines, UTC for the updater check, and the
// machine's offset from UTC at a given moment (the TZ variable is honoured at every call).
// Tests bend time by installing their own clock.

#include <cstdint>

namespace Quillmark::Platform {

// 100-nanosecond ticks since 0001-01-01 00:00:00.
inline constexpr std::int64_t TicksPerSecond = 10'000'000;
inline constexpr std::int64_t TicksPerDay = 86'400 * TicksPerSecond;
// Ticks at 1970-01-01 00:00:00.
inline constexpr std::int64_t UnixEpochTicks = 621'355'968'000'000'000;

struct LocalTimeParts {
    int Year = 1;
    int Month = 1;
    int Day = 1;
    int Hour = 0;
    int Minute = 0;
    int Second = 0;
};

class IClock {
public:
    virtual ~IClock() = default;
    // The local wall-clock time now.
    virtual LocalTimeParts LocalNow() const = 0;
    // The UTC time now, as ticks.
    virtual std::int64_t UtcNowTicks() const = 0;
    // The machine's offset from UTC, in ticks, at the UTC moment given as ticks.
    virtual std::int64_t LocalOffsetTicksAt(std::int64_t utcTicks) const = 0;
};

// The operating system's clock and time zone. Safe on any thread.
class SystemClock : public IClock {
public:
    LocalTimeParts LocalNow() const override;
    std::int64_t UtcNowTicks() const override;
    std::int64_t LocalOffsetTicksAt(std::int64_t utcTicks) const override;
};

namespace Clock {
// The clock the daemon reads: the system clock unless a test installed another.
const IClock& Current() noexcept;
// Installs a clock for tests (nullptr puts the system clock back); the caller keeps it alive.
void Install(const IClock* clock) noexcept;
}  // namespace Clock

}  // namespace Quillmark::Platform
