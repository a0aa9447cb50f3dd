#include "Platform/Process/ChildProcess.hpp"

#include "Platform/Failure.hpp"
#include "tests/childprocess/ChildWatch.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
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
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace Quillmark::Platform;
using namespace Quillmark::Tests;
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

std::string Text(const ChildProcessResult& result) { return {result.Output.begin(), result.Output.end()}; }

class ChildProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("childprocess-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        for (const char* name : {"QUILLMARK_STANDIN_ARGV_FILE", "QUILLMARK_STANDIN_FDS_FILE",
                                 "QUILLMARK_STANDIN_FACTS_FILE", "QUILLMARK_STANDIN_OUTPUT_FILE",
                                 "QUILLMARK_STANDIN_OUTPUT", "QUILLMARK_STANDIN_REPEAT", "QUILLMARK_STANDIN_SLEEP_MS",
                                 "QUILLMARK_STANDIN_SIGNAL", "QUILLMARK_STANDIN_EXIT_CODE",
                                 "QUILLMARK_STANDIN_DONE_FILE"}) {
            ::unsetenv(name);
        }
    }
    void TearDown() override {
        // Every child is waited for, whichever way its run ended.
        EXPECT_TRUE(WaitUntil([] { return Children() == 0; })) << "a child was never reaped";
        fs::remove_all(dir_);
    }

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
    // A child of much output that sleeps before it ends and leaves `done` behind at its end.
    fs::path StartsBusy() const {
        ::setenv("QUILLMARK_STANDIN_OUTPUT", "0123456789abcdef", 1);
        ::setenv("QUILLMARK_STANDIN_REPEAT", "1048576", 1);
        ::setenv("QUILLMARK_STANDIN_SLEEP_MS", "200", 1);
        ::setenv("QUILLMARK_STANDIN_FACTS_FILE", (dir_ / "facts").c_str(), 1);
        ::setenv("QUILLMARK_STANDIN_DONE_FILE", (dir_ / "done").c_str(), 1);
        return dir_ / "done";
    }

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

TEST_F(ChildProcessTest, OutputIsWholeUpToTheBoundAndPastItTheRunFailsOnceTheChildEnded) {
    constexpr std::size_t Bound = ChildProcess::MaxOutputBytes;
    struct Case {
        std::size_t bytes;
        bool whole;
    };
    // Sixteen times the bound is far beyond a pipe's capacity: it ends only if still read.
    for (const Case& c : {Case{Bound, true}, Case{Bound + 1, false}, Case{16 * Bound, false}}) {
        ::setenv("QUILLMARK_STANDIN_OUTPUT", "x", 1);
        ::setenv("QUILLMARK_STANDIN_REPEAT", std::to_string(c.bytes).c_str(), 1);
        ::setenv("QUILLMARK_STANDIN_EXIT_CODE", "7", 1);
        const auto done = dir_ / ("done-" + std::to_string(c.bytes));
        ::setenv("QUILLMARK_STANDIN_DONE_FILE", done.c_str(), 1);
        try {
            const auto result = RunChild(Standin, {});
            EXPECT_TRUE(c.whole) << c.bytes << " bytes passed for the whole output";
            EXPECT_EQ(result.ExitCode, 7);
            EXPECT_EQ(result.Output.size(), c.bytes);
            EXPECT_EQ(std::count(result.Output.begin(), result.Output.end(), 'x'), static_cast<long>(c.bytes));
        } catch (const InvalidOperationFailure& failure) {
            EXPECT_FALSE(c.whole) << c.bytes;
            EXPECT_EQ(failure.Message(), "Output of " + Standin + " exceeds 1048576 bytes; it ended with exit code 7");
        }
        EXPECT_TRUE(fs::exists(done)) << c.bytes << ": the child did not run to its end";
    }
}

TEST_F(ChildProcessTest, ADescendantThatKeepsTheOutputOpenIsNotWaitedFor) {
    // The shell ends at once; the sleep it leaves behind holds the pipe far longer than a run may take.
    const auto pidFile = dir_ / "descendant";
    const auto result = RunChild("/bin/sh", {"-c", "sleep 120 & echo $! > '" + pidFile.string() + "'; printf signed"});
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(Text(result), "signed");
    std::ifstream in(pidFile);
    pid_t descendant = 0;
    if (in >> descendant && descendant > 0) ::kill(descendant, SIGKILL);
}

TEST_F(ChildProcessTest, RefusedStartsNameProgramDirectoryAndReasonAndLeaveNothingOpen) {
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
    const int pipesBefore = PipesHeld();
    for (const auto& c : cases) {
        try {
            RunChild(c.program, c.arguments);
            ADD_FAILURE() << c.program << " started";
        } catch (const IoFailure& failure) {
            EXPECT_EQ(failure.Message(), PlatformText("ErrorStartingProcess", {c.program, cwd, c.reason}));
        }
    }
    EXPECT_EQ(PipesHeld(), pipesBefore) << "a refused start left its output pipe open";
}

TEST_F(ChildProcessTest, CancellationEndsTheWaitButNotTheChild) {
    const auto done = StartsBusy();
    std::stop_source source;
    EXPECT_THROW(RunChild(Standin, {}, source.get_token(), [&] { source.request_stop(); }), CancellationFailure);
    EXPECT_FALSE(fs::exists(done));
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(done); })) << "the child did not run to its end";
    const auto pipe = ReadFacts(dir_ / "facts")["1"];
    EXPECT_TRUE(WaitUntil([&] { return DescriptorsTo(pipe) == 0; })) << "its output pipe stayed open";
}

TEST_F(ChildProcessTest, ARunDroppedWithItsLoopStillLetsTheChildEnd) {
    const auto done = StartsBusy();
    {
        boost::asio::io_context io;
        boost::asio::co_spawn(io, ChildProcess::RunAsync(Standin, {}, {}), boost::asio::detached);
        // Runs until the child has started, then drops the loop with the run suspended in it.
        ASSERT_TRUE(WaitUntil([&] {
            io.run_for(std::chrono::milliseconds(1));
            return fs::exists(dir_ / "facts");
        }));
    }
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(done); })) << "the child did not run to its end";
    const auto pipe = ReadFacts(dir_ / "facts")["1"];
    EXPECT_TRUE(WaitUntil([&] { return DescriptorsTo(pipe) == 0; })) << "its output pipe stayed open";
}

TEST_F(ChildProcessTest, AnAlreadyCancelledTokenStartsNothing) {
    RecordArguments();
    std::stop_source source;
    source.request_stop();
    EXPECT_THROW(RunChild(Standin, {"ran"}, source.get_token()), CancellationFailure);
    EXPECT_FALSE(fs::exists(dir_ / "argv"));
}

}  // namespace
