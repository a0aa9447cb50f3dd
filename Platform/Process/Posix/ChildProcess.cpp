#include "Platform/Process/ChildProcess.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Path.hpp"
#include "Platform/Runtime/Cancellation.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace Quillmark::Platform::Process {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

std::string DescribeStartError(int error) {
    if (error == ENOEXEC) return "InvalidApplication";
    std::string text = std::generic_category().message(error);
    if (text.empty() || text.starts_with("Unknown error")) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "Unknown error (0x%x)", static_cast<unsigned>(error));
        text = buffer;
    }
    return text;
}

std::string CurrentDirectory() {
    std::error_code ec;
    const auto path = std::filesystem::current_path(ec);
    return ec ? std::string() : Path::FromFsPath(path);
}

[[noreturn]] void ThrowStartFailure(const std::string& programPath, int error) {
    throw IoFailure(PlatformText("ErrorStartingProcess", {programPath, CurrentDirectory(), DescribeStartError(error)}));
}

// A child nobody waits for any more: drain its output so it never stalls on a full pipe, then
// reap it so it does not stay a zombie.
void ReapInBackground(pid_t pid, int pipeFd) noexcept {
    try {
        std::thread([pid, pipeFd] {
            if (pipeFd >= 0) {
                ::fcntl(pipeFd, F_SETFL, ::fcntl(pipeFd, F_GETFL) & ~O_NONBLOCK);
                char buffer[65536];
                for (;;) {
                    const ssize_t n = ::read(pipeFd, buffer, sizeof buffer);
                    if (n > 0 || (n < 0 && errno == EINTR)) continue;
                    break;
                }
                ::close(pipeFd);
            }
            int status = 0;
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // No thread to be had: the child is reaped by whoever inherits it when we exit.
        if (pipeFd >= 0) ::close(pipeFd);
    }
}

struct Child {
    Child(const asio::any_io_executor& executor, pid_t processId, int pipeFd)
        : pid(processId), pipe(executor, pipeFd), timer(executor) {}

    ~Child() {
        if (reaped) return;
        boost::system::error_code ignored;
        const int fd = pipe.is_open() ? pipe.release() : -1;
        pidfd.reset();
        ReapInBackground(pid, fd);
    }

    pid_t pid;
    bool reaped = false;
    asio::posix::stream_descriptor pipe;
    std::optional<asio::posix::stream_descriptor> pidfd;
    asio::steady_timer timer;
};

std::int32_t ExitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return status;
}

// Spawn attributes that give the child default signal handling and an empty signal mask,
// whatever the daemon itself ignores or blocks.
struct SpawnAttributes {
    SpawnAttributes() {
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
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attr); }
    posix_spawnattr_t attr;
};

struct FileActions {
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    posix_spawn_file_actions_t actions;
};

}  // namespace

Task<ChildProcessResult> ChildProcess::RunAsync(std::string programPath, std::vector<std::string> arguments,
                                                CancellationToken token) {
    if (token.stop_requested()) throw CancellationFailure();
    // The system would silently cut a text at its first NUL and run something else.
    if (programPath.find('\0') != std::string::npos) ThrowStartFailure(programPath, EINVAL);
    for (const auto& argument : arguments) {
        if (argument.find('\0') != std::string::npos) ThrowStartFailure(programPath, EINVAL);
    }

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(programPath.data());
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) ThrowStartFailure(programPath, errno);
    pid_t pid = -1;
    int spawnError = 0;
    {
        FileActions files;
        SpawnAttributes attributes;
        spawnError = posix_spawn_file_actions_adddup2(&files.actions, fds[1], STDOUT_FILENO);
        // Only the three standard streams pass: the daemon's sockets and files (not all of them
        // close-on-exec) must not stay held by a GUI that may outlive it.
        if (spawnError == 0) spawnError = posix_spawn_file_actions_addclosefrom_np(&files.actions, STDERR_FILENO + 1);
        if (spawnError == 0) {
            spawnError = ::posix_spawn(&pid, programPath.c_str(), &files.actions, &attributes.attr, argv.data(), environ);
        }
    }
    ::close(fds[1]);
    if (spawnError != 0) {
        ::close(fds[0]);
        ThrowStartFailure(programPath, spawnError);
    }

    const auto executor = co_await asio::this_coro::executor;
    auto child = std::make_unique<Child>(executor, pid, fds[0]);
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) child->pidfd.emplace(executor, pidfd);

    Runtime::Cancellation stop(executor, token);

    ChildProcessResult result;
    auto& output = result.Output;
    constexpr std::size_t ReadSize = 65536;
    for (;;) {
        const std::size_t had = output.size();
        output.resize(had + ReadSize);
        auto [ec, n] = co_await child->pipe.async_read_some(asio::buffer(output.data() + had, ReadSize),
                                                            stop.Bind(asio::as_tuple(asio::use_awaitable)));
        output.resize(had + n);
        stop.ThrowIfStopRequested();
        if (ec == asio::error::eof) break;
        if (ec == asio::error::operation_aborted || ec == asio::error::interrupted) continue;
        if (ec) throw IoFailure(ec.message());
    }
    child->pipe.close();

    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno == EINTR) continue;
        if (done < 0) {
            child->reaped = true;  // someone else reaped it; nothing left to wait for
            throw IoFailure(std::generic_category().message(errno));
        }
        if (child->pidfd) {
            co_await child->pidfd->async_wait(asio::posix::stream_descriptor::wait_read,
                                              stop.Bind(asio::as_tuple(asio::use_awaitable)));
        } else {
            child->timer.expires_after(5ms);
            co_await child->timer.async_wait(stop.Bind(asio::as_tuple(asio::use_awaitable)));
        }
        stop.ThrowIfStopRequested();
    }
    child->reaped = true;
    result.ExitCode = ExitCodeOf(status);
    co_return result;
}

}  // namespace Quillmark::Platform::Process
