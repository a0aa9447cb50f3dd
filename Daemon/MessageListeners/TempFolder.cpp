#include "Daemon/MessageListeners/TempFolder.hpp"

#include "Common/Utils.hpp"
#include "Platform/Path.hpp"

namespace Quillmark::Daemon::MessageListeners {

std::optional<Platform::Folder> TempFolder::Open() { return Common::Utils::OpenTempDir(); }

std::string TempFolder::UsualPath() { return Common::Utils::TempDirCandidates().front(); }

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

}  // namespace Quillmark::Daemon::MessageListeners
