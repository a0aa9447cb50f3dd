#include "Common/DateTime.hpp"

#include "Platform/Failure.hpp"

#include <algorithm>
#include <optional>

namespace Quillmark::Common {

using Platform::TicksPerSecond;

namespace {
constexpr std::int64_t TicksPerMinute = 60 * TicksPerSecond;
constexpr std::int64_t TicksPerHour = 60 * TicksPerMinute;
constexpr int MaxFractionDigits = 16;
// Offsets beyond fourteen hours name no zone.
constexpr std::int64_t MaxOffsetTicks = 14 * TicksPerHour;

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

// Days from 0001-01-01 to the given date in the proleptic Gregorian calendar.
std::int64_t DaysBefore(int year, int month, int day) {
    std::int64_t y = year - 1;
    std::int64_t days = y * 365 + y / 4 - y / 100 + y / 400;
    for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
    return days + day - 1;
}

[[noreturn]] void Malformed() { throw Platform::FormatFailure("Format_BadDateTime"); }

// Reads exactly n digits at the cursor.
class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}
    bool AtEnd() const { return at_ == text_.size(); }
    bool Take(char c) {
        if (AtEnd() || text_[at_] != c) return false;
        ++at_;
        return true;
    }
    std::optional<char> Peek() const {
        if (AtEnd()) return std::nullopt;
        return text_[at_];
    }
    int Digits(std::size_t n) {
        int value = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (AtEnd() || text_[at_] < '0' || text_[at_] > '9') Malformed();
            value = value * 10 + (text_[at_++] - '0');
        }
        return value;
    }
    // One or more digits as ticks of a second; digits past the seventh are dropped.
    std::int64_t Fraction() {
        std::int64_t ticks = 0;
        std::size_t count = 0;
        while (!AtEnd() && text_[at_] >= '0' && text_[at_] <= '9') {
            if (count < 7) ticks = ticks * 10 + (text_[at_] - '0');
            ++count;
            ++at_;
        }
        if (count == 0 || count > MaxFractionDigits) Malformed();
        for (auto i = count; i < 7; ++i) ticks *= 10;
        return ticks;
    }

private:
    std::string_view text_;
    std::size_t at_ = 0;
};

void Require(bool condition) {
    if (!condition) Malformed();
}
}  // namespace

std::int64_t DateTime::ToTicks(int year, int month, int day, int hour, int minute, int second) {
    return DaysBefore(year, month, day) * Platform::TicksPerDay + hour * TicksPerHour + minute * TicksPerMinute +
           second * TicksPerSecond;
}

DateTime DateTime::AddTicks(std::int64_t ticks) const {
    if ((ticks > 0 && Ticks > MaxTicks - ticks) || (ticks < 0 && Ticks < -ticks)) {
        throw Platform::ArgumentOutOfRangeFailure("value", "ArgumentOutOfRange_DateArithmetic");
    }
    return {Ticks + ticks, Kind};
}

DateTime DateTime::ParseIso8601(std::string_view text, const Platform::IClock& clock) {
    Cursor at(text);
    const int year = at.Digits(4);
    Require(at.Take('-'));
    const int month = at.Digits(2);
    Require(at.Take('-'));
    const int day = at.Digits(2);
    Require(year >= 1 && month >= 1 && month <= 12 && day >= 1 && day <= DaysInMonth(year, month));

    int hour = 0, minute = 0, second = 0;
    std::int64_t fraction = 0;
    const bool hasTime = at.Take('T');
    if (hasTime) {
        hour = at.Digits(2);
        Require(at.Take(':'));
        minute = at.Digits(2);
        if (at.Take(':')) {
            second = at.Digits(2);
            if (at.Take('.')) fraction = at.Fraction();
        }
        Require(hour <= 23 && minute <= 59 && second <= 59);
    }
    const std::int64_t reading = ToTicks(year, month, day, hour, minute, second) + fraction;

    if (at.AtEnd()) return {reading, DateTimeKind::Unspecified};
    // A zone only follows a time of day.
    Require(hasTime);
    if (at.Take('Z')) {
        Require(at.AtEnd());
        return {reading, DateTimeKind::Utc};
    }
    auto sign = at.Peek();
    Require(sign == '+' || sign == '-');
    at.Take(*sign);
    const int offsetHours = at.Digits(2);
    int offsetMinutes = 0;
    if (at.Take(':')) offsetMinutes = at.Digits(2);
    Require(at.AtEnd() && offsetMinutes <= 59);
    std::int64_t offset = offsetHours * TicksPerHour + offsetMinutes * TicksPerMinute;
    Require(offset <= MaxOffsetTicks);
    if (*sign == '-') offset = -offset;

    const std::int64_t utc = reading - offset;
    Require(utc >= 0 && utc <= MaxTicks);
    // The local reading of that moment, held within the representable range.
    const std::int64_t local = std::clamp(utc + clock.LocalOffsetTicksAt(utc), std::int64_t{0}, MaxTicks);
    return {local, DateTimeKind::Local};
}

}  // namespace Quillmark::Common
