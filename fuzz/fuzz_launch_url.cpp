// The daemon's command line: arguments separated by NUL bytes, read as the entry point reads
// them. Reading ends in a result or a FormatFailure, and it never accepts a launch URL whose
// authority ends in a port that a plain reading refuses: after the last ":" outside brackets,
// only digits, and no more than 65535.
#include "Daemon/CommandLine.hpp"
#include "Platform/Failure.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The authority's port text as written, or nothing when the authority has no ":" port.
std::optional<std::string> AuthorityPort(const std::string& arg) {
    std::string authority = arg.substr(12, arg.find_first_of("/?#", 12) - 12);
    if (const auto at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
    const auto colon = authority.rfind(':');
    if (colon == std::string::npos || authority.find(']', colon) != std::string::npos) return std::nullopt;
    return authority.substr(colon + 1);
}

bool PlainPortAllowed(const std::string& port) {
    if (port.find_first_not_of("0123456789") != std::string::npos) return false;
    const auto first = port.find_first_not_of('0');
    if (first == std::string::npos) return true;
    const std::string digits = port.substr(first);
    return digits.size() < 5 || (digits.size() == 5 && digits <= "65535");
}

bool IsLaunchUrl(const std::string& arg) {
    const std::string lower = "quillmark://", upper = "QUILLMARK://";
    if (arg.size() < lower.size()) return false;
    for (std::size_t i = 0; i < lower.size(); ++i)
        if (arg[i] != lower[i] && arg[i] != upper[i]) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> args;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '\0') {
            args.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    using Quillmark::Daemon::CommandLine;
    for (const auto& arg : args) {
        bool accepted = true;
        try {
            (void)CommandLine::Read({arg});
        } catch (const Quillmark::Platform::Failure& failure) {
            if (failure.Kind() != Quillmark::Platform::FailureKind::Format) std::abort();
            accepted = false;
        }
        if (accepted && IsLaunchUrl(arg))
            if (const auto port = AuthorityPort(arg); port && !PlainPortAllowed(*port)) std::abort();
        (void)CommandLine::QueryParameter(arg, "port");
    }
    try {
        (void)CommandLine::Read(args);
    } catch (const Quillmark::Platform::Failure& failure) {
        if (failure.Kind() != Quillmark::Platform::FailureKind::Format) std::abort();
    }
    return 0;
}
