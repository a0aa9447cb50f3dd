#include "Common/DateTime.hpp"

#include "Platform/Failure.hpp"

#include <gtest/gtest.h>

using namespace Quillmark::Common;
using Quillmark::Platform::SystemClock;
using Quillmark::Platform::TicksPerDay;
using Quillmark::Platform::TicksPerSecond;

namespace {
constexpr std::int64_t Hour = 3600 * TicksPerSecond;

// A machine seven hours ahead of UTC all year.
struct SevenHoursAhead : SystemClock {
    std::int64_t LocalOffsetTicksAt(std::int64_t) const override { return 7 * Hour; }
};
}  // namespace

TEST(DateTimeTest, TicksOfKnownDates) {
    EXPECT_EQ(DateTime::ToTicks(1, 1, 1), 0);
    EXPECT_EQ(DateTime::ToTicks(1970, 1, 1), Quillmark::Platform::UnixEpochTicks);
    EXPECT_EQ(DateTime::ToTicks(2000, 3, 1) - DateTime::ToTicks(2000, 2, 28), 2 * TicksPerDay);
    EXPECT_EQ(DateTime::ToTicks(1900, 3, 1) - DateTime::ToTicks(1900, 2, 28), 1 * TicksPerDay);
    EXPECT_EQ(DateTime::ToTicks(9999, 12, 31, 23, 59, 59) + TicksPerSecond - 1, DateTime::MaxTicks);
}

TEST(DateTimeTest, ParsesReadingsAndKinds) {
    SevenHoursAhead clock;
    const auto base = DateTime::ToTicks(2026, 6, 15, 8, 30, 0);
    struct Case { const char* text; std::int64_t ticks; DateTimeKind kind; };
    const Case cases[] = {
        {"2026-06-15", DateTime::ToTicks(2026, 6, 15), DateTimeKind::Unspecified},
        {"2026-06-15T08:30", base, DateTimeKind::Unspecified},
        {"2026-06-15T08:30:00", base, DateTimeKind::Unspecified},
        {"2026-06-15T08:30:00.5", base + 5'000'000, DateTimeKind::Unspecified},
        {"2026-06-15T08:30:00.1234567", base + 1'234'567, DateTimeKind::Unspecified},
        {"2026-06-15T08:30:00.123456789", base + 1'234'567, DateTimeKind::Unspecified},
        {"2026-06-15T08:30:00Z", base, DateTimeKind::Utc},
        {"2026-06-15T08:30Z", base, DateTimeKind::Utc},
        // Offsets name a moment, read on this machine's clock seven hours ahead.
        {"2026-06-15T08:30:00+00:00", base + 7 * Hour, DateTimeKind::Local},
        {"2026-06-15T08:30:00+07:00", base, DateTimeKind::Local},
        {"2026-06-15T08:30:00-05:30", base + 12 * Hour + 30 * 60 * TicksPerSecond, DateTimeKind::Local},
        {"2026-06-15T08:30:00+07", base, DateTimeKind::Local},
        {"2024-02-29T00:00:00", DateTime::ToTicks(2024, 2, 29), DateTimeKind::Unspecified},
        {"0001-01-01T00:00:00", 0, DateTimeKind::Unspecified},
        {"9999-12-31T23:59:59.9999999", DateTime::MaxTicks, DateTimeKind::Unspecified},
        {"9999-12-31T23:00:00+00:00", DateTime::MaxTicks, DateTimeKind::Local},
    };
    for (const auto& c : cases) {
        auto parsed = DateTime::ParseIso8601(c.text, clock);
        EXPECT_EQ(parsed.Ticks, c.ticks) << c.text;
        EXPECT_EQ(parsed.Kind, c.kind) << c.text;
    }
}

TEST(DateTimeTest, RefusesTextsOutOfForm) {
    SystemClock clock;
    for (const char* text : {"", "2026", "2026-6-15", "2026-06-15 08:30:00", "2026-06-15T8:30", "2026-06-15T08",
                             "2026-06-15T08:30:00.", "2026-13-01", "2026-02-29", "0000-01-01", "2026-06-31",
                             "2026-06-15T24:00:00", "2026-06-15T08:60", "2026-06-15T08:30:60",
                             "2026-06-15T08:30:00z", "2026-06-15T08:30:00ZZ", "2026-06-15T08:30:00+7:00",
                             "2026-06-15T08:30:00+15:00", "2026-06-15T08:30:00+07:60", "2026-06-15Z",
                             " 2026-06-15", "2026-06-15T08:30:00 ", "0001-01-01T00:00:00+01:00",
                             "2026-06-15T08:30:00.12345678901234567"}) {
        EXPECT_THROW(DateTime::ParseIso8601(text, clock), Quillmark::Platform::FormatFailure) << text;
    }
}

TEST(DateTimeTest, AddingPastTheRangeFails) {
    DateTime last{DateTime::ToTicks(9999, 12, 31, 12, 0, 0)};
    EXPECT_THROW(last.AddTicks(TicksPerDay), Quillmark::Platform::ArgumentOutOfRangeFailure);
    EXPECT_EQ(DateTime{DateTime::MaxTicks - TicksPerDay}.AddTicks(TicksPerDay).Ticks, DateTime::MaxTicks);
    EXPECT_THROW(DateTime{0}.AddTicks(-1), Quillmark::Platform::ArgumentOutOfRangeFailure);
    EXPECT_EQ((DateTime{5, DateTimeKind::Utc}.AddTicks(-5).Kind), DateTimeKind::Utc);
}
