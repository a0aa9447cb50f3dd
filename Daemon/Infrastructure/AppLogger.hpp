#pragma once

#include "Daemon/Infrastructure/LogMessage.hpp"

#include <source_location>

namespace Quillmark::Daemon::Infrastructure {

// Short forms of the log call; the line names the function that called them.
class AppLogger {
public:
    static void Exception(const LogMessage& message, std::source_location caller = std::source_location::current());
    static void Error(const LogMessage& message, std::source_location caller = std::source_location::current());
    static void Warn(const LogMessage& message, std::source_location caller = std::source_location::current());
};

}  // namespace Quillmark::Daemon::Infrastructure
