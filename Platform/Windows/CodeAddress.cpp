#include "Platform/CodeAddress.hpp"

#include "Platform/Path.hpp"
#include "Platform/Windows/Win32.hpp"

#include <cstdint>
#include <cstdio>

namespace Quillmark::Platform {

std::string DescribeCodeAddress(const void* address) {
    char text[64];
    HMODULE module = nullptr;
    wchar_t name[MAX_PATH];
    DWORD length = 0;
    if (address != nullptr &&
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             static_cast<LPCWSTR>(address), &module)) {
        length = ::GetModuleFileNameW(module, name, MAX_PATH);
    }
    if (length == 0 || length >= MAX_PATH) {
        std::snprintf(text, sizeof text, "0x%jx", static_cast<std::uintmax_t>(reinterpret_cast<std::uintptr_t>(address)));
        return text;
    }
    // A module's handle is the address it was loaded at.
    const auto offset = reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(module);
    std::snprintf(text, sizeof text, "+0x%jx", static_cast<std::uintmax_t>(offset));
    return std::string(Path::GetFileName(Windows::Narrow(std::wstring_view(name, length)))) + text;
}

}  // namespace Quillmark::Platform
