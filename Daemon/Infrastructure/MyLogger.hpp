#pragma once

#include "Daemon/Infrastructure/FileLogger.hpp"

#include <source_location>

namespace Quillmark::Daemon::Infrastructure {

// The log call. Every line of the daemon goes through the one shared instance.
class MyLogger : public FileLogger {
public:
    static MyLogger& Instance();

    void Log(LogLevel level, const LogMessage& message, std::string_view memberName,
             std::string_view filePath, std::int32_t lineNumber);
    // Caller information filled in at the call site.
    void Log(LogLevel level, const LogMessage& message,
             std::source_location caller = std::source_location::current());
};

}  // namespace Quillmark::Daemon::Infrastructure
