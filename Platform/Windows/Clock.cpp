#include "Platform/Clock.hpp"

#include "Platform/Windows/Win32.hpp"

namespace Quillmark::Platform {

namespace {
// Ticks at 1601-01-01 00:00:00, where FILETIME counts from.
constexpr std::int64_t FileTimeEpochTicks = 504'911'232'000'000'000;

std::int64_t TicksOf(const FILETIME& time) {
    const auto since1601 = (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return FileTimeEpochTicks + static_cast<std::int64_t>(since1601);
}

FILETIME FileTimeOf(std::int64_t ticks) {
    const auto since1601 = static_cast<std::uint64_t>(ticks - FileTimeEpochTicks);
    return {static_cast<DWORD>(since1601 & 0xFFFFFFFFu), static_cast<DWORD>(since1601 >> 32)};
}
}  // namespace

LocalTimeParts SystemClock::LocalNow() const {
    SYSTEMTIME local{};
    ::GetLocalTime(&local);
    return {local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond};
}

std::int64_t SystemClock::UtcNowTicks() const {
    FILETIME now{};
    ::GetSystemTimePreciseAsFileTime(&now);
    return TicksOf(now);
}

std::int64_t SystemClock::LocalOffsetTicksAt(std::int64_t utcTicks) const {
    // The system converts no moment before 1601; such a moment takes the offset of 1601.
    const auto moment = utcTicks < FileTimeEpochTicks ? FileTimeEpochTicks : utcTicks;
    const FILETIME utcFile = FileTimeOf(moment);
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    FILETIME utcWhole{};
    FILETIME localFile{};
    // Both readings in whole milliseconds, as SYSTEMTIME holds them, so the difference is the
    // offset alone.
    if (!::FileTimeToSystemTime(&utcFile, &utc) || !::SystemTimeToFileTime(&utc, &utcWhole)) return 0;
    // The zone's rules for that year, daylight-saving dates included; the current rules when the
    // system keeps no history for the zone.
    TIME_ZONE_INFORMATION zone{};
    const TIME_ZONE_INFORMATION* rules = ::GetTimeZoneInformationForYear(utc.wYear, nullptr, &zone) ? &zone : nullptr;
    if (!::SystemTimeToTzSpecificLocalTime(rules, &utc, &local) || !::SystemTimeToFileTime(&local, &localFile)) {
        return 0;
    }
    return TicksOf(localFile) - TicksOf(utcWhole);
}

}  // namespace Quillmark::Platform
