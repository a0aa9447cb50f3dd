#include "Platform/Runtime/ProcessLifetime.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Runtime/ProcessEnd.hpp"
#include "Platform/Windows/Win32.hpp"

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>

namespace Quillmark::Platform::Runtime {

namespace {
// A program of the GUI subsystem started without standard handles (from the desktop, say) has
// none: give the missing one the null device, so that a read finds an empty input and a write
// goes nowhere, and no file opened later takes its place.
void GiveNullDeviceIfMissing(DWORD which, int descriptor, DWORD access, int flags) {
    const HANDLE current = ::GetStdHandle(which);
    if (current != nullptr && current != INVALID_HANDLE_VALUE) return;
    const HANDLE null = ::CreateFileW(L"NUL", access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (null == INVALID_HANDLE_VALUE) return;
    const int opened = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(null), flags);
    if (opened < 0) {
        ::CloseHandle(null);
        return;
    }
    if (opened != descriptor) {
        ::_dup2(opened, descriptor);
        ::_close(opened);
    }
    ::SetStdHandle(which, reinterpret_cast<HANDLE>(::_get_osfhandle(descriptor)));
}

// Faults of the system (an access violation, a stack overflow) that no code handled. C++
// exceptions that leave a thread never get here: they reach std::terminate first.
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
    char text[160];
    const auto* record = info != nullptr ? info->ExceptionRecord : nullptr;
    std::snprintf(text, sizeof text, "The process raised the system exception 0x%08lX at address %p.",
                  record != nullptr ? static_cast<unsigned long>(record->ExceptionCode) : 0UL,
                  record != nullptr ? record->ExceptionAddress : nullptr);
    RaiseUnhandledFailure(std::make_exception_ptr(PlainFailure(text)));
}
}  // namespace

void PrepareStandardHandles() {
    GiveNullDeviceIfMissing(STD_INPUT_HANDLE, 0, GENERIC_READ, _O_RDONLY | _O_BINARY);
    GiveNullDeviceIfMissing(STD_OUTPUT_HANDLE, 1, GENERIC_WRITE, _O_WRONLY | _O_BINARY);
    GiveNullDeviceIfMissing(STD_ERROR_HANDLE, 2, GENERIC_WRITE, _O_WRONLY | _O_BINARY);
    // Frames are bytes: no CR LF translation and no end at a 0x1A byte.
    ::_setmode(0, _O_BINARY);
    ::_setmode(1, _O_BINARY);
}

std::vector<std::string> CommandLineArguments(int, char**) {
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (arguments == nullptr) return {};
    std::vector<std::string> texts;
    for (int i = 1; i < count; ++i) texts.push_back(Windows::Narrow(arguments[i]));
    ::LocalFree(arguments);
    return texts;
}

namespace ProcessEnd {

void InstallFaultNotification() { ::SetUnhandledExceptionFilter(&OnUnhandledException); }

void WriteToStandardError(std::string_view text) noexcept {
    const HANDLE error = ::GetStdHandle(STD_ERROR_HANDLE);
    if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
    while (!text.empty()) {
        DWORD written = 0;
        const auto piece = static_cast<DWORD>(text.size() < (1U << 30) ? text.size() : (1U << 30));
        if (!::WriteFile(error, text.data(), piece, &written, nullptr) || written == 0) return;
        text.remove_prefix(written);
    }
}

void WaitForTheEnd() noexcept {
    for (;;) ::Sleep(INFINITE);
}

void ExitImmediately(int exitCode) noexcept { ::ExitProcess(static_cast<UINT>(exitCode)); }

}  // namespace ProcessEnd

}  // namespace Quillmark::Platform::Runtime
