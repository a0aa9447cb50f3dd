// The daemon's command line: arguments separated by NUL bytes, read as the entry point reads
// them. Reading ends in a result or a FormatFailure.
#include "Daemon/CommandLine.hpp"
#include "Platform/Failure.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

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
    }
    return 0;
}
