#include "Platform/Clock.hpp"

#include <ctime>
#include <time.h>

namespace Quillmark::Platform {

namespace {
// localtime_r does not re-read TZ by itself; tzset makes a changed TZ take effect.
bool ToLocal(std::time_t seconds, std::tm& local) {
    ::tzset();
    return ::localtime_r(&seconds, &local) != nullptr;
}

std::int64_t FloorDiv(std::int64_t value, std::int64_t divisor) {
    auto quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}
}  // namespace

LocalTimeParts SystemClock::LocalNow() const {
    std::tm local{};
    if (!ToLocal(std::time(nullptr), local)) return {};
    return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
            local.tm_hour, local.tm_min, local.tm_sec};
}

std::int64_t SystemClock::UtcNowTicks() const {
    ::timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return UnixEpochTicks + static_cast<std::int64_t>(now.tv_sec) * TicksPerSecond + now.tv_nsec / 100;
}

std::int64_t SystemClock::LocalOffsetTicksAt(std::int64_t utcTicks) const {
    std::tm local{};
    auto seconds = static_cast<std::time_t>(FloorDiv(utcTicks - UnixEpochTicks, TicksPerSecond));
    if (!ToLocal(seconds, local)) return 0;
    return static_cast<std::int64_t>(local.tm_gmtoff) * TicksPerSecond;
}

}  // namespace Quillmark::Platform
