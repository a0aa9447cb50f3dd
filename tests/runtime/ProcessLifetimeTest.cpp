#include "Platform/Runtime/ProcessLifetime.hpp"

#include "Platform/Failure.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <unistd.h>

using namespace Quillmark::Platform;
namespace Runtime = Quillmark::Platform::Runtime;

namespace {

void PrintingHandler(const void*, const Runtime::UnhandledFailureEventArgs& e) {
    std::fprintf(stderr, "handled: %s\n", MessageOf(e.ExceptionObject).c_str());
    std::fflush(stderr);
}

void FailingHandler(const void*, const Runtime::UnhandledFailureEventArgs&) { throw IoFailure("no crash handler"); }

// A report that breaks down beyond repair: std::terminate on the thread that is ending the process.
void TerminatingHandler(const void*, const Runtime::UnhandledFailureEventArgs&) { std::terminate(); }

void Hook() {
    std::fprintf(stderr, "hook ran\n");
    std::fflush(stderr);
}

}  // namespace

TEST(ProcessLifetimeDeathTest, FailuresNoCodeHandledReachTheHandlerAndExitWith1) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Runtime::SetUnhandledFailureHandler(&PrintingHandler);
            std::thread([] { throw InvalidOperationFailure("from a thread"); }).join();
        },
        ::testing::ExitedWithCode(1), "handled: from a thread");
    EXPECT_EXIT(
        {
            Runtime::SetUnhandledFailureHandler(&PrintingHandler);
            Runtime::RaiseUnhandledFailure(std::make_exception_ptr(OverflowFailure()));
        },
        ::testing::ExitedWithCode(1), "handled: Arg_OverflowException");
    EXPECT_EXIT(
        {
            Runtime::SetUnhandledFailureHandler(&PrintingHandler);
            std::terminate();
        },
        ::testing::ExitedWithCode(1), "handled: std::terminate without an active exception");
}

TEST(ProcessLifetimeDeathTest, AFailingHandlerStillEndsWith1AfterThePreExitHook) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Runtime::SetPreExitHook(&Hook);
            Runtime::SetUnhandledFailureHandler(&FailingHandler);
            Runtime::RaiseUnhandledFailure(std::make_exception_ptr(PlainFailure("x")));
        },
        ::testing::ExitedWithCode(1), "hook ran");
    EXPECT_EXIT(
        {
            // A hang would otherwise keep the test waiting for good.
            ::alarm(30);
            Runtime::SetPreExitHook(&Hook);
            Runtime::SetUnhandledFailureHandler(&TerminatingHandler);
            Runtime::RaiseUnhandledFailure(std::make_exception_ptr(PlainFailure("x")));
        },
        ::testing::ExitedWithCode(1), "hook ran");
    EXPECT_EXIT(
        {
            Runtime::SetPreExitHook(&Hook);
            Runtime::ExitNow(0);
        },
        ::testing::ExitedWithCode(0), "hook ran");
}

TEST(ProcessLifetimeDeathTest, MissingStandardHandlesGetTheNullDevice) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::close(0);
            Runtime::PrepareStandardHandles();
            char byte;
            // Descriptor 0 is open again, at the end of an empty input.
            std::_Exit(::read(0, &byte, 1) == 0 ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "");
}
