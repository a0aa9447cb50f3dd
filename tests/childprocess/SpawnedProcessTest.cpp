#include "Platform/Process/SpawnedProcess.hpp"

#include "Platform/Failure.hpp"
#include "tests/childprocess/ChildWatch.hpp"
#include "tests/common/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

using namespace Quillmark::Platform;
using namespace Quillmark::Platform::Process;
using namespace Quillmark::Tests;
namespace fs = std::filesystem;

namespace {

const std::string Standin = QUILLMARK_GUI_STANDIN;

std::string OurStream(int fd) {
    std::error_code error;
    return fs::read_symlink("/proc/self/fd/" + std::to_string(fd), error).string();
}

class SpawnedProcessTest : public ::testing::Test {
protected:
    TempFolder folder;
    fs::path facts = folder.Path() / "facts";
    ScopedVariable factsVariable{"QUILLMARK_STANDIN_FACTS_FILE", facts.c_str()};
    ScopedVariable noOutput{"QUILLMARK_STANDIN_OUTPUT", nullptr};
    ScopedVariable noRepeat{"QUILLMARK_STANDIN_REPEAT", nullptr};
    ScopedVariable noDoneFile{"QUILLMARK_STANDIN_DONE_FILE", nullptr};

    // Every child is waited for, though no test waits for one.
    void TearDown() override { EXPECT_TRUE(WaitUntil([] { return Children() == 0; })) << "a child was never reaped"; }

    std::map<std::string, std::string> FactsOfStart(const SpawnOptions& options) {
        fs::remove(facts);
        auto child = SpawnedProcess::Spawn(options);
        EXPECT_TRUE(WaitForFile(facts));
        auto known = ReadFacts(facts);
        if (options.Output == ChildStream::Pipe) {
            // Our end is the one the record holds, and no other.
            EXPECT_EQ(DescriptorsTo(known["1"]), 1) << known["1"];
        }
        return known;
    }
};

}  // namespace

TEST_F(SpawnedProcessTest, StandardStreamsAreWhatWasAskedFor) {
    struct Case {
        ChildStream input;
        ChildStream output;
        std::string expectedInput;
        std::string expectedOutput;  // empty: a pipe of its own
    };
    const Case cases[] = {
        {ChildStream::Inherited, ChildStream::Inherited, OurStream(0), OurStream(1)},
        {ChildStream::NullDevice, ChildStream::NullDevice, "/dev/null", "/dev/null"},
        {ChildStream::Inherited, ChildStream::Pipe, OurStream(0), ""},
        {ChildStream::NullDevice, ChildStream::Pipe, "/dev/null", ""},
    };
    for (const auto& c : cases) {
        auto known = FactsOfStart({.Program = Standin,
                                   .Arguments = {},
                                   .Method = StartMethod::Direct,
                                   .Input = c.input,
                                   .Output = c.output,
                                   .Detached = false});
        EXPECT_EQ(known["0"], c.expectedInput);
        if (c.expectedOutput.empty()) {
            EXPECT_TRUE(known["1"].starts_with("pipe:")) << known["1"];
            EXPECT_NE(known["1"], OurStream(1));
        } else {
            EXPECT_EQ(known["1"], c.expectedOutput);
        }
        EXPECT_EQ(known["2"], OurStream(2));
    }
}

TEST_F(SpawnedProcessTest, ADetachedProgramRunsInASessionOfItsOwn) {
    for (bool detached : {false, true}) {
        auto known = FactsOfStart({.Program = Standin,
                                   .Arguments = {},
                                   .Method = StartMethod::Direct,
                                   .Input = ChildStream::NullDevice,
                                   .Output = ChildStream::NullDevice,
                                   .Detached = detached});
        if (detached) {
            EXPECT_EQ(known["sid"], known["pid"]);
        } else {
            EXPECT_EQ(known["sid"], std::to_string(::getsid(0)));
        }
    }
}

TEST_F(SpawnedProcessTest, EveryRefusedStartReadsTheSameWhicheverWayItStarts) {
    const std::string missing = folder / "missing.exe";
    const std::string notExecutable = folder / "plain.exe";
    WriteAll(notExecutable, "x");
    const std::string notAProgram = folder / "text.exe";
    WriteAll(notAProgram, "just text, no interpreter line\n");
    fs::permissions(notAProgram, fs::perms::owner_all);
    const std::string withNul("a\0b", 3);

    struct Way {
        const char* name;
        SpawnOptions options;
    };
    const Way ways[] = {
        {"waited for, output piped",
         {.Program = {}, .Arguments = {}, .Method = StartMethod::Direct, .Input = ChildStream::Inherited,
          .Output = ChildStream::Pipe, .Detached = false}},
        {"detached",
         {.Program = {}, .Arguments = {}, .Method = StartMethod::Direct, .Input = ChildStream::NullDevice,
          .Output = ChildStream::NullDevice, .Detached = true}},
        {"through the shell",
         {.Program = {}, .Arguments = {}, .Method = StartMethod::Shell, .Input = ChildStream::NullDevice,
          .Output = ChildStream::NullDevice, .Detached = true}},
    };
    struct Case {
        std::string program;
        std::string reason;
    };
    const Case cases[] = {
        {missing, "No such file or directory"},
        {notExecutable, "Permission denied"},
        {folder.Path().string(), "Permission denied"},
        {notAProgram, "InvalidApplication"},
        {Standin + withNul, "Invalid argument"},
    };
    const int pipesBefore = PipesHeld();
    for (const auto& way : ways) {
        for (const auto& c : cases) {
            auto options = way.options;
            options.Program = c.program;
            try {
                SpawnedProcess::Spawn(options);
                ADD_FAILURE() << way.name << ": " << c.program << " started";
            } catch (const IoFailure& failure) {
                EXPECT_EQ(failure.Message(),
                          "ErrorStartingProcess, " + c.program + ", " + fs::current_path().string() + ", " + c.reason)
                    << way.name;
            }
        }
    }
    EXPECT_EQ(PipesHeld(), pipesBefore) << "a refused start left a pipe open";
    EXPECT_FALSE(fs::exists(facts));
}

TEST_F(SpawnedProcessTest, ChildrenLetGoOfAreDrainedToTheirEndAndReaped) {
    // Each writes far beyond a pipe's capacity, so each ends only if its pipe is still read.
    ScopedVariable text("QUILLMARK_STANDIN_OUTPUT", "0123456789abcdef");
    ScopedVariable times("QUILLMARK_STANDIN_REPEAT", "262144");
    std::vector<std::string> pipes;
    for (int i = 0; i < 3; ++i) {
        const auto end = folder.Path() / ("done-" + std::to_string(i));
        ScopedVariable doneFile("QUILLMARK_STANDIN_DONE_FILE", end.c_str());
        fs::remove(facts);
        {
            auto child = SpawnedProcess::Spawn({.Program = Standin,
                                                .Arguments = {},
                                                .Method = StartMethod::Direct,
                                                .Input = ChildStream::NullDevice,
                                                .Output = ChildStream::Pipe,
                                                .Detached = false});
            ASSERT_TRUE(WaitForFile(facts));
        }
        pipes.push_back(ReadFacts(facts)["1"]);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(WaitUntil([&] { return fs::exists(folder.Path() / ("done-" + std::to_string(i))); }))
            << "child " << i << " did not run to its end";
        EXPECT_TRUE(WaitUntil([&] { return DescriptorsTo(pipes[i]) == 0; })) << "child " << i << ": pipe stayed open";
    }
}
