#include "Platform/Process/ChildProcess.hpp"

#include "Platform/Failure.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <sstream>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace Quillmark::Platform;
using Process::ChildProcess;
using Process::ChildProcessResult;
namespace fs = std::filesystem;

const std::string Standin = QUILLMARK_GUI_STANDIN;

// Runs the child on a fresh io_context; the whole run is bounded so a fault fails, not hangs.
ChildProcessResult RunChild(std::string program, std::vector<std::string> arguments,
                       std::stop_token token = {}, std::function<void()> afterStart = {}) {
    boost::asio::io_context io;
    std::future<ChildProcessResult> outcome = boost::asio::co_spawn(
        io, ChildProcess::RunAsync(std::move(program), std::move(arguments), token), boost::asio::use_future);
    if (afterStart) boost::asio::post(io, afterStart);
    io.run_for(std::chrono::seconds(30));
    if (outcome.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        ADD_FAILURE() << "child run did not finish";
        return {};
    }
    return outcome.get();
}

// Our children that have ended but were never waited for.
int Zombies() {
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string all((std::istreambuf_iterator<char>(stat)), {});
        const auto close = all.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(all.substr(close + 2));
        char state = 0;
        int parent = 0;
        fields >> state >> parent;
        if (state == 'Z' && parent == ::getpid()) ++count;
    }
    return count;
}

std::string Text(const ChildProcessResult& result) { return {result.Output.begin(), result.Output.end()}; }

class ChildProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("childprocess-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        for (const char* name : {"QUILLMARK_STANDIN_ARGV_FILE", "QUILLMARK_STANDIN_FDS_FILE",
                                 "QUILLMARK_STANDIN_OUTPUT_FILE", "QUILLMARK_STANDIN_OUTPUT", "QUILLMARK_STANDIN_REPEAT",
                                 "QUILLMARK_STANDIN_SLEEP_MS", "QUILLMARK_STANDIN_SIGNAL",
                                 "QUILLMARK_STANDIN_EXIT_CODE", "QUILLMARK_STANDIN_DONE_FILE"}) {
            ::unsetenv(name);
        }
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::vector<std::string> RecordedArguments() const {
        std::ifstream in(dir_ / "argv", std::ios::binary);
        std::string all(std::istreambuf_iterator<char>(in), {});
        std::vector<std::string> arguments;
        std::size_t start = 0;
        for (std::size_t end; (end = all.find('\0', start)) != std::string::npos; start = end + 1) {
            arguments.push_back(all.substr(start, end - start));
        }
        return arguments;
    }
    void RecordArguments() const { ::setenv("QUILLMARK_STANDIN_ARGV_FILE", (dir_ / "argv").c_str(), 1); }

    fs::path dir_;
};

TEST_F(ChildProcessTest, ReportsOutputAndExitStatus) {
    struct Case {
        const char* output;
        const char* exitCode;
        const char* signal;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"", "0", nullptr, 0},
        {"line one\r\nline two\n", "3", nullptr, 3},
        {"x", "255", nullptr, 255},
        {"before the end", nullptr, "15", 128 + SIGTERM},
        {"", nullptr, "9", 128 + SIGKILL},
    };
    for (const auto& c : cases) {
        ::setenv("QUILLMARK_STANDIN_OUTPUT", c.output, 1);
        if (c.exitCode) ::setenv("QUILLMARK_STANDIN_EXIT_CODE", c.exitCode, 1); else ::unsetenv("QUILLMARK_STANDIN_EXIT_CODE");
        if (c.signal) ::setenv("QUILLMARK_STANDIN_SIGNAL", c.signal, 1); else ::unsetenv("QUILLMARK_STANDIN_SIGNAL");
        const auto result = RunChild(Standin, {});
        EXPECT_EQ(result.ExitCode, c.expected) << c.output;
        EXPECT_EQ(Text(result), c.output);
    }
}

TEST_F(ChildProcessTest, PassesEachArgumentWholeWithoutAShell) {
    RecordArguments();
    const std::vector<std::string> arguments{"/tmp/a b.pdf", "--sig", "", "q\"uote", "$HOME;`id`|*"};
    RunChild(Standin, arguments);
    EXPECT_EQ(RecordedArguments(), arguments);
}

TEST_F(ChildProcessTest, TheChildGetsNoDescriptorBeyondTheStandardStreams) {
    // Opened the way a library may open a socket or file: without close-on-exec.
    const int held = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(held, 3);
    ::setenv("QUILLMARK_STANDIN_FDS_FILE", (dir_ / "fds").c_str(), 1);
    RunChild(Standin, {});
    ::close(held);
    std::ifstream in(dir_ / "fds");
    std::vector<int> descriptors;
    for (int fd; in >> fd;) descriptors.push_back(fd);
    EXPECT_NE(std::find(descriptors.begin(), descriptors.end(), STDOUT_FILENO), descriptors.end());
    for (int fd : descriptors) EXPECT_LE(fd, STDERR_FILENO);
}

TEST_F(ChildProcessTest, ReadsALargeOutputWhileTheChildRuns) {
    // Far beyond a pipe's capacity: a child that is not read meanwhile would block for ever.
    ::setenv("QUILLMARK_STANDIN_OUTPUT", "0123456789abcdef", 1);
    ::setenv("QUILLMARK_STANDIN_REPEAT", "1048576", 1);
    const auto result = RunChild(Standin, {});
    ASSERT_EQ(result.Output.size(), 16u * 1048576u);
    EXPECT_EQ(Text(result).substr(16u * 1048575u), "0123456789abcdef");
}

TEST_F(ChildProcessTest, RefusedStartsNameProgramDirectoryAndReason) {
    const auto cwd = fs::current_path().string();
    const auto noExec = (dir_ / "not-a-program.exe").string();
    std::ofstream(noExec) << "just text, no interpreter line\n";
    fs::permissions(noExec, fs::perms::owner_all);
    const auto notExecutable = (dir_ / "plain.exe").string();
    std::ofstream(notExecutable) << "x";
    const auto missing = (dir_ / "missing.exe").string();

    struct Case {
        std::string program;
        std::vector<std::string> arguments;
        std::string reason;
    };
    const Case cases[] = {
        {missing, {}, "No such file or directory"},
        {noExec, {}, "InvalidApplication"},
        {notExecutable, {}, "Permission denied"},
        {dir_.string(), {}, "Permission denied"},
        {Standin, {std::string("a\0b", 3)}, "Invalid argument"},
    };
    for (const auto& c : cases) {
        try {
            RunChild(c.program, c.arguments);
            ADD_FAILURE() << c.program << " started";
        } catch (const IoFailure& failure) {
            EXPECT_EQ(failure.Message(), PlatformText("ErrorStartingProcess", {c.program, cwd, c.reason}));
        }
    }
}

TEST_F(ChildProcessTest, CancellationEndsTheWaitButNotTheChild) {
    // Output beyond a pipe's capacity, so the child finishes only if someone still drains it.
    ::setenv("QUILLMARK_STANDIN_OUTPUT", "0123456789abcdef", 1);
    ::setenv("QUILLMARK_STANDIN_REPEAT", "1048576", 1);
    ::setenv("QUILLMARK_STANDIN_SLEEP_MS", "200", 1);
    const auto done = dir_ / "done";
    ::setenv("QUILLMARK_STANDIN_DONE_FILE", done.c_str(), 1);
    std::stop_source source;
    EXPECT_THROW(RunChild(Standin, {}, source.get_token(), [&] { source.request_stop(); }), CancellationFailure);
    EXPECT_FALSE(fs::exists(done));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(done) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(fs::exists(done)) << "the child did not run to its end";
    while (Zombies() > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Zombies(), 0) << "the child was never reaped";
}

TEST_F(ChildProcessTest, AnAlreadyCancelledTokenStartsNothing) {
    RecordArguments();
    std::stop_source source;
    source.request_stop();
    EXPECT_THROW(RunChild(Standin, {"ran"}, source.get_token()), CancellationFailure);
    EXPECT_FALSE(fs::exists(dir_ / "argv"));
}

}  // namespace
