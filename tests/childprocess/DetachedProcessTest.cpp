#include "Platform/Process/DetachedProcess.hpp"

#include "Platform/Failure.hpp"
#include "tests/childprocess/ChildWatch.hpp"
#include "tests/common/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

using Quillmark::Platform::IoFailure;
using Quillmark::Platform::Process::DetachedProcess;
using namespace Quillmark::Tests;
namespace fs = std::filesystem;

namespace {
const fs::path Standin = fs::path(QUILLMARK_TEST_STANDINS_DIR) / "Quillmark.Updater.exe";

class DetachedProcessTest : public ::testing::Test {
protected:
    TempFolder folder;
    fs::path record = folder.Path() / "record";
    ScopedVariable recordVariable{"QUILLMARK_STANDIN_RECORD", record.c_str()};

    // Nobody waits for the program, yet it never stays behind as a zombie once it has ended.
    void TearDown() override { EXPECT_TRUE(WaitUntil([] { return Children() == 0; })) << "a program was never reaped"; }
};
}  // namespace

TEST_F(DetachedProcessTest, PassesEachArgumentExactlyWithoutAShell) {
    const std::vector<std::string> arguments = {"two words", "\"quoted\"", "line\nbreak", "$HOME;`id`", "",
                                                "t\xE1\xBA\xA1i"};
    ScopedVariable marker("QUILLMARK_TEST_MARKER", "inherited");
    DetachedProcess::StartDetached(Standin.string(), arguments);
    ASSERT_TRUE(WaitForFile(record));
    auto started = ReadStandinRecord(record);
    EXPECT_EQ(started.Arguments, arguments);
    EXPECT_EQ(started.WorkingDirectory, fs::current_path().string());
    EXPECT_TRUE(started.HasVariable("QUILLMARK_TEST_MARKER=inherited"));
}

TEST_F(DetachedProcessTest, ShellOpenStartsTheFileWithoutArguments) {
    DetachedProcess::ShellOpen(Standin.string());
    ASSERT_TRUE(WaitForFile(record));
    EXPECT_TRUE(ReadStandinRecord(record).Arguments.empty());
}

TEST_F(DetachedProcessTest, OpenFilesAreNotInherited) {
    int leaked = ::open(record.parent_path().c_str(), O_RDONLY);  // without close-on-exec
    ASSERT_GE(leaked, 0);
    fs::path fdRecord = folder.Path() / "fds";
    // The stand-in's own /proc listing would show the descriptor if it had been inherited.
    DetachedProcess::StartDetached("/bin/sh", {"-c", "ls /proc/$$/fd > '" + fdRecord.string() + ".part'; mv '" +
                                                         fdRecord.string() + ".part' '" + fdRecord.string() + "'"});
    ASSERT_TRUE(WaitForFile(fdRecord));
    ::close(leaked);
    auto listing = ReadAll(fdRecord);
    EXPECT_EQ(("\n" + listing).find("\n" + std::to_string(leaked) + "\n"), std::string::npos) << listing;
}

TEST_F(DetachedProcessTest, StandardInputAndOutputAreNotTheDaemonsPipes) {
    int input[2], output[2];
    ASSERT_EQ(::pipe(input), 0);
    ASSERT_EQ(::pipe(output), 0);
    int savedIn = ::dup(STDIN_FILENO), savedOut = ::dup(STDOUT_FILENO);
    ::dup2(input[0], STDIN_FILENO);
    ::dup2(output[1], STDOUT_FILENO);
    fs::path fdRecord = folder.Path() / "fds";
    DetachedProcess::StartDetached("/bin/sh", {"-c", "fds=$(readlink /proc/$$/fd/0 /proc/$$/fd/1); echo \"$fds\" > '" +
                                                         fdRecord.string() + ".part'; mv '" + fdRecord.string() + ".part' '" +
                                                         fdRecord.string() + "'"});
    ::dup2(savedIn, STDIN_FILENO);
    ::dup2(savedOut, STDOUT_FILENO);
    for (int fd : {savedIn, savedOut, input[0], input[1], output[1]}) ::close(fd);
    ASSERT_TRUE(WaitForFile(fdRecord));
    EXPECT_EQ(ReadAll(fdRecord), "/dev/null\n/dev/null\n");
    // With no writer left, the reading end sees the end of the output: no child holds it.
    char byte;
    EXPECT_EQ(::read(output[0], &byte, 1), 0);
    ::close(output[0]);
}

TEST_F(DetachedProcessTest, RefusedStartIsAnIoFailureWithTheSystemsReason) {
    const std::string notExecutable = folder / "plain.exe";
    WriteAll(notExecutable, "not a program");
    struct Case { std::string program; std::string reason; };
    const Case cases[] = {
        {folder / "missing.exe", "No such file or directory"},
        {notExecutable, "Permission denied"},
        {folder.Path().string(), "Permission denied"},
    };
    for (const auto& c : cases) {
        try {
            DetachedProcess::StartDetached(c.program, {"x"});
            ADD_FAILURE() << c.program << " started";
        } catch (const IoFailure& failure) {
            EXPECT_EQ(failure.Message(), "ErrorStartingProcess, " + c.program + ", " +
                                             fs::current_path().string() + ", " + c.reason);
        }
        EXPECT_EQ(Children(), 0);
    }
    EXPECT_FALSE(fs::exists(record));
}

TEST_F(DetachedProcessTest, LongestArgumentIsAccepted) {
    auto longest = DetachedProcess::MaxArgumentLength(Standin.string());
    EXPECT_GT(longest, 100'000u);
    EXPECT_LE(longest, 131'071u);
    DetachedProcess::StartDetached(Standin.string(), {std::string(longest, 'A')});
    ASSERT_TRUE(WaitForFile(record));
    auto started = ReadStandinRecord(record);
    ASSERT_EQ(started.Arguments.size(), 1u);
    EXPECT_EQ(started.Arguments[0].size(), longest);
    EXPECT_THROW(DetachedProcess::StartDetached(Standin.string(), {std::string(131'072, 'A')}), IoFailure);
}
