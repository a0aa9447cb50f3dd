#include "Platform/Runtime/ProcessLifetime.hpp"

#include "Platform/Failure.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

namespace Quillmark::Platform::Runtime {

namespace {

std::atomic<UnhandledFailureHandler> handler_{nullptr};
std::atomic<void (*)()> preExitHook_{nullptr};
std::atomic<bool> ending_{false};
std::atomic<std::thread::id> endingThread_{};

void WriteToStderr(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(2, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void OnTerminate() {
    std::exception_ptr failure = std::current_exception();
    if (!failure) failure = std::make_exception_ptr(PlainFailure("std::terminate without an active exception"));
    RaiseUnhandledFailure(failure);
}

}  // namespace

void PrepareStandardHandles() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free descriptor, which is this one.
        int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
}

void SetUnhandledFailureHandler(UnhandledFailureHandler handler) {
    handler_.store(handler);
    std::set_terminate(&OnTerminate);
}

void RaiseUnhandledFailure(std::exception_ptr failure) {
    const auto self = std::this_thread::get_id();
    if (ending_.exchange(true)) {
        // The report itself failed beyond repair on this thread (std::terminate inside it):
        // waiting here would hang the process for good.
        if (endingThread_.load() == self) ExitNow(1);
        // Another thread is already ending the process.
        for (;;) ::pause();
    }
    endingThread_.store(self);
    try {
        if (auto handler = handler_.load()) {
            handler(nullptr, UnhandledFailureEventArgs{failure, true});
        } else {
            WriteToStderr("Unhandled failure: " + DescribeFailure(failure) + "\n");
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
    ::_exit(exitCode);
}

}  // namespace Quillmark::Platform::Runtime
