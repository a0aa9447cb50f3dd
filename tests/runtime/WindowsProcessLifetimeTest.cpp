#include "Platform/Runtime/ProcessLifetime.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Windows/Win32.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

using namespace Quillmark::Platform;
namespace Runtime = Quillmark::Platform::Runtime;

namespace {
void PrintingHandler(const void*, const Runtime::UnhandledFailureEventArgs& e) {
    std::fprintf(stderr, "handled: %s\n", MessageOf(e.ExceptionObject).c_str());
    std::fflush(stderr);
}

void Hook() {
    std::fprintf(stderr, "hook ran\n");
    std::fflush(stderr);
}
}  // namespace

TEST(WindowsProcessLifetimeDeathTest, FaultsAndEscapedFailuresReachTheHandlerAndExitWith1) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Runtime::SetUnhandledFailureHandler(&PrintingHandler);
            *static_cast<volatile int*>(nullptr) = 1;
        },
        ::testing::ExitedWithCode(1), "handled: The process raised the system exception 0xC0000005");
    EXPECT_EXIT(
        {
            Runtime::SetUnhandledFailureHandler(&PrintingHandler);
            std::thread([] { throw InvalidOperationFailure("from a thread"); }).join();
        },
        ::testing::ExitedWithCode(1), "handled: from a thread");
    EXPECT_EXIT(
        {
            Runtime::SetPreExitHook(&Hook);
            Runtime::ExitNow(0);
        },
        ::testing::ExitedWithCode(0), "hook ran");
}

// In a child of its own: the handles it takes away are the test program's.
TEST(WindowsProcessLifetimeDeathTest, MissingStandardHandlesBecomeTheNullDeviceInBinaryMode) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::SetStdHandle(STD_INPUT_HANDLE, nullptr);
            ::SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
            Runtime::PrepareStandardHandles();
            const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
            const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
            char byte = 0;
            DWORD read = 1;
            DWORD written = 0;
            const bool readsNothing = ::ReadFile(input, &byte, 1, &read, nullptr) && read == 0;
            const bool writes = ::WriteFile(output, "x", 1, &written, nullptr) && written == 1;
            // The C runtime's descriptors hold the same handles, without text translation.
            const bool sameHandle = reinterpret_cast<HANDLE>(::_get_osfhandle(0)) == input;
            const bool binary = ::_setmode(1, _O_BINARY) == _O_BINARY;
            std::fprintf(stderr, "input %d output %d descriptor %d binary %d\n", readsNothing, writes, sameHandle,
                         binary);
            std::exit(readsNothing && writes && sameHandle && binary ? 0 : 2);
        },
        ::testing::ExitedWithCode(0), "input 1 output 1 descriptor 1 binary 1");
}
