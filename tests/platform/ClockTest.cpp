#include "Platform/Clock.hpp"

#include "tests/common/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>

using namespace Quillmark::Platform;

namespace {
// Sets TZ for a scope.
struct ScopedTimeZone : Quillmark::Tests::ScopedVariable {
    explicit ScopedTimeZone(const char* zone) : ScopedVariable("TZ", zone) {}
};

// 2026-06-15 08:00:00 UTC.
constexpr std::int64_t Summer = UnixEpochTicks + 1'781'510'400LL * TicksPerSecond;
// 2026-01-15 08:00:00 UTC.
constexpr std::int64_t Winter = UnixEpochTicks + 1'768'464'000LL * TicksPerSecond;
constexpr std::int64_t Hour = 3600 * TicksPerSecond;
}  // namespace

TEST(ClockTest, OffsetFollowsTzChangedAtRunTime) {
    SystemClock clock;
    struct Case { const char* zone; std::int64_t utc; std::int64_t offset; };
    const Case cases[] = {
        {"UTC0", Summer, 0},
        {"ICT-7", Summer, 7 * Hour},
        {"EST5EDT,M3.2.0,M11.1.0", Summer, -4 * Hour},
        {"EST5EDT,M3.2.0,M11.1.0", Winter, -5 * Hour},
        {"IST-5:30", Winter, 5 * Hour + 30 * 60 * TicksPerSecond},
        {"ICT-7", 0, 7 * Hour},
    };
    for (const auto& c : cases) {
        ScopedTimeZone zone(c.zone);
        EXPECT_EQ(clock.LocalOffsetTicksAt(c.utc), c.offset) << c.zone;
    }
}

TEST(ClockTest, UtcNowIsTicksSinceYearOne) {
    SystemClock clock;
    auto unixSeconds = std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch()).count();
    auto ticks = clock.UtcNowTicks();
    EXPECT_NEAR(static_cast<double>((ticks - UnixEpochTicks) / TicksPerSecond),
                static_cast<double>(unixSeconds), 5.0);
}

TEST(ClockTest, LocalNowAppliesTheZone) {
    SystemClock clock;
    ScopedTimeZone zone("UTC0");
    auto utc = clock.LocalNow();
    ScopedTimeZone ahead("XYZ-14");
    auto local = clock.LocalNow();
    // Fourteen hours ahead lands on the next calendar day or later the same day.
    auto minutes = [](const LocalTimeParts& t) { return (t.Day * 24 + t.Hour) * 60 + t.Minute; };
    if (local.Month == utc.Month) {
        auto delta = minutes(local) - minutes(utc);
        EXPECT_GE(delta, 14 * 60 - 1);
        EXPECT_LE(delta, 14 * 60 + 1);
    }
}

TEST(ClockTest, InstalledClockReplacesTheSystemOne) {
    struct Fixed : SystemClock {
        std::int64_t UtcNowTicks() const override { return 42; }
    } fixed;
    Clock::Install(&fixed);
    EXPECT_EQ(Clock::Current().UtcNowTicks(), 42);
    Clock::Install(nullptr);
    EXPECT_NE(Clock::Current().UtcNowTicks(), 42);
}
