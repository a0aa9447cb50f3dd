// The log call's cost as callers feel it (format, queue, and the file work a free writer slot
// does on the caller's thread), alone and from several threads at once; the function-name
// reduction done at every call; the crash-report encoding of a large report.
#include "Common/Utils.hpp"
#include "Daemon/Infrastructure/CallerName.hpp"
#include "Daemon/Infrastructure/FileLogger.hpp"
#include "Daemon/Infrastructure/MyLogger.hpp"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <random>

using namespace Quillmark::Daemon::Infrastructure;

namespace {
const std::string& LogFolder() {
    static const std::string folder = [] {
        const auto root = std::filesystem::temp_directory_path() /
                          ("quillmark-bench-" + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(root);
        // The logger's first touch asks for the data folder; keep it out of the user's own.
        ::setenv("XDG_CONFIG_HOME", root.c_str(), 1);
        return (root / "Logs").string();
    }();
    return folder;
}

void BM_LogCall(benchmark::State& state) {
    if (state.thread_index() == 0) {
        FileLogger::ResetForTesting(LogFolder());
        FileLogger::LoadCurrentLogFile();
    }
    const std::string message(static_cast<std::size_t>(state.range(0)), 'm');
    for (auto _ : state) {
        MyLogger::Instance().Log(LogLevel::Info, message);
    }
    if (state.thread_index() == 0) FileLogger::Flush();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogCall)->Arg(64)->Arg(4096)->Threads(1)->Threads(8)->UseRealTime();

void BM_FilteredVerboseCall(benchmark::State& state) {
    ::unsetenv("QUILLMARK_VERBOSE_LOGGING");
    for (auto _ : state) MyLogger::Instance().Log(LogLevel::Verbose, "dropped");
}
BENCHMARK(BM_FilteredVerboseCall);

void BM_BareFunctionName(benchmark::State& state) {
    const char* signature = "static boost::asio::awaitable<void> Quillmark::Daemon::Program::MainLoopAsync("
                            "std::stop_token)::<lambda(int)> [with auto:1 = int]";
    for (auto _ : state) benchmark::DoNotOptimize(BareFunctionName(signature));
}
BENCHMARK(BM_BareFunctionName);

void BM_ToHexBase64(benchmark::State& state) {
    const std::string report(static_cast<std::size_t>(state.range(0)), 'r');
    for (auto _ : state) benchmark::DoNotOptimize(Quillmark::Common::Utils::ToHexBase64(report));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ToHexBase64)->Arg(49152);
}  // namespace
