#include "Daemon/Infrastructure/MyLogger.hpp"

#include "Common/Utils.hpp"
#include "Daemon/Infrastructure/CallerName.hpp"

namespace Quillmark::Daemon::Infrastructure {

MyLogger& MyLogger::Instance() {
    // Never destroyed, so that logging during the process's end still works.
    static auto* instance = new MyLogger;
    return *instance;
}

void MyLogger::Log(LogLevel level, const LogMessage& message, std::string_view memberName,
                   std::string_view filePath, std::int32_t lineNumber) {
    if (level == LogLevel::Debug) return;
    if (level == LogLevel::Verbose && !Common::Utils::IsVerboseLoggingEnabled()) return;
    FileLogger::Log(level, message, memberName, filePath, lineNumber);
}

void MyLogger::Log(LogLevel level, const LogMessage& message, std::source_location caller) {
    Log(level, message, BareFunctionName(caller.function_name()), caller.file_name(),
        static_cast<std::int32_t>(caller.line()));
}

}  // namespace Quillmark::Daemon::Infrastructure
