#include "Platform/Runtime/ProcessLifetime.hpp"

#include "Platform/Runtime/ProcessEnd.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace Quillmark::Platform::Runtime {

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

std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    if (argc <= 1 || argv == nullptr) return {};
    return std::vector<std::string>(argv + 1, argv + argc);
}

namespace ProcessEnd {

// A fatal signal ends the process the way the system ends it.
void InstallFaultNotification() {}

void WriteToStandardError(std::string_view text) noexcept {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(2, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void WaitForTheEnd() noexcept {
    for (;;) ::pause();
}

void ExitImmediately(int exitCode) noexcept { ::_exit(exitCode); }

}  // namespace ProcessEnd

}  // namespace Quillmark::Platform::Runtime
