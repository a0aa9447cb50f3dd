#include "Platform/CodeAddress.hpp"

#include "Platform/Path.hpp"

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>

namespace Quillmark::Platform {

std::string DescribeCodeAddress(const void* address) {
    char text[64];
    Dl_info module{};
    if (address == nullptr || ::dladdr(address, &module) == 0 || module.dli_fname == nullptr) {
        std::snprintf(text, sizeof text, "0x%jx", static_cast<std::uintmax_t>(reinterpret_cast<std::uintptr_t>(address)));
        return text;
    }
    const auto offset = reinterpret_cast<std::uintptr_t>(address) - reinterpret_cast<std::uintptr_t>(module.dli_fbase);
    std::snprintf(text, sizeof text, "+0x%jx", static_cast<std::uintmax_t>(offset));
    return std::string(Path::GetFileName(module.dli_fname)) + text;
}

}  // namespace Quillmark::Platform
