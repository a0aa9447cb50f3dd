#include "Daemon/Infrastructure/LogLevel.hpp"

namespace Quillmark::Daemon::Infrastructure {

std::string_view LogLevelName(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::Exception: return "Exception";
        case LogLevel::Error: return "Error";
        case LogLevel::Warn: return "Warn";
        case LogLevel::Info: return "Info";
        case LogLevel::Verbose: return "Verbose";
        case LogLevel::Debug: return "Debug";
    }
    return {};
}

}  // namespace Quillmark::Daemon::Infrastructure
