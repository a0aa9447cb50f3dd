#pragma once
// The temporary folder that uploads are written into and that download and sign requests name
// files of.

#include "Platform/File/Folder.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace Quillmark::Daemon::MessageListeners {

class TempFolder {
public:
    // The folder in use, opened and found to be this user's alone: the one start-up prepared.
    // Nothing when no candidate passes, and then nothing is stored into or served from it.
    static std::optional<Platform::Folder> Open();
    // The usual folder's path, which failures name when no folder is in use.
    static std::string UsualPath();
    // False, on every system alike, for a name that would leave the folder or name something
    // else than it says on either system: rooted, a ".." component, a backslash (Windows
    // separators, UNC and device paths), a colon (drives, streams of a file), a component ending
    // in a dot or a blank (Windows drops them), a device name of Windows ("NUL", "com1.pdf"),
    // or a NUL, where the system would cut the name short.
    static bool IsSafeName(std::string_view name);
};

}  // namespace Quillmark::Daemon::MessageListeners
