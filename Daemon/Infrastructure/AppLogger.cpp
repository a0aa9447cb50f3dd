#include "Daemon/Infrastructure/AppLogger.hpp"

#include "Daemon/Infrastructure/MyLogger.hpp"

namespace Quillmark::Daemon::Infrastructure {

void AppLogger::Exception(const LogMessage& message, std::source_location caller) {
    MyLogger::Instance().Log(LogLevel::Exception, message, caller);
}

void AppLogger::Error(const LogMessage& message, std::source_location caller) {
    MyLogger::Instance().Log(LogLevel::Error, message, caller);
}

void AppLogger::Warn(const LogMessage& message, std::source_location caller) {
    MyLogger::Instance().Log(LogLevel::Warn, message, caller);
}

}  // namespace Quillmark::Daemon::Infrastructure
