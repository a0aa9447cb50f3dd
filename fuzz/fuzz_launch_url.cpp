// The daemon's command line: arguments separated by NUL bytes, read as the entry point reads
// them. Reading ends in a result or a FormatFailure; the port text parser agrees with a plain
// reading of the rule (white space, one optional sign, decimal digits, 0 to 65535).
#include "Daemon/CommandLine.hpp"
#include "Platform/Failure.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::optional<std::uint16_t> ReferencePort(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) return std::nullopt;
    }
    if (negative && value != 0) return std::nullopt;
    return static_cast<std::uint16_t>(value);
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
    try {
        (void)CommandLine::Read(args);
    } catch (const Quillmark::Platform::Failure& failure) {
        if (failure.Kind() != Quillmark::Platform::FailureKind::Format) std::abort();
    }
    for (const auto& arg : args) {
        (void)CommandLine::QueryParameter(arg, "port");
        if (CommandLine::ParsePort(arg) != ReferencePort(arg)) std::abort();
    }
    return 0;
}
