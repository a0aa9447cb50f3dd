#include "Daemon/MessageListeners/TempFolder.hpp"

#include "Common/Utils.hpp"
#include "Platform/File/NameComponents.hpp"
#include "Platform/Text/Ascii.hpp"

#include <algorithm>

namespace Quillmark::Daemon::MessageListeners {

namespace {

// Names Windows takes for devices, whatever extension follows; "\xC2\xB9" and the like are the
// superscript digits that Windows reads as 1, 2 and 3.
constexpr std::string_view DeviceNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$", "CLOCK$"};
constexpr std::string_view NumberedDevices[] = {"COM", "LPT"};
constexpr std::string_view DeviceNumbers[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9",
                                              "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"};

bool IsDeviceName(std::string_view component) {
    // The part before the first dot, without the blanks Windows drops there.
    auto base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
    for (auto device : DeviceNames) {
        if (Platform::Text::EqualsIgnoreCase(base, device)) return true;
    }
    for (auto prefix : NumberedDevices) {
        if (!Platform::Text::StartsWithIgnoreCase(base, prefix)) continue;
        for (auto number : DeviceNumbers) {
            if (base.substr(prefix.size()) == number) return true;
        }
    }
    return false;
}

// A component that the system would read as another name, or as no file at all.
bool IsSafeComponent(std::string_view component) {
    // Windows drops trailing dots and blanks: "a.pdf." would open "a.pdf", "..." the folder.
    if (component.back() == '.' || component.back() == ' ') return false;
    return !IsDeviceName(component);
}

}  // namespace

std::optional<Platform::Folder> TempFolder::Open() { return Common::Utils::OpenTempDir(); }

std::string TempFolder::UsualPath() { return Common::Utils::TempDirCandidates().front(); }

bool TempFolder::IsSafeName(std::string_view name) {
    // One rule on every system, so that both daemons answer a name alike. A backslash separates
    // on Windows (and starts UNC and device paths), a colon makes a drive or a file's stream.
    if (name.starts_with('/')) return false;
    const auto components = Platform::NameComponents::Split(name, "/", "\\:");
    return components && std::ranges::all_of(*components, IsSafeComponent);
}

}  // namespace Quillmark::Daemon::MessageListeners
