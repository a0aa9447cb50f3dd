#pragma once
// Runs the GUI stand-in through ChildProcess on either system: a folder of the test's own, the
// stand-in's variables cleared, and at the end the check that nothing of any child stays with us.

#include "Platform/Path.hpp"
#include "Platform/Process/ChildProcess.hpp"
#include "Platform/Process/SpawnedProcess.hpp"
#include "tests/childprocess/ChildWatch.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <vector>

namespace Quillmark::Tests {

inline const std::string Standin = QUILLMARK_GUI_STANDIN;

// Runs the child on a fresh io_context; the whole run is bounded so a fault fails, not hangs.
inline Platform::Process::ChildProcessResult RunChild(std::string program, std::vector<std::string> arguments,
                                                      std::stop_token token = {},
                                                      std::function<void()> afterStart = {}) {
    boost::asio::io_context io;
    auto outcome = boost::asio::co_spawn(
        io, Platform::Process::ChildProcess::RunAsync(std::move(program), std::move(arguments), token),
        boost::asio::use_future);
    if (afterStart) boost::asio::post(io, afterStart);
    io.run_for(std::chrono::seconds(30));
    if (outcome.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        ADD_FAILURE() << "child run did not finish";
        return {};
    }
    return outcome.get();
}

inline std::string Text(const Platform::Process::ChildProcessResult& result) {
    return {result.Output.begin(), result.Output.end()};
}

// Starts the stand-in with its output piped to us and lets go of it at once.
inline void SpawnPipedAndLetGo() {
    namespace Process = Platform::Process;
    Process::SpawnedProcess::Spawn({.Program = Standin,
                                    .Arguments = {},
                                    .Method = Process::StartMethod::Direct,
                                    .Input = Process::ChildStream::NullDevice,
                                    .Output = Process::ChildStream::Pipe,
                                    .Detached = false});
}

class ChildRunTest : public ::testing::Test {
protected:
    static constexpr const char* StandinVariables[] = {
        "QUILLMARK_STANDIN_ARGV_FILE",   "QUILLMARK_STANDIN_FDS_FILE",       "QUILLMARK_STANDIN_FACTS_FILE",
        "QUILLMARK_STANDIN_OUTPUT_FILE", "QUILLMARK_STANDIN_OUTPUT",         "QUILLMARK_STANDIN_REPEAT",
        "QUILLMARK_STANDIN_SLEEP_MS",    "QUILLMARK_STANDIN_SIGNAL",         "QUILLMARK_STANDIN_EXIT_CODE",
        "QUILLMARK_STANDIN_DONE_FILE",   "QUILLMARK_STANDIN_DESCENDANT_FILE",
    };

    // What the first children make once and keep (the reaper's worker, its wake-up) is made
    // before any test looks at what we hold.
    static void SetUpTestSuite() {
        SetVariable("QUILLMARK_STANDIN_OUTPUT", "x");
        RunChild(Standin, {});
        SpawnPipedAndLetGo();
        SetVariable("QUILLMARK_STANDIN_OUTPUT", std::nullopt);
    }

    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() /
               ("childprocess-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) +
                "-" + test->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        for (const char* name : StandinVariables) SetVariable(name, std::nullopt);
        holdings_.emplace();
    }
    void TearDown() override {
        for (const char* name : StandinVariables) SetVariable(name, std::nullopt);
        // Whichever way a run ended, nothing of its child stays with us once the child has ended.
        EXPECT_TRUE(WaitUntil([&] { return holdings_->Released(File("facts")); })) << "a child was never let go of";
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::filesystem::path File(std::string_view name) const { return dir_ / name; }
    std::string PathOf(std::string_view name) const { return Platform::Path::FromFsPath(File(name)); }
    void Set(const char* name, const std::string& value) const { SetVariable(name, value); }

    void RecordArguments() const { Set("QUILLMARK_STANDIN_ARGV_FILE", PathOf("argv")); }
    std::vector<std::string> RecordedArguments() const {
        std::ifstream in(File("argv"), std::ios::binary);
        const std::string all(std::istreambuf_iterator<char>(in), {});
        std::vector<std::string> arguments;
        for (std::size_t start = 0, end; (end = all.find('\0', start)) != std::string::npos; start = end + 1) {
            arguments.push_back(all.substr(start, end - start));
        }
        return arguments;
    }
    // A child of much output that sleeps before it ends and leaves `done` behind at its end.
    std::filesystem::path StartsBusy() const {
        Set("QUILLMARK_STANDIN_OUTPUT", "0123456789abcdef");
        Set("QUILLMARK_STANDIN_REPEAT", "1048576");
        Set("QUILLMARK_STANDIN_SLEEP_MS", "200");
        Set("QUILLMARK_STANDIN_FACTS_FILE", PathOf("facts"));
        Set("QUILLMARK_STANDIN_DONE_FILE", PathOf("done"));
        return File("done");
    }

    std::filesystem::path dir_;
    std::optional<Holdings> holdings_;
};

}  // namespace Quillmark::Tests
