#include "Platform/Process/ChildProcess.hpp"

#include "Platform/Failure.hpp"
#include "tests/childprocess/ChildRunFixture.hpp"

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

using ChildProcessTest = ChildRunTest;

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
    Set("QUILLMARK_STANDIN_FDS_FILE", PathOf("fds"));
    RunChild(Standin, {});
    ::close(held);
    std::ifstream in(dir_ / "fds");
    std::vector<int> descriptors;
    for (int fd; in >> fd;) descriptors.push_back(fd);
    EXPECT_NE(std::find(descriptors.begin(), descriptors.end(), STDOUT_FILENO), descriptors.end());
    for (int fd : descriptors) EXPECT_LE(fd, STDERR_FILENO);
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

}  // namespace
