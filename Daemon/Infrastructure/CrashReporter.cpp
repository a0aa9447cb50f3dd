#include "Daemon/Infrastructure/CrashReporter.hpp"

#include "Common/TextDecoding.hpp"
#include "Common/Utils.hpp"
#include "Daemon/Infrastructure/CallerName.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Path.hpp"
#include "Platform/Process/DetachedProcess.hpp"

namespace Quillmark::Daemon::Infrastructure {

using Common::Utils;
namespace Path = Platform::Path;

std::string CrashReporter::BuildReport(const std::exception_ptr& failure, std::string_view memberName,
                                       std::string_view filePath, std::int32_t lineNumber) {
    std::string report = "[";
    report += Utils::GetCommitHash();
    report += "] ";
    report += filePath.empty() ? std::string_view("<Unknown>") : Path::GetFileName(filePath);
    report += ':';
    report += std::to_string(lineNumber);
    report += " | ";
    report += memberName;
    report += ":\r\n";
    report += Platform::DescribeFailure(failure);
    return Common::ToValidUtf8(report);
}

std::string CrashReporter::FitReport(std::string report, std::size_t maxEncodedLength) {
    // Every started group of three bytes becomes four Base64 characters, eight hex digits.
    const std::size_t maxBytes = maxEncodedLength / 8 * 3;
    if (report.size() <= maxBytes) return report;
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(report[cut]) & 0xC0) == 0x80) --cut;
    report.resize(cut);
    return report;
}

void CrashReporter::ReportFrom(std::string_view folder, const std::exception_ptr& failure,
                               std::string_view memberName, std::string_view filePath, std::int32_t lineNumber) {
    const auto handler = Path::Join(folder, CrashHandlerFileName);
    auto report = BuildReport(failure, memberName, filePath, lineNumber);
    // A report too long for one argument is shortened rather than not sent at all.
    report = FitReport(std::move(report), Platform::Process::DetachedProcess::MaxArgumentLength(handler));
    Platform::Process::DetachedProcess::StartDetached(handler, {Utils::ToHexBase64(report)});
}

void CrashReporter::Report(const std::exception_ptr& failure, std::string_view memberName,
                           std::string_view filePath, std::int32_t lineNumber) {
    ReportFrom(Utils::GetCurrentDir(), failure, memberName, filePath, lineNumber);
}

void CrashReporter::Report(const std::exception_ptr& failure, std::source_location caller) {
    Report(failure, BareFunctionName(caller.function_name()), caller.file_name(),
           static_cast<std::int32_t>(caller.line()));
}

}  // namespace Quillmark::Daemon::Infrastructure
