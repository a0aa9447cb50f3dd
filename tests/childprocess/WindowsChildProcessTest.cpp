#include "Platform/Process/ChildProcess.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Path.hpp"
#include "Platform/Process/SpawnedProcess.hpp"
#include "tests/childprocess/ChildWatch.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <sstream>

namespace {

using namespace Quillmark::Platform;
using namespace Quillmark::Tests;
using Process::ChildProcess;
using Process::ChildProcessResult;
namespace fs = std::filesystem;
namespace Win = Quillmark::Platform::Windows;

const std::string Standin = QUILLMARK_GUI_STANDIN;

const char* const StandinVariables[] = {
    "QUILLMARK_STANDIN_ARGV_FILE", "QUILLMARK_STANDIN_FDS_FILE",  "QUILLMARK_STANDIN_FACTS_FILE",
    "QUILLMARK_STANDIN_OUTPUT_FILE", "QUILLMARK_STANDIN_OUTPUT",  "QUILLMARK_STANDIN_REPEAT",
    "QUILLMARK_STANDIN_SLEEP_MS", "QUILLMARK_STANDIN_EXIT_CODE", "QUILLMARK_STANDIN_DONE_FILE",
    "QUILLMARK_STANDIN_DESCENDANT_FILE",
};

// Runs the child on a fresh io_context; the whole run is bounded so a fault fails, not hangs.
ChildProcessResult RunChild(std::string program, std::vector<std::string> arguments, std::stop_token token = {},
                            std::function<void()> afterStart = {}) {
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

std::string Utf8(const fs::path& path) { return Path::FromFsPath(path); }

std::vector<std::string> SplitAtNul(const std::string& all) {
    std::vector<std::string> parts;
    for (std::size_t start = 0, end; (end = all.find('\0', start)) != std::string::npos; start = end + 1) {
        parts.push_back(all.substr(start, end - start));
    }
    return parts;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Where one of our standard handles leads, as the stand-in describes its own.
std::string Describe(DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return "none";
    switch (::GetFileType(handle)) {
    case FILE_TYPE_CHAR:
        return "char";
    case FILE_TYPE_PIPE:
        return "pipe";
    case FILE_TYPE_DISK:
        return "disk";
    default:
        return "none";
    }
}

class WindowsChildProcessTest : public ::testing::Test {
protected:
    // What the first children make once and keep (the reaper's worker and its wake event) is
    // made before any test counts handles.
    static void SetUpTestSuite() {
        SetVariable("QUILLMARK_STANDIN_OUTPUT", "x");
        RunChild(Standin, {});
        Process::SpawnedProcess::Spawn({.Program = Standin,
                                        .Arguments = {},
                                        .Method = Process::StartMethod::Direct,
                                        .Input = Process::ChildStream::NullDevice,
                                        .Output = Process::ChildStream::Pipe,
                                        .Detached = false});
        SetVariable("QUILLMARK_STANDIN_OUTPUT", std::nullopt);
    }

    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("quillmark-child-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
        for (const char* name : StandinVariables) SetVariable(name, std::nullopt);
        handlesBefore_ = HandlesHeld();
    }
    void TearDown() override {
        for (const char* name : StandinVariables) SetVariable(name, std::nullopt);
        // Whichever way a run ended, no handle of its child stays with us once the child has ended.
        EXPECT_TRUE(WaitUntil([&] { return HandlesHeld() <= handlesBefore_; }))
            << HandlesHeld() << " handles held, " << handlesBefore_ << " before";
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    void Set(const char* name, const std::string& value) { SetVariable(name, value); }
    fs::path File(const char* name) const { return dir_ / name; }
    // A child of much output that sleeps before it ends and leaves `done` behind at its end.
    fs::path StartsBusy() {
        Set("QUILLMARK_STANDIN_OUTPUT", "0123456789abcdef");
        Set("QUILLMARK_STANDIN_REPEAT", "1048576");
        Set("QUILLMARK_STANDIN_SLEEP_MS", "200");
        Set("QUILLMARK_STANDIN_FACTS_FILE", Utf8(File("facts")));
        Set("QUILLMARK_STANDIN_DONE_FILE", Utf8(File("done")));
        return File("done");
    }

    fs::path dir_;
    DWORD handlesBefore_ = 0;
};

TEST_F(WindowsChildProcessTest, ReportsOutputAndTheWholeExitCode) {
    struct Case {
        std::string output;
        const char* exitCode;
        std::int32_t expected;
    };
    const Case cases[] = {
        {"", "0", 0},
        {"line one\r\nline two\n", "3", 3},
        {std::string("\x1A\0\r\n\xFF", 5), "255", 255},
        // An exception code, as the system reports a crash.
        {"before the end", "3221226505", -1073740791},
        {"x", "-1", -1},
    };
    for (const auto& c : cases) {
        std::ofstream(File("out"), std::ios::binary) << c.output;
        Set("QUILLMARK_STANDIN_OUTPUT_FILE", Utf8(File("out")));
        Set("QUILLMARK_STANDIN_EXIT_CODE", c.exitCode);
        const auto result = RunChild(Standin, {});
        EXPECT_EQ(result.ExitCode, c.expected) << c.exitCode;
        EXPECT_EQ(Text(result), c.output) << c.exitCode;
    }
}

TEST_F(WindowsChildProcessTest, PassesEachArgumentWholeWithoutAShell) {
    Set("QUILLMARK_STANDIN_ARGV_FILE", Utf8(File("argv")));
    const std::vector<std::string> arguments{
        "C:\\Temp\\Quillmark\\a b.pdf", "--sig", "", "q\"uote", "trailing\\", "C:\\folder with blank\\",
        "a\\\\\"b", "%PATH% & | < > ^", "tab\there", "t\xE1\xBA\xA1i li\xE1\xBB\x87u \xE2\x9C\x93"};
    RunChild(Standin, arguments);
    EXPECT_EQ(SplitAtNul(ReadAll(File("argv"))), arguments);
}

TEST_F(WindowsChildProcessTest, OnlyTheStandardHandlesReachTheChild) {
    // A handle made inheritable, as a library may make one.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const auto marker = File("marker");
    Win::UniqueHandle held(::CreateFileW(marker.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    Set("QUILLMARK_STANDIN_FDS_FILE", Utf8(File("handles")));
    Set("QUILLMARK_STANDIN_FACTS_FILE", Utf8(File("facts")));
    RunChild(Standin, {});
    held.Reset();
    const auto handles = ReadAll(File("handles"));
    EXPECT_EQ(handles.find("marker"), std::string::npos) << handles;
    auto facts = ReadFacts(File("facts"));
    EXPECT_EQ(facts["1"], "pipe");
    EXPECT_EQ(facts["2"].substr(0, 4), Describe(STD_ERROR_HANDLE));
}

TEST_F(WindowsChildProcessTest, OutputIsWholeUpToTheBoundAndPastItTheRunFailsOnceTheChildEnded) {
    constexpr std::size_t Bound = ChildProcess::MaxOutputBytes;
    struct Case {
        std::size_t bytes;
        bool whole;
    };
    // Sixteen times the bound is far beyond a pipe's capacity: it ends only if still read.
    for (const Case& c : {Case{Bound, true}, Case{Bound + 1, false}, Case{16 * Bound, false}}) {
        Set("QUILLMARK_STANDIN_OUTPUT", "x");
        Set("QUILLMARK_STANDIN_REPEAT", std::to_string(c.bytes));
        Set("QUILLMARK_STANDIN_EXIT_CODE", "7");
        const auto done = dir_ / ("done-" + std::to_string(c.bytes));
        Set("QUILLMARK_STANDIN_DONE_FILE", Utf8(done));
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

TEST_F(WindowsChildProcessTest, ADescendantThatKeepsTheOutputOpenIsNotWaitedFor) {
    Set("QUILLMARK_STANDIN_OUTPUT", "signed");
    Set("QUILLMARK_STANDIN_DESCENDANT_FILE", Utf8(File("descendant")));
    // The descendant sleeps a minute, longer than a run may take.
    const auto result = RunChild(Standin, {});
    EXPECT_EQ(result.ExitCode, 0);
    EXPECT_EQ(Text(result), "signed");
    DWORD pid = 0;
    std::ifstream(File("descendant")) >> pid;
    EXPECT_NE(pid, 0u);
    if (Win::UniqueHandle descendant{::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid)}) {
        ::TerminateProcess(descendant.Get(), 0);
        ::WaitForSingleObject(descendant.Get(), 10000);
    }
}

TEST_F(WindowsChildProcessTest, RefusedStartsNameProgramDirectoryAndReasonAndLeaveNothingOpen) {
    const auto cwd = Utf8(fs::current_path());
    const auto notAProgram = Utf8(File("not-a-program.exe"));
    std::ofstream(File("not-a-program.exe")) << "just text\n";
    const auto missing = Utf8(File("missing.exe"));

    struct Case {
        std::string program;
        std::vector<std::string> arguments;
        std::string reason;
    };
    const Case cases[] = {
        {missing, {}, Win::DescribeError(ERROR_FILE_NOT_FOUND)},
        {notAProgram, {}, "InvalidApplication"},
        {Standin, {std::string("a\0b", 3)}, Win::DescribeError(ERROR_INVALID_PARAMETER)},
        {Standin + std::string("\0x", 2), {}, Win::DescribeError(ERROR_INVALID_PARAMETER)},
    };
    for (const auto& c : cases) {
        try {
            RunChild(c.program, c.arguments);
            ADD_FAILURE() << c.program << " started";
        } catch (const IoFailure& failure) {
            EXPECT_EQ(failure.Message(), PlatformText("ErrorStartingProcess", {c.program, cwd, c.reason}));
        }
    }
    // A folder is no program either; its reason is the system's own.
    EXPECT_THROW(RunChild(Utf8(dir_), {}), IoFailure);
}

TEST_F(WindowsChildProcessTest, CancellationEndsTheWaitButNotTheChild) {
    const auto done = StartsBusy();
    std::stop_source source;
    EXPECT_THROW(RunChild(Standin, {}, source.get_token(), [&] { source.request_stop(); }), CancellationFailure);
    EXPECT_FALSE(fs::exists(done));
    // Its output is still read, so it runs to its end.
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(done); })) << "the child did not run to its end";
}

TEST_F(WindowsChildProcessTest, ARunDroppedWithItsLoopStillLetsTheChildEnd) {
    const auto done = StartsBusy();
    {
        boost::asio::io_context io;
        boost::asio::co_spawn(io, ChildProcess::RunAsync(Standin, {}, {}), boost::asio::detached);
        // Runs until the child has started, then drops the loop with the run suspended in it.
        ASSERT_TRUE(WaitUntil([&] {
            io.run_for(std::chrono::milliseconds(1));
            return fs::exists(File("facts"));
        }));
    }
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(done); })) << "the child did not run to its end";
}

TEST_F(WindowsChildProcessTest, AnAlreadyCancelledTokenStartsNothing) {
    Set("QUILLMARK_STANDIN_ARGV_FILE", Utf8(File("argv")));
    std::stop_source source;
    source.request_stop();
    EXPECT_THROW(RunChild(Standin, {"ran"}, source.get_token()), CancellationFailure);
    EXPECT_FALSE(fs::exists(File("argv")));
}

TEST_F(WindowsChildProcessTest, StandardStreamsAreWhatWasAskedFor) {
    using Process::ChildStream;
    struct Case {
        ChildStream input;
        ChildStream output;
        std::string expectedInput;
        std::string expectedOutput;
    };
    const Case cases[] = {
        {ChildStream::Inherited, ChildStream::Inherited, Describe(STD_INPUT_HANDLE), Describe(STD_OUTPUT_HANDLE)},
        {ChildStream::NullDevice, ChildStream::NullDevice, "char", "char"},
        {ChildStream::NullDevice, ChildStream::Pipe, "char", "pipe"},
    };
    Set("QUILLMARK_STANDIN_FACTS_FILE", Utf8(File("facts")));
    for (const auto& c : cases) {
        fs::remove(File("facts"));
        {
            auto child = Process::SpawnedProcess::Spawn({.Program = Standin,
                                                         .Arguments = {},
                                                         .Method = Process::StartMethod::Direct,
                                                         .Input = c.input,
                                                         .Output = c.output,
                                                         .Detached = false});
            ASSERT_TRUE(WaitUntil([&] { return fs::exists(File("facts")); }));
        }
        auto facts = ReadFacts(File("facts"));
        EXPECT_EQ(facts["0"].substr(0, 4), c.expectedInput);
        EXPECT_EQ(facts["1"].substr(0, 4), c.expectedOutput);
    }
}

TEST_F(WindowsChildProcessTest, ChildrenLetGoOfAreDrainedToTheirEnd) {
    // Each writes far beyond a pipe's capacity, so each ends only if its pipe is still read.
    Set("QUILLMARK_STANDIN_OUTPUT", "0123456789abcdef");
    Set("QUILLMARK_STANDIN_REPEAT", "262144");
    for (int i = 0; i < 3; ++i) {
        Set("QUILLMARK_STANDIN_DONE_FILE", Utf8(dir_ / ("done-" + std::to_string(i))));
        Process::SpawnedProcess::Spawn({.Program = Standin,
                                        .Arguments = {},
                                        .Method = Process::StartMethod::Direct,
                                        .Input = Process::ChildStream::NullDevice,
                                        .Output = Process::ChildStream::Pipe,
                                        .Detached = false});
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(WaitUntil([&] { return fs::exists(dir_ / ("done-" + std::to_string(i))); }))
            << "child " << i << " did not run to its end";
    }
}

}  // namespace
