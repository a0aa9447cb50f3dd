#include "Platform/Process/SpawnedProcess.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Process/ChildReaper.hpp"
#include "Platform/Process/SpawnRules.hpp"
#include "Platform/Process/Windows/CommandLine.hpp"
#include "Platform/Process/Windows/SpawnedProcessNative.hpp"
#include "Platform/Windows/Security.hpp"

#include <objbase.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <utility>

namespace Quillmark::Platform::Process {

namespace Win = Platform::Windows;
using Win::UniqueHandle;

namespace {

[[noreturn]] void ThrowStartFailure(const std::string& program, DWORD error) {
    const bool invalid = error == ERROR_BAD_EXE_FORMAT || error == ERROR_EXE_MACHINE_TYPE_MISMATCH;
    Process::ThrowStartFailure(program, invalid ? "InvalidApplication" : Win::DescribeError(error));
}

UniqueHandle OpenNullDevice() {
    return UniqueHandle(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

struct Pipe {
    UniqueHandle Read;   // ours, overlapped
    UniqueHandle Write;  // the child's, synchronous as programs expect their standard output
};

// A pipe of a name no one can have made before us, open to the current user alone. Anonymous
// pipes cannot be read overlapped, and the reads must wait without holding a thread.
DWORD MakeOutputPipe(Pipe& pipe) {
    static std::atomic<unsigned> counter = 0;
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    wchar_t name[128];
    std::swprintf(name, std::size(name), L"\\\\.\\pipe\\quillmark-output-%lx-%x-%llx", ::GetCurrentProcessId(),
                  counter++, static_cast<unsigned long long>(now.QuadPart));
    pipe.Read = UniqueHandle(::CreateNamedPipeW(
        name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 65536, 0,
        &Win::PrivateSecurity()));
    if (!pipe.Read) return ::GetLastError();
    pipe.Write = UniqueHandle(
        ::CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!pipe.Write) return ::GetLastError();
    return ERROR_SUCCESS;
}

// A list of attributes for the start, in memory of its own.
class AttributeList {
public:
    explicit AttributeList(DWORD count) {
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, count, 0, &size);
        memory_.resize(size);
        if (::InitializeProcThreadAttributeList(Get(), count, 0, &size)) {
            initialized_ = true;
        } else {
            error_ = ::GetLastError();
        }
    }
    ~AttributeList() {
        if (initialized_) ::DeleteProcThreadAttributeList(Get());
    }
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;

    LPPROC_THREAD_ATTRIBUTE_LIST Get() noexcept { return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(memory_.data()); }
    DWORD Error() const noexcept { return error_; }

private:
    std::vector<std::byte> memory_;
    bool initialized_ = false;
    DWORD error_ = ERROR_SUCCESS;
};

// An inheritable duplicate, which the handle list requires; the original stays as it was.
UniqueHandle InheritableCopy(HANDLE handle) {
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return {};
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return {};
    }
    return UniqueHandle(copy);
}

// Starts the program (no search, no shell) with exactly the given standard handles and no other
// handle of ours; environment and working directory are inherited. ERROR_SUCCESS, or the
// system's error with nothing started.
DWORD TryStartProcess(const std::wstring& application, std::wstring commandLine, HANDLE input, HANDLE output,
                      DWORD creationFlags, PROCESS_INFORMATION& started) {
    UniqueHandle copies[] = {InheritableCopy(input), InheritableCopy(output),
                             InheritableCopy(::GetStdHandle(STD_ERROR_HANDLE))};
    // Only these reach the program: a browser's pipes or our sockets must not live on in it.
    HANDLE inherited[3];
    DWORD count = 0;
    for (const auto& copy : copies) {
        if (copy) inherited[count++] = copy.Get();
    }
    AttributeList attributes(1);
    if (attributes.Error() != ERROR_SUCCESS) return attributes.Error();
    if (count > 0 && !::UpdateProcThreadAttribute(attributes.Get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                  count * sizeof(HANDLE), nullptr, nullptr)) {
        return ::GetLastError();
    }
    // No window option: a program with a window opens it as it chooses.
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = copies[0].Get();
    startup.StartupInfo.hStdOutput = copies[1].Get();
    startup.StartupInfo.hStdError = copies[2].Get();
    startup.lpAttributeList = attributes.Get();
    if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, count > 0 ? TRUE : FALSE,
                          creationFlags | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup.StartupInfo,
                          &started)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

void OpenThroughShell(const std::string& path) {
    // The shell may hand the start to COM objects of its extensions.
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const std::wstring file = Win::Widen(path);
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof execute;
    // No error dialog; the start is done when the call returns, not on a thread of the shell's.
    execute.fMask = SEE_MASK_FLAG_NO_UI | SEE_MASK_NOASYNC;
    execute.lpFile = file.c_str();
    execute.nShow = SW_SHOWNORMAL;
    const BOOL started = ::ShellExecuteExW(&execute);
    const DWORD error = ::GetLastError();
    if (SUCCEEDED(com)) ::CoUninitialize();
    if (!started) ThrowStartFailure(path, error);
}

bool HasNul(const std::string& text) { return text.find('\0') != std::string::npos; }

}  // namespace

SpawnedProcess::SpawnedProcess(std::unique_ptr<Native> native) noexcept : native_(std::move(native)) {}

SpawnedProcess::SpawnedProcess(SpawnedProcess&& other) noexcept = default;

SpawnedProcess::~SpawnedProcess() {
    // Without a pipe nothing is owed to a child on Windows: its handle simply goes.
    if (native_ && !native_->Reaped && native_->Output) ChildReaper::Adopt(std::move(native_));
}

SpawnedProcess SpawnedProcess::Spawn(const SpawnOptions& options) {
    ValidateSpawnOptions(options);
    const std::string& program = options.Program;
    // The system would cut a text at its first NUL and start something else.
    if (HasNul(program) || std::any_of(options.Arguments.begin(), options.Arguments.end(), HasNul)) {
        ThrowStartFailure(program, ERROR_INVALID_PARAMETER);
    }
    if (options.Method == StartMethod::Shell) {
        OpenThroughShell(program);
        return SpawnedProcess(nullptr);
    }

    UniqueHandle null;
    if (options.Input == ChildStream::NullDevice || options.Output == ChildStream::NullDevice) {
        null = OpenNullDevice();
        if (!null) ThrowStartFailure(program, ::GetLastError());
    }
    auto native = std::make_unique<Native>();
    Pipe pipe;
    HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (options.Output == ChildStream::NullDevice) {
        output = null.Get();
    } else if (options.Output == ChildStream::Pipe) {
        if (const DWORD error = MakeOutputPipe(pipe)) ThrowStartFailure(program, error);
        native->ReadDone = UniqueHandle(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!native->ReadDone) ThrowStartFailure(program, ::GetLastError());
        output = pipe.Write.Get();
    }
    const HANDLE input = options.Input == ChildStream::NullDevice ? null.Get() : ::GetStdHandle(STD_INPUT_HANDLE);

    const auto application = Win::Widen(program);
    const auto commandLine = WindowsDetail::BuildCommandLine(program, options.Arguments);
    PROCESS_INFORMATION started{};
    // A detached program leaves a job the browser may have put us in, so that it outlives the
    // daemon; a job that allows no breakaway refuses that, and it then starts inside the job.
    const DWORD flags = options.Detached ? CREATE_NEW_PROCESS_GROUP | CREATE_BREAKAWAY_FROM_JOB : 0;
    DWORD error = TryStartProcess(application, commandLine, input, output, flags, started);
    if (error == ERROR_ACCESS_DENIED && options.Detached) {
        error = TryStartProcess(application, commandLine, input, output, CREATE_NEW_PROCESS_GROUP, started);
    }
    if (error != ERROR_SUCCESS) ThrowStartFailure(program, error);
    ::CloseHandle(started.hThread);
    native->Process = UniqueHandle(started.hProcess);
    // Our copy of the writing end goes now, so that the pipe ends when the child's copies do.
    native->Output = std::move(pipe.Read);
    return SpawnedProcess(std::move(native));
}

SpawnedProcess::Native::Native() = default;

SpawnedProcess::Native::~Native() { CloseOutput(); }

void SpawnedProcess::Native::CloseOutput() noexcept {
    if (reading_ && Output) {
        DWORD ignored = 0;
        ::CancelIoEx(Output.Get(), &read_);
        ::GetOverlappedResult(Output.Get(), &read_, &ignored, TRUE);
    }
    reading_ = false;
    Output.Reset();
}

bool SpawnedProcess::Native::StartRead() {
    ::ResetEvent(ReadDone.Get());
    read_ = OVERLAPPED{};
    read_.hEvent = ReadDone.Get();
    if (::ReadFile(Output.Get(), buffer_.data(), static_cast<DWORD>(buffer_.size()), nullptr, &read_)) {
        reading_ = true;  // done at once; its outcome is taken like any other
        return true;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
        reading_ = true;
        return true;
    }
    if (error == ERROR_BROKEN_PIPE) return false;
    throw IoFailure(Win::DescribeError(error));
}

std::optional<std::size_t> SpawnedProcess::Native::FinishRead(bool& ended, bool wait) {
    DWORD n = 0;
    if (::GetOverlappedResult(Output.Get(), &read_, &n, wait ? TRUE : FALSE)) {
        reading_ = false;
        return n;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_INCOMPLETE) return std::nullopt;
    reading_ = false;
    if (error == ERROR_BROKEN_PIPE) {
        ended = true;
        return 0;
    }
    if (error == ERROR_OPERATION_ABORTED) return 0;
    throw IoFailure(Win::DescribeError(error));
}

void SpawnedProcess::Native::Keep(OutputCapture& into, std::size_t count) {
    for (std::size_t done = 0; done < count;) {
        const auto room = into.Prepare(count - done);
        const auto n = std::min(room.size(), count - done);
        std::copy_n(buffer_.data() + done, n, room.data());
        into.Commit(n);
        done += n;
    }
}

OutputState SpawnedProcess::Native::ReadOutput(OutputCapture& into, std::size_t budget) {
    if (!Output) return OutputState::Ended;
    for (;;) {
        if (!reading_) {
            if (budget == 0) return OutputState::Pending;
            if (!StartRead()) {
                CloseOutput();
                return OutputState::Ended;
            }
        }
        bool ended = false;
        const auto n = FinishRead(ended, false);
        if (!n) return OutputState::Empty;
        if (ended) {
            CloseOutput();
            return OutputState::Ended;
        }
        Keep(into, *n);
        budget -= std::min(budget, *n);
    }
}

void SpawnedProcess::Native::ReadRemaining(OutputCapture& into) {
    // What the pipe held once the child had ended, and what a read under way took of it: a
    // descendant that goes on writing is not followed.
    std::size_t budget = PendingOutput() + buffer_.size();
    while (Output && budget > 0) {
        bool ended = false;
        std::optional<std::size_t> n;
        if (reading_) {
            n = FinishRead(ended, false);
            // Written before the end, it is on its way to the read: waiting for it is short.
            if (!n && PendingOutput() > 0) n = FinishRead(ended, true);
            if (!n) return;
        } else {
            if (PendingOutput() == 0) return;
            if (!StartRead()) {
                CloseOutput();
                return;
            }
            n = FinishRead(ended, true);
        }
        if (ended) {
            CloseOutput();
            return;
        }
        Keep(into, n.value_or(0));
        budget -= std::min(budget, n.value_or(0));
    }
}

std::size_t SpawnedProcess::Native::PendingOutput() const noexcept {
    DWORD available = 0;
    if (!Output || !::PeekNamedPipe(Output.Get(), nullptr, 0, nullptr, &available, nullptr)) return 0;
    return available;
}

std::optional<std::int32_t> SpawnedProcess::Native::TryReap() {
    if (::WaitForSingleObject(Process.Get(), 0) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    Reaped = true;
    if (!::GetExitCodeProcess(Process.Get(), &code)) throw IoFailure(Win::DescribeError(::GetLastError()));
    // The whole 32-bit code, as the system keeps it: 0xC0000409 reads as a negative number.
    return static_cast<std::int32_t>(code);
}

}  // namespace Quillmark::Platform::Process
