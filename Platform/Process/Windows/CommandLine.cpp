#include "Platform/Process/Windows/ProcessStart.hpp"

#include "Platform/Environment.hpp"
#include "Platform/Failure.hpp"

#include <cstddef>
#include <utility>

namespace Quillmark::Platform::Process::WindowsDetail {

namespace Win = Platform::Windows;

std::wstring QuoteArgument(std::wstring_view argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring_view::npos) {
        return std::wstring(argument);
    }
    std::wstring quoted = L"\"";
    for (std::size_t i = 0;; ++i) {
        std::size_t backslashes = 0;
        while (i < argument.size() && argument[i] == L'\\') {
            ++backslashes;
            ++i;
        }
        if (i == argument.size()) {
            // They stand before the closing quote: each one doubled.
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        if (argument[i] == L'"') {
            quoted.append(backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        quoted.push_back(argument[i]);
    }
    quoted.push_back(L'"');
    return quoted;
}

std::wstring BuildCommandLine(std::string_view program, const std::vector<std::string>& arguments) {
    std::wstring line = L"\"" + Win::Widen(program) + L"\"";
    for (const auto& argument : arguments) {
        line.push_back(L' ');
        line += QuoteArgument(Win::Widen(argument));
    }
    return line;
}

void ThrowStartFailure(const std::string& program, DWORD error) {
    const std::string why = error == ERROR_BAD_EXE_FORMAT ? "InvalidApplication" : Win::DescribeError(error);
    throw IoFailure(PlatformText("ErrorStartingProcess", {program, Environment::GetCurrentDirectory(), why}));
}

namespace {
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

    LPPROC_THREAD_ATTRIBUTE_LIST Get() noexcept {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(memory_.data());
    }
    DWORD Error() const noexcept { return error_; }

private:
    std::vector<std::byte> memory_;
    bool initialized_ = false;
    DWORD error_ = ERROR_SUCCESS;
};

// An inheritable duplicate, which the handle list requires; the original stays as it was.
Win::UniqueHandle InheritableCopy(HANDLE handle) {
    HANDLE copy = nullptr;
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return {};
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, TRUE,
                           DUPLICATE_SAME_ACCESS)) {
        return {};
    }
    return Win::UniqueHandle(copy);
}
}  // namespace

DWORD TryStartProcess(const std::string& program, std::wstring commandLine, const StandardHandles& handles,
                      DWORD creationFlags, PROCESS_INFORMATION& started) {
    Win::UniqueHandle input = InheritableCopy(handles.Input);
    Win::UniqueHandle output = InheritableCopy(handles.Output);
    Win::UniqueHandle errorOutput = InheritableCopy(handles.Error);
    // Only these reach the program: a browser's pipes or our sockets must not live on in it.
    HANDLE inherited[3];
    DWORD count = 0;
    for (const auto* handle : {&input, &output, &errorOutput}) {
        if (*handle) inherited[count++] = handle->Get();
    }

    AttributeList attributes(1);
    if (attributes.Error() != ERROR_SUCCESS) return attributes.Error();
    if (count > 0 && !::UpdateProcThreadAttribute(attributes.Get(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                                  count * sizeof(HANDLE), nullptr, nullptr)) {
        return ::GetLastError();
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input.Get();
    startup.StartupInfo.hStdOutput = output.Get();
    startup.StartupInfo.hStdError = errorOutput.Get();
    startup.lpAttributeList = attributes.Get();

    const std::wstring application = Win::Widen(program);
    if (!::CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, count > 0 ? TRUE : FALSE,
                          creationFlags | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr, &startup.StartupInfo,
                          &started)) {
        return ::GetLastError();
    }
    return ERROR_SUCCESS;
}

PROCESS_INFORMATION StartProcess(const std::string& program, std::wstring commandLine,
                                 const StandardHandles& handles, DWORD creationFlags) {
    PROCESS_INFORMATION started{};
    const DWORD error = TryStartProcess(program, std::move(commandLine), handles, creationFlags, started);
    if (error != ERROR_SUCCESS) ThrowStartFailure(program, error);
    return started;
}

}  // namespace Quillmark::Platform::Process::WindowsDetail
