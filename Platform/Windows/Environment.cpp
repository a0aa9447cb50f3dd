#include "Platform/Environment.hpp"

#include "Platform/Path.hpp"
#include "Platform/Windows/Security.hpp"
#include "Platform/Windows/Win32.hpp"

#include <knownfolders.h>
#include <shlobj.h>

namespace Quillmark::Platform::Environment {

namespace Win = Platform::Windows;

namespace {
// Runs a query that fills a buffer and answers the length it wrote, or the size it needs when
// the buffer is too small, or 0 on failure; the buffer grows until the text fits.
template <class Query>
std::wstring GrowingQuery(Query query) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD got = query(buffer.data(), static_cast<DWORD>(buffer.size()));
        if (got == 0) return {};
        if (got < buffer.size()) {
            buffer.resize(got);
            return buffer;
        }
        buffer.resize(got > buffer.size() ? got : buffer.size() * 2);
    }
}

std::wstring ModuleFileName() {
    // GetModuleFileNameW answers the full buffer size, not the size it needs, when cut short.
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD got = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (got == 0) return {};
        if (got < buffer.size()) {
            buffer.resize(got);
            return buffer;
        }
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}
}  // namespace

std::optional<std::string> GetVariable(std::string_view name) {
    const auto wideName = Win::Widen(name);
    std::wstring value(64, L'\0');
    for (;;) {
        ::SetLastError(ERROR_SUCCESS);
        const DWORD got = ::GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
        if (got == 0) {
            // An empty value answers 0 as well, without an error.
            if (::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
            return std::string();
        }
        if (got < value.size()) {
            value.resize(got);
            return Win::Narrow(value);
        }
        value.resize(got);
    }
}

std::string GetTempPath() {
    return Win::Narrow(GrowingQuery([](wchar_t* buffer, DWORD size) { return ::GetTempPathW(size, buffer); }));
}

std::string GetUserId() { return Win::SidText(Win::CurrentUser().User); }

std::optional<std::string> GetRoamingAppDataFolder() {
    wchar_t* folder = nullptr;
    const HRESULT result = ::SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_DEFAULT, nullptr, &folder);
    std::optional<std::string> answer;
    if (SUCCEEDED(result) && folder != nullptr && *folder != L'\0') answer = Win::Narrow(folder);
    ::CoTaskMemFree(folder);
    return answer;
}

std::string GetExecutablePath() { return Win::Narrow(ModuleFileName()); }

std::string GetMainModuleFileName() { return Win::Narrow(ModuleFileName()); }

std::string GetBaseDirectory() {
    auto folder = Path::GetDirectoryName(GetExecutablePath());
    if (folder.empty()) return {};
    if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
    return folder;
}

std::string GetCurrentDirectory() {
    return Win::Narrow(
        GrowingQuery([](wchar_t* buffer, DWORD size) { return ::GetCurrentDirectoryW(size, buffer); }));
}

}  // namespace Quillmark::Platform::Environment
