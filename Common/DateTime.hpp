#pragma once
// A date-time as the update state holds it: 100-nanosecond ticks since 0001-01-01 00:00:00,
// years 1 to 9999, with a kind. Comparisons look at the ticks alone.

#include "Platform/Clock.hpp"

#include <compare>
#include <cstdint>
#include <string_view>

namespace Quillmark::Common {

enum class DateTimeKind { Unspecified, Utc, Local };

struct DateTime {
    // 9999-12-31 23:59:59.9999999.
    static constexpr std::int64_t MaxTicks = 3'155'378'975'999'999'999;

    std::int64_t Ticks = 0;
    DateTimeKind Kind = DateTimeKind::Unspecified;

    // This moment moved by the given ticks; a result outside years 1 to 9999 is an
    // ArgumentOutOfRangeFailure.
    DateTime AddTicks(std::int64_t ticks) const;

    // ISO 8601 extended format: "yyyy-MM-dd", optionally "THH:mm", ":ss", ".fraction", then
    // optionally "Z" (kept as a UTC reading) or a numeric offset (turned into the machine's
    // local time by the clock's zone). Anything else is a FormatFailure.
    static DateTime ParseIso8601(std::string_view text, const Platform::IClock& clock);

    // Ticks of a calendar date and time of day; the parts must be valid.
    static std::int64_t ToTicks(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

    friend bool operator==(const DateTime& a, const DateTime& b) noexcept { return a.Ticks == b.Ticks; }
    friend auto operator<=>(const DateTime& a, const DateTime& b) noexcept { return a.Ticks <=> b.Ticks; }
};

}  // namespace Quillmark::Common
