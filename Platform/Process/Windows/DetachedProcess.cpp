#include "Platform/Process/DetachedProcess.hpp"

#include "Platform/Process/Windows/ProcessStart.hpp"

#include <objbase.h>
#include <shellapi.h>

namespace Quillmark::Platform::Process {

namespace Win = Platform::Windows;
using namespace WindowsDetail;

namespace {
// The longest command line CreateProcessW takes, in UTF-16 units, its terminating NUL included.
constexpr std::size_t CommandLineLimit = 32767;

Win::UniqueHandle OpenNullDevice() {
    return Win::UniqueHandle(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}
}  // namespace

void DetachedProcess::StartDetached(const std::string& program, const std::vector<std::string>& arguments) {
    // In native messaging our standard input and output are the browser's pipes: a program
    // that outlives the daemon must neither read its frames nor keep the pipes open.
    const auto null = OpenNullDevice();
    const StandardHandles handles{null.Get(), null.Get(), ::GetStdHandle(STD_ERROR_HANDLE)};
    const auto commandLine = BuildCommandLine(program, arguments);
    PROCESS_INFORMATION started{};
    // Out of a job the browser may have put us in, so that the program outlives the daemon; a
    // job that allows no breakaway refuses that, and the program then starts inside it.
    DWORD error = TryStartProcess(program, commandLine, handles, CREATE_BREAKAWAY_FROM_JOB, started);
    if (error == ERROR_ACCESS_DENIED) error = TryStartProcess(program, commandLine, handles, 0, started);
    if (error != ERROR_SUCCESS) ThrowStartFailure(program, error);
    ::CloseHandle(started.hThread);
    ::CloseHandle(started.hProcess);
}

void DetachedProcess::ShellOpen(const std::string& path) {
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

std::size_t DetachedProcess::MaxArgumentLength(std::string_view program) {
    // The quoted program, a blank, the argument in quotes and the terminating NUL. An argument
    // that needs no escaping takes one UTF-16 unit per byte at most.
    const std::size_t used = Win::Widen(program).size() + 2 + 1 + 2 + 1;
    return used < CommandLineLimit ? CommandLineLimit - used : 0;
}

}  // namespace Quillmark::Platform::Process
