#include "Platform/Process/ChildProcess.hpp"

#include "Platform/Failure.hpp"
#include "tests/childprocess/ChildRunFixture.hpp"

#include <boost/asio/detached.hpp>

#include <algorithm>

namespace {

using namespace Quillmark::Platform;
using namespace Quillmark::Tests;
using Process::ChildProcess;
namespace fs = std::filesystem;

using ChildProcessRunTest = ChildRunTest;

TEST_F(ChildProcessRunTest, OutputIsWholeUpToTheBoundAndPastItTheRunFailsOnceTheChildEnded) {
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
        const auto done = "done-" + std::to_string(c.bytes);
        Set("QUILLMARK_STANDIN_DONE_FILE", PathOf(done));
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
        EXPECT_TRUE(fs::exists(File(done))) << c.bytes << ": the child did not run to its end";
    }
}

TEST_F(ChildProcessRunTest, CancellationEndsTheWaitButNotTheChild) {
    const auto done = StartsBusy();
    std::stop_source source;
    EXPECT_THROW(RunChild(Standin, {}, source.get_token(), [&] { source.request_stop(); }), CancellationFailure);
    EXPECT_FALSE(fs::exists(done));
    // Its output is still read, so it runs to its end, and then nothing of it stays.
    EXPECT_TRUE(WaitUntil([&] { return fs::exists(done); })) << "the child did not run to its end";
    EXPECT_TRUE(WaitUntil([&] { return holdings_->Released(File("facts")); })) << "its output pipe stayed open";
}

TEST_F(ChildProcessRunTest, ARunDroppedWithItsLoopStillLetsTheChildEnd) {
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
    EXPECT_TRUE(WaitUntil([&] { return holdings_->Released(File("facts")); })) << "its output pipe stayed open";
}

TEST_F(ChildProcessRunTest, AnAlreadyCancelledTokenStartsNothing) {
    RecordArguments();
    std::stop_source source;
    source.request_stop();
    EXPECT_THROW(RunChild(Standin, {"ran"}, source.get_token()), CancellationFailure);
    EXPECT_FALSE(fs::exists(File("argv")));
}

}  // namespace
