#include "Platform/Process/DetachedProcess.hpp"

#include "Platform/Environment.hpp"
#include "Platform/Failure.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Quillmark::Platform::Process {

namespace {
// The kernel's bound on one argument (MAX_ARG_STRLEN), its terminating NUL included.
constexpr std::size_t KernelArgumentLimit = 131072;
// Room for the auxiliary vector and alignment that also come out of ARG_MAX.
constexpr std::size_t ArgumentSafetyMargin = 4096;

[[noreturn]] void ReportAndExit(int pipe, int error) {
    while (::write(pipe, &error, sizeof error) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

// Runs in the grandchild, after fork: async-signal-safe calls only.
[[noreturn]] void ExecInGrandchild(const char* program, char* const* argv, int errorPipe) {
    ::setsid();
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) ::sigaction(signal, &defaults, nullptr);
    // In native messaging the daemon's standard input and output are the browser's pipes: a
    // program that outlives the daemon must neither read its frames nor keep the pipe open.
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
        ::dup2(null, STDIN_FILENO);
        ::dup2(null, STDOUT_FILENO);
        if (null > STDOUT_FILENO) ::close(null);
    }
    // The daemon's sockets and files must not outlive it in the started program.
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    ::execv(program, argv);
    ReportAndExit(errorPipe, errno);
}

[[noreturn]] void Refuse(const std::string& program, int error) {
    throw IoFailure(PlatformText("ErrorStartingProcess",
                                 {program, Environment::GetCurrentDirectory(), std::strerror(error)}));
}
}  // namespace

void DetachedProcess::StartDetached(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> texts;
    texts.reserve(arguments.size() + 1);
    texts.push_back(program);
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);

    int errorPipe[2];
    if (::pipe2(errorPipe, O_CLOEXEC) != 0) Refuse(program, errno);

    // Double fork: the intermediate child ends at once and is reaped here, so the program is
    // adopted by init and never becomes our zombie.
    pid_t intermediate = ::fork();
    if (intermediate < 0) {
        int error = errno;
        ::close(errorPipe[0]);
        ::close(errorPipe[1]);
        Refuse(program, error);
    }
    if (intermediate == 0) {
        ::close(errorPipe[0]);
        pid_t grandchild = ::fork();
        if (grandchild < 0) ReportAndExit(errorPipe[1], errno);
        if (grandchild == 0) ExecInGrandchild(texts.front().c_str(), argv.data(), errorPipe[1]);
        ::_exit(0);
    }
    ::close(errorPipe[1]);
    int status = 0;
    while (::waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
    }
    // The pipe closes without a word once the program is running (close-on-exec); a failed
    // exec or fork writes its errno first.
    int error = 0;
    ssize_t got;
    while ((got = ::read(errorPipe[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(errorPipe[0]);
    if (got == static_cast<ssize_t>(sizeof error)) Refuse(program, error);
}

std::size_t DetachedProcess::MaxArgumentLength(std::string_view program) {
    long argMax = ::sysconf(_SC_ARG_MAX);
    std::size_t budget = argMax > 0 ? static_cast<std::size_t>(argMax) : KernelArgumentLimit;
    std::size_t used = ArgumentSafetyMargin + program.size() + 1 + 3 * sizeof(char*);
    for (char** entry = environ; *entry != nullptr; ++entry) used += std::strlen(*entry) + 1 + sizeof(char*);
    std::size_t total = budget > used ? budget - used : 0;
    return std::min(total, KernelArgumentLimit - 1);
}

}  // namespace Quillmark::Platform::Process
