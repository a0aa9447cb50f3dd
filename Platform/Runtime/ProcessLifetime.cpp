#include "Platform/Runtime/ProcessLifetime.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Runtime/ProcessEnd.hpp"

#include <atomic>
#include <string>
#include <thread>

namespace Quillmark::Platform::Runtime {

namespace {

std::atomic<UnhandledFailureHandler> handler_{nullptr};
std::atomic<void (*)()> preExitHook_{nullptr};
std::atomic<bool> ending_{false};
std::atomic<std::thread::id> endingThread_{};

void OnTerminate() {
    std::exception_ptr failure = std::current_exception();
    if (!failure) failure = std::make_exception_ptr(PlainFailure("std::terminate without an active exception"));
    RaiseUnhandledFailure(failure);
}

}  // namespace

void SetUnhandledFailureHandler(UnhandledFailureHandler handler) {
    handler_.store(handler);
    std::set_terminate(&OnTerminate);
    ProcessEnd::InstallFaultNotification();
}

void RaiseUnhandledFailure(std::exception_ptr failure) {
    const auto self = std::this_thread::get_id();
    if (ending_.exchange(true)) {
        // The report itself failed beyond repair on this thread (std::terminate inside it):
        // waiting here would hang the process for good.
        if (endingThread_.load() == self) ExitNow(1);
        // Another thread is already ending the process.
        ProcessEnd::WaitForTheEnd();
    }
    endingThread_.store(self);
    try {
        if (auto handler = handler_.load()) {
            handler(nullptr, UnhandledFailureEventArgs{failure, true});
        } else {
            ProcessEnd::WriteToStandardError("Unhandled failure: " + DescribeFailure(failure) + "\n");
        }
    } catch (...) {
        // The report of a failure failed as well: the process still ends with code 1.
    }
    ExitNow(1);
}

void SetPreExitHook(void (*hook)()) { preExitHook_.store(hook); }

void ExitNow(int exitCode) {
    if (auto hook = preExitHook_.exchange(nullptr)) {
        try {
            hook();
        } catch (...) {
        }
    }
    ProcessEnd::ExitImmediately(exitCode);
}

}  // namespace Quillmark::Platform::Runtime
