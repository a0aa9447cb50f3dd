#pragma once
// Hands a failure that nothing handled to the sibling crash handler. Writes no log line;
// shares no state, so any thread may call it.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace Quillmark::Daemon::Infrastructure {

class CrashReporter {
public:
    static constexpr std::string_view CrashHandlerFileName = "Quillmark.CrashHandler.exe";

    // Starts the crash handler of the application directory, not waited for, with the encoded
    // report as its one argument. A failure to start it reaches the caller.
    static void Report(const std::exception_ptr& failure, std::string_view memberName,
                       std::string_view filePath, std::int32_t lineNumber);
    static void Report(const std::exception_ptr& failure,
                       std::source_location caller = std::source_location::current());
    // As Report, with the crash handler looked for in the given folder.
    static void ReportFrom(std::string_view folder, const std::exception_ptr& failure,
                           std::string_view memberName, std::string_view filePath, std::int32_t lineNumber);

    // "[<commit>] <file>:<line> | <member>:" CR LF, then the failure's full description.
    static std::string BuildReport(const std::exception_ptr& failure, std::string_view memberName,
                                   std::string_view filePath, std::int32_t lineNumber);
    // The report cut, on a character boundary, so that its encoding takes at most
    // maxEncodedLength characters; its first line comes first and so is kept.
    static std::string FitReport(std::string report, std::size_t maxEncodedLength);
};

}  // namespace Quillmark::Daemon::Infrastructure
