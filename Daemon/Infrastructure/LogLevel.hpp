#pragma once

#include <cstdint>
#include <string_view>

namespace Quillmark::Daemon::Infrastructure {

enum class LogLevel : std::int32_t {
    Exception = 0,
    Error = 1,
    Warn = 2,
    Info = 3,
    Verbose = 4,
    Debug = 5,
};

// The name a log line shows, e.g. "Warn".
std::string_view LogLevelName(LogLevel level) noexcept;

}  // namespace Quillmark::Daemon::Infrastructure
