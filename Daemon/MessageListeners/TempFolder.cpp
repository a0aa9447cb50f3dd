#include "Daemon/MessageListeners/TempFolder.hpp"

#include "Common/Utils.hpp"
#include "Platform/Environment.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Path.hpp"

#include <system_error>

namespace Quillmark::Daemon::MessageListeners {

std::string TempFolder::Path() {
    return Platform::Path::Join(Platform::Environment::GetTempPath(), Common::Utils::ProductFolderName);
}

std::string TempFolder::Join(std::string_view name) { return Platform::Path::Join(Path(), name); }

bool TempFolder::IsSafeName(std::string_view name) {
    if (Platform::Path::IsRooted(name) || name.find('\0') != std::string_view::npos) return false;
    // Backslashes count as separators too: a name must mean the same on every system.
    std::size_t start = 0;
    while (start <= name.size()) {
        auto end = name.find_first_of("/\\", start);
        if (end == std::string_view::npos) end = name.size();
        if (name.substr(start, end - start) == "..") return false;
        start = end + 1;
    }
    return true;
}

void TempFolder::ThrowFileFailure(const std::string& path, int error) {
    switch (error) {
    case ENOENT:
        throw Platform::IoFailure(Platform::PlatformText("IO_PathNotFound_Path", {path}));
    case EACCES:
    case EPERM:
        throw Platform::IoFailure(Platform::PlatformText("UnauthorizedAccess_IODenied_Path", {path}));
    default:
        throw Platform::IoFailure(std::generic_category().message(error) + " : '" + path + "'");
    }
}

}  // namespace Quillmark::Daemon::MessageListeners
