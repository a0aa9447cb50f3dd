#include "Platform/Process/ChildProcess.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Path.hpp"
#include "Platform/Process/SpawnedProcess.hpp"
#include "tests/childprocess/ChildRunFixture.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

using namespace Quillmark::Platform;
using namespace Quillmark::Tests;
namespace fs = std::filesystem;
namespace Win = Quillmark::Platform::Windows;

std::string Utf8(const fs::path& path) { return Path::FromFsPath(path); }

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

using WindowsChildProcessTest = ChildRunTest;

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
        Set("QUILLMARK_STANDIN_OUTPUT_FILE", PathOf("out"));
        Set("QUILLMARK_STANDIN_EXIT_CODE", c.exitCode);
        const auto result = RunChild(Standin, {});
        EXPECT_EQ(result.ExitCode, c.expected) << c.exitCode;
        EXPECT_EQ(Text(result), c.output) << c.exitCode;
    }
}

TEST_F(WindowsChildProcessTest, PassesEachArgumentWholeWithoutAShell) {
    RecordArguments();
    const std::vector<std::string> arguments{
        "C:\\Temp\\Quillmark\\a b.pdf", "--sig", "", "q\"uote", "trailing\\", "C:\\folder with blank\\",
        "a\\\\\"b", "%PATH% & | < > ^", "tab\there", "t\xE1\xBA\xA1i li\xE1\xBB\x87u \xE2\x9C\x93"};
    RunChild(Standin, arguments);
    EXPECT_EQ(RecordedArguments(), arguments);
}

TEST_F(WindowsChildProcessTest, OnlyTheStandardHandlesReachTheChild) {
    // A handle made inheritable, as a library may make one.
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const auto marker = File("marker");
    Win::UniqueHandle held(::CreateFileW(marker.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    Set("QUILLMARK_STANDIN_FDS_FILE", PathOf("handles"));
    Set("QUILLMARK_STANDIN_FACTS_FILE", PathOf("facts"));
    RunChild(Standin, {});
    held.Reset();
    const auto handles = ReadAll(File("handles"));
    EXPECT_EQ(handles.find("marker"), std::string::npos) << handles;
    auto facts = ReadFacts(File("facts"));
    EXPECT_EQ(facts["1"], "pipe");
    EXPECT_EQ(facts["2"].substr(0, 4), Describe(STD_ERROR_HANDLE));
}

TEST_F(WindowsChildProcessTest, ADescendantThatKeepsTheOutputOpenIsNotWaitedFor) {
    Set("QUILLMARK_STANDIN_OUTPUT", "signed");
    Set("QUILLMARK_STANDIN_DESCENDANT_FILE", PathOf("descendant"));
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
    const auto notAProgram = PathOf("not-a-program.exe");
    std::ofstream(File("not-a-program.exe")) << "just text\n";
    const auto missing = PathOf("missing.exe");

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
    Set("QUILLMARK_STANDIN_FACTS_FILE", PathOf("facts"));
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
        Set("QUILLMARK_STANDIN_DONE_FILE", PathOf("done-" + std::to_string(i)));
        SpawnPipedAndLetGo();
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(WaitUntil([&] { return fs::exists(File("done-" + std::to_string(i))); }))
            << "child " << i << " did not run to its end";
    }
}

}  // namespace
