#pragma once
// The one way the daemon starts a program, whether it waits for the program or lets it run on.

#include <memory>
#include <string>
#include <vector>

namespace Quillmark::Platform::Process {

// What the started program gets as its standard input or output. Its standard error is always
// the daemon's own, and no other handle of the daemon's reaches it.
enum class ChildStream {
    Inherited,   // the daemon's own handle
    NullDevice,  // the null device
    Pipe,        // standard output only: a pipe whose reading end the SpawnedProcess keeps
};

enum class StartMethod {
    // The file itself is started, each argument reaching it whole; no shell in between.
    Direct,
    // Opened as the desktop shell would open it: no arguments, no error dialog, nothing of the
    // daemon's passed on, no handle kept. Where there is no desktop shell the file is started
    // directly.
    Shell,
};

struct SpawnOptions {
    std::string Program;
    std::vector<std::string> Arguments;  // after the program path
    StartMethod Method = StartMethod::Direct;
    ChildStream Input = ChildStream::Inherited;
    ChildStream Output = ChildStream::Inherited;
    // Runs on by itself: outside the daemon's session, and nobody waits for it.
    bool Detached = false;
};

// A started program until it has been waited for. Move-only; environment and working
// directory are the daemon's.
class SpawnedProcess {
public:
    // Each system's record of the child, defined by its backend.
    struct Native;

    // Starts the program. Every refused start, whatever refused it, is an IoFailure
    // "ErrorStartingProcess, <program>, <current dir>, <why>": <why> is the system's description
    // of the error, "InvalidApplication" for a file that is not a program for this machine, and
    // "Unknown error (0x<hex>)" where the system has no text. Nothing runs then, and nothing of
    // the attempt stays open. Options that contradict each other (a pipe for input, for a
    // detached program or through the shell; the shell with any handle passed on or without
    // Detached) are an InvalidOperationFailure.
    static SpawnedProcess Spawn(const SpawnOptions& options);

    SpawnedProcess(SpawnedProcess&& other) noexcept;
    SpawnedProcess& operator=(SpawnedProcess&&) = delete;
    // A child not yet waited for is handed to the blocking pool: its output is read and dropped
    // to its end, so it never stalls on a full pipe, and it is waited for once it ends (on
    // Windows, where ended children need no waiting, only a piped one is handed over).
    ~SpawnedProcess();

    // False after a start through the shell, which leaves no handle, and once moved from.
    bool HasProcess() const noexcept { return native_ != nullptr; }
    // The record, for the backend's own waiting and reading.
    Native& Get() noexcept { return *native_; }

private:
    explicit SpawnedProcess(std::unique_ptr<Native> native) noexcept;

    std::unique_ptr<Native> native_;
};

}  // namespace Quillmark::Platform::Process
