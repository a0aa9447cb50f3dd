#include "Platform/Process/SpawnedProcess.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Process/ChildReaper.hpp"
#include "Platform/Process/Posix/SpawnedProcessNative.hpp"
#include "Platform/Process/SpawnRules.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace Quillmark::Platform::Process {

namespace {

constexpr std::size_t ReadSize = 65536;

std::string DescribeStartError(int error) {
    if (error == ENOEXEC) return "InvalidApplication";
    std::string text = std::strerror(error);
    if (text.empty() || text.starts_with("Unknown error")) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "Unknown error (0x%x)", static_cast<unsigned>(error));
        text = buffer;
    }
    return text;
}

[[noreturn]] void ThrowStartFailure(const std::string& program, int error) {
    Process::ThrowStartFailure(program, DescribeStartError(error));
}

// The child starts with default signal handling and an empty signal mask, whatever the daemon
// itself ignores or blocks; a detached one in a session of its own.
struct SpawnAttributes {
    explicit SpawnAttributes(bool ownSession) {
        posix_spawnattr_init(&attr);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int signal = 1; signal < NSIG; ++signal) {
            if (signal != SIGKILL && signal != SIGSTOP) sigaddset(&defaults, signal);
        }
        posix_spawnattr_setsigdefault(&attr, &defaults);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attr, &none);
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        if (ownSession) flags |= POSIX_SPAWN_SETSID;
        posix_spawnattr_setflags(&attr, flags);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    posix_spawnattr_t attr;
};

struct FileActions {
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    // The first failure of any step, kept for the start's refusal.
    void Add(int result) {
        if (error == 0) error = result;
    }
    posix_spawn_file_actions_t actions;
    int error = 0;
};

}  // namespace

SpawnedProcess::SpawnedProcess(std::unique_ptr<Native> native) noexcept : native_(std::move(native)) {}

SpawnedProcess::SpawnedProcess(SpawnedProcess&& other) noexcept = default;

SpawnedProcess::~SpawnedProcess() {
    if (native_ && !native_->Reaped) ChildReaper::Adopt(std::move(native_));
}

SpawnedProcess SpawnedProcess::Spawn(const SpawnOptions& options) {
    ValidateSpawnOptions(options);
    const std::string& program = options.Program;
    // The system would cut a text at its first NUL and start something else.
    if (program.find('\0') != std::string::npos) ThrowStartFailure(program, EINVAL);
    std::vector<char*> argv;
    argv.reserve(options.Arguments.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : options.Arguments) {
        if (argument.find('\0') != std::string::npos) ThrowStartFailure(program, EINVAL);
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    FileActions files;
    FileDescriptor outputRead, outputWrite;
    if (options.Input == ChildStream::NullDevice) {
        files.Add(posix_spawn_file_actions_addopen(&files.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0));
    }
    if (options.Output == ChildStream::NullDevice) {
        files.Add(posix_spawn_file_actions_addopen(&files.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0));
    } else if (options.Output == ChildStream::Pipe) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) ThrowStartFailure(program, errno);
        outputRead = FileDescriptor(fds[0]);
        outputWrite = FileDescriptor(fds[1]);
        // Only our end: the child's standard output stays an ordinary blocking one.
        if (::fcntl(outputRead.Get(), F_SETFL, O_NONBLOCK) != 0) ThrowStartFailure(program, errno);
        files.Add(posix_spawn_file_actions_adddup2(&files.actions, outputWrite.Get(), STDOUT_FILENO));
    }
    // Only the three standard streams pass: the daemon's sockets and files (not all of them
    // close-on-exec) must not stay held by a program that may outlive it.
    files.Add(posix_spawn_file_actions_addclosefrom_np(&files.actions, STDERR_FILENO + 1));
    if (files.error != 0) ThrowStartFailure(program, files.error);
    SpawnAttributes attributes(options.Detached);

    // Made before the child exists: from its start on, nothing may fail before it has a record.
    auto native = std::make_unique<Native>();
    pid_t pid = -1;
    if (const int error = ::posix_spawn(&pid, program.c_str(), &files.actions, &attributes.attr, argv.data(), environ)) {
        ThrowStartFailure(program, error);
    }
    native->Pid = pid;
    native->Output = std::move(outputRead);
    native->ExitWatch = FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    return SpawnedProcess(std::move(native));
}

OutputState SpawnedProcess::Native::ReadOutput(OutputCapture& into, std::size_t budget) {
    while (budget > 0) {
        const auto room = into.Prepare(std::min(budget, ReadSize));
        const ssize_t n = ::read(Output.Get(), room.data(), room.size());
        if (n > 0) {
            into.Commit(static_cast<std::size_t>(n));
            budget -= static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) return OutputState::Ended;
        if (errno == EINTR) continue;
        if (errno == EAGAIN) return OutputState::Empty;
        throw IoFailure(std::strerror(errno));
    }
    return OutputState::Pending;
}

std::size_t SpawnedProcess::Native::PendingOutput() const noexcept {
    int pending = 0;
    if (::ioctl(Output.Get(), FIONREAD, &pending) != 0 || pending < 0) return 0;
    return static_cast<std::size_t>(pending);
}

std::optional<int> SpawnedProcess::Native::TryReap() {
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(Pid, &status, WNOHANG);
        if (done == Pid) {
            Reaped = true;
            return status;
        }
        if (done == 0) return std::nullopt;
        if (errno == EINTR) continue;
        // Someone else waited for it: nothing is left to wait for.
        Reaped = true;
        throw IoFailure(std::strerror(errno));
    }
}

}  // namespace Quillmark::Platform::Process
