#pragma once
// The temporary folder that uploads are written into and that download and sign requests name
// files of.

#include <cerrno>
#include <string>
#include <string_view>

namespace Quillmark::Daemon::MessageListeners {

class TempFolder {
public:
    // The user's temporary directory joined with the product folder name, formed anew each call.
    static std::string Path();
    // The folder joined with a client's file name.
    static std::string Join(std::string_view name);
    // False for a name that would leave the folder (rooted, or a ".." component) or that the
    // system would cut short (a NUL).
    static bool IsSafeName(std::string_view name);
    // The IoFailure for a file operation on the path that the system refused with the error.
    [[noreturn]] static void ThrowFileFailure(const std::string& path, int error);
};

}  // namespace Quillmark::Daemon::MessageListeners
