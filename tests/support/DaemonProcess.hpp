#pragma once
// The built daemon as a child process spoken to over pipes, with bounded waits everywhere.
//
//   AppSandbox box;
//   DaemonProcess daemon(box, {"chrome-extension://abc/"});
//   daemon.WriteFrame(R"({"action":0})");
//   EXPECT_EQ(daemon.ReadFrame(), R"({"data":"Pong","action":0,"errorCode":0})");
//   daemon.CloseStdin();
//   EXPECT_EQ(daemon.WaitExit(), 0);
//
// The child gets the test's environment with TMPDIR and XDG_CONFIG_HOME (under Wine: QM_TEMP
// and QM_APPDATA, in the daemon's path form) pointed into the sandbox and
// QUILLMARK_VERBOSE_LOGGING removed; `env` adds or overrides variables (an empty
// optional removes one). Its standard error goes to box.StderrPath(). The destructor kills a
// child that is still running. Nothing here throws on a timeout: a wait that runs out answers
// nothing, so the test fails instead of hanging.

#include "tests/support/AppSandbox.hpp"
#include "tests/support/Frames.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::TestSupport {

struct SpawnOptions {
    enum class Stream { Pipe, Closed, File };
    // Pipe: the test writes to it. Closed: the child starts without file descriptor 0.
    // File: the child reads the file named by stdinFile.
    Stream stdinMode = Stream::Pipe;
    std::filesystem::path stdinFile;
    // Pipe: the test reads it. Closed: the child starts without file descriptor 1. File: /dev/null.
    Stream stdoutMode = Stream::Pipe;
    // Defaults to the sandbox's app directory.
    std::filesystem::path executable;
    std::filesystem::path workingDirectory;
};

class DaemonProcess {
public:
    using Env = std::map<std::string, std::optional<std::string>>;
    // Generous: Wine's first start of a program in a fresh prefix under a full run takes seconds.
    static constexpr std::chrono::milliseconds DefaultWait{30000};

    DaemonProcess(const AppSandbox& box, std::vector<std::string> args, Env env = {},
                  SpawnOptions options = {});
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    int Pid() const noexcept { return pid_; }

    // Writes all bytes to the child's stdin; false when the pipe is closed or broken.
    bool WriteRaw(std::string_view bytes);
    bool WriteFrame(std::string_view payload);
    void CloseStdin();

    // The next whole reply frame's payload; nothing when stdout ends or the wait runs out first.
    std::optional<std::string> ReadFrame(std::chrono::milliseconds timeout = DefaultWait);
    // Everything the child still writes until it closes stdout; nothing when the wait runs out.
    std::optional<std::string> ReadToEnd(std::chrono::milliseconds timeout = DefaultWait);
    // Closes the test's end of the child's stdout, as a reader that goes away would.
    void CloseStdout();

    // The exit code (128 + n for a death by signal n; under Wine, the low byte of the Windows
    // exit code); nothing when the wait runs out.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout = DefaultWait);
    // True while the child has not ended.
    bool Running();
    void Kill();

private:
    // Up to size bytes of stdout; 0 at end of stream or at the deadline.
    std::size_t ReadSome(char* into, std::size_t size, std::chrono::steady_clock::time_point deadline);
    // Reads what is available into buffer_ until the deadline; false at end of stream or timeout.
    bool Fill(std::chrono::steady_clock::time_point deadline);

    int pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    bool stdoutEnded_ = false;
    std::string buffer_;
    std::optional<int> exitCode_;
};

}  // namespace Quillmark::TestSupport
