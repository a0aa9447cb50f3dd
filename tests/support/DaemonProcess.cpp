#include "tests/support/DaemonProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <utility>

extern char** environ;

namespace Quillmark::TestSupport {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void ThrowErrno(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::vector<std::string> ChildEnvironment(const AppSandbox& box, const DaemonProcess::Env& overrides) {
    DaemonProcess::Env merged;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view text(*entry);
        auto eq = text.find('=');
        if (eq == std::string_view::npos) continue;
        merged[std::string(text.substr(0, eq))] = std::string(text.substr(eq + 1));
    }
    if (box.Windows()) {
        // The prefix's registry reads TEMP, TMP and the roaming AppData folder from these.
        merged["QM_TEMP"] = box.ForDaemon(box.TmpDir());
        merged["QM_APPDATA"] = box.ForDaemon(box.ConfigHome());
        // The prefix that the fixture wine.prefix.start made, whose server is kept up; Wine
        // finds that server below the TMPDIR it was started with.
        const std::filesystem::path prefix = QUILLMARK_TEST_WINE_PREFIX;
        merged["WINEPREFIX"] = prefix.string();
        merged["TMPDIR"] = prefix.parent_path().string();
        merged.try_emplace("WINEDEBUG", "-all");
    } else {
        merged["TMPDIR"] = box.TmpDir().string();
        merged["XDG_CONFIG_HOME"] = box.ConfigHome().string();
    }
    merged.erase("QUILLMARK_VERBOSE_LOGGING");
    for (const auto& [name, value] : overrides) merged[name] = value;
    std::vector<std::string> result;
    for (const auto& [name, value] : merged)
        if (value) result.push_back(name + "=" + *value);
    return result;
}

}  // namespace

DaemonProcess::DaemonProcess(const AppSandbox& box, std::vector<std::string> args, Env env, SpawnOptions options) {
    // A test writing to a daemon that has gone must see a failed write, not die.
    ::signal(SIGPIPE, SIG_IGN);

    int inPipe[2] = {-1, -1};
    int outPipe[2] = {-1, -1};
    if (options.stdinMode == SpawnOptions::Stream::Pipe && ::pipe2(inPipe, O_CLOEXEC) != 0) ThrowErrno("pipe2");
    if (options.stdoutMode == SpawnOptions::Stream::Pipe && ::pipe2(outPipe, O_CLOEXEC) != 0) ThrowErrno("pipe2");

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    switch (options.stdinMode) {
    case SpawnOptions::Stream::Pipe: posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0); break;
    case SpawnOptions::Stream::Closed: posix_spawn_file_actions_addclose(&actions, 0); break;
    case SpawnOptions::Stream::File:
        posix_spawn_file_actions_addopen(&actions, 0, options.stdinFile.c_str(), O_RDONLY, 0);
        break;
    }
    switch (options.stdoutMode) {
    case SpawnOptions::Stream::Pipe: posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1); break;
    case SpawnOptions::Stream::Closed: posix_spawn_file_actions_addclose(&actions, 1); break;
    case SpawnOptions::Stream::File: posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0); break;
    }
    const std::string stderrPath = box.StderrPath().string();
    posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const std::string workingDirectory =
        (options.workingDirectory.empty() ? box.Root() : options.workingDirectory).string();
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());

    // The Windows daemon runs under the Wine loader; a program the caller names runs as it is.
    const bool wine = options.executable.empty() && box.Windows();
    if (wine) args.insert(args.begin(), box.DaemonPath().string());
    const std::string executable =
        (!options.executable.empty() ? options.executable : wine ? AppSandbox::WineLoader() : box.DaemonPath()).string();
    std::vector<char*> argv{const_cast<char*>(executable.c_str())};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    auto environment = ChildEnvironment(box, env);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (inPipe[0] >= 0) ::close(inPipe[0]);
    if (outPipe[1] >= 0) ::close(outPipe[1]);
    if (rc != 0) {
        if (inPipe[1] >= 0) ::close(inPipe[1]);
        if (outPipe[0] >= 0) ::close(outPipe[0]);
        throw std::system_error(rc, std::generic_category(), "posix_spawn " + executable);
    }
    pid_ = pid;
    stdin_ = inPipe[1];
    stdout_ = outPipe[0];
    stdoutEnded_ = stdout_ < 0;
}

DaemonProcess::~DaemonProcess() {
    CloseStdin();
    if (Running()) Kill();
    CloseStdout();
}

bool DaemonProcess::WriteRaw(std::string_view bytes) {
    while (!bytes.empty()) {
        if (stdin_ < 0) return false;
        ssize_t n = ::write(stdin_, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool DaemonProcess::WriteFrame(std::string_view payload) {
    // The length and the payload in one call, without copying the payload behind the length.
    const std::string length = LengthPrefix(static_cast<std::int32_t>(payload.size()));
    iovec parts[2] = {{const_cast<char*>(length.data()), length.size()},
                      {const_cast<char*>(payload.data()), payload.size()}};
    std::size_t first = 0;
    while (first < 2) {
        if (stdin_ < 0) return false;
        ssize_t n = ::writev(stdin_, parts + first, static_cast<int>(2 - first));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        auto done = static_cast<std::size_t>(n);
        while (first < 2 && done >= parts[first].iov_len) done -= parts[first++].iov_len;
        if (first < 2) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + done;
            parts[first].iov_len -= done;
        }
    }
    return true;
}

void DaemonProcess::CloseStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
}

void DaemonProcess::CloseStdout() {
    if (stdout_ >= 0) ::close(stdout_);
    stdout_ = -1;
    stdoutEnded_ = true;
}

std::size_t DaemonProcess::ReadSome(char* into, std::size_t size, Clock::time_point deadline) {
    if (stdoutEnded_) return 0;
    for (;;) {
        pollfd entry{stdout_, POLLIN, 0};
        int ready = ::poll(&entry, 1, RemainingMs(deadline));
        if (ready < 0) {
            if (errno == EINTR) continue;
            ThrowErrno("poll");
        }
        if (ready == 0) return 0;
        ssize_t n = ::read(stdout_, into, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowErrno("read");
        }
        if (n == 0) stdoutEnded_ = true;
        return static_cast<std::size_t>(n);
    }
}

bool DaemonProcess::Fill(Clock::time_point deadline) {
    char chunk[65536];
    const std::size_t n = ReadSome(chunk, sizeof chunk, deadline);
    buffer_.append(chunk, n);
    return n > 0;
}

std::optional<std::string> DaemonProcess::ReadFrame(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (buffer_.size() < 4) {
        if (!Fill(deadline)) return std::nullopt;
    }
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length |= std::uint32_t(static_cast<unsigned char>(buffer_[i])) << (8 * i);
    if (buffer_.size() - 4 >= length) {
        std::string payload = buffer_.substr(4, length);
        buffer_.erase(0, 4 + static_cast<std::size_t>(length));
        return payload;
    }
    // The rest of a large payload is read straight into it.
    std::string payload(length, '\0');
    std::size_t have = buffer_.size() - 4;
    std::memcpy(payload.data(), buffer_.data() + 4, have);
    while (have < length) {
        const std::size_t n = ReadSome(payload.data() + have, length - have, deadline);
        if (n == 0) {
            // Kept for a later call, as if read piece by piece.
            buffer_.append(payload, buffer_.size() - 4, have - (buffer_.size() - 4));
            return std::nullopt;
        }
        have += n;
    }
    buffer_.clear();
    return payload;
}

std::optional<std::string> DaemonProcess::ReadToEnd(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Fill(deadline)) {
    }
    if (!stdoutEnded_) return std::nullopt;
    return std::exchange(buffer_, {});
}

std::optional<int> DaemonProcess::WaitExit(std::chrono::milliseconds timeout) {
    if (exitCode_) return exitCode_;
    const auto deadline = Clock::now() + timeout;
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (done < 0 && errno != EINTR) ThrowErrno("waitpid");
        if (Clock::now() >= deadline) break;
        if (pidfd >= 0) {
            pollfd entry{pidfd, POLLIN, 0};
            ::poll(&entry, 1, RemainingMs(deadline));
        } else {
            ::usleep(1000);
        }
    }
    if (pidfd >= 0) ::close(pidfd);
    return exitCode_;
}

bool DaemonProcess::Running() { return !exitCode_ && !WaitExit(std::chrono::milliseconds(0)); }

void DaemonProcess::Kill() {
    if (exitCode_) return;
    ::kill(pid_, SIGKILL);
    WaitExit(std::chrono::seconds(30));
}

}  // namespace Quillmark::TestSupport
