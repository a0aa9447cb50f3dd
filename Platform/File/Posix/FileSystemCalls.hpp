#pragma once
// What the POSIX file and folder backends share: opens that never follow a link or wait,
// the walk of a relative name below an open folder, and the mapping of errors to failures.

#include "Platform/Posix/FileDescriptor.hpp"

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::Platform::FileSystemCalls {

// The IoFailure for an operation on the path that the system refused with the error.
[[noreturn]] void ThrowFileFailure(const std::string& path, int error);

// Refuses a path the system would cut short at a NUL.
void RequireNoNul(std::string_view path);

// openat with the flags every open here carries (no link at the last component, no wait, not
// inherited by children, never a controlling terminal), retried when interrupted. -1 and errno
// on failure.
int OpenAt(int folder, const char* name, int flags, mode_t mode = 0);

// The result of walking a relative name down to the folder holding its last component.
struct Walk {
    enum class Outcome { Found, Missing, Refused };
    Outcome outcome = Outcome::Found;
    // The folder holding the last component: owned when the name has folders on the way.
    FileDescriptor owned;
    int parent = -1;
    // The last component; empty when the name names the folder itself.
    std::string last;
};

// Walks the name below the open folder, opening each folder on the way without following a
// link: Missing when something on the way is not there or is no folder, Refused at a link or
// a ".." on the way, or a NUL in the name. Other refusals of the system are thrown for the
// shown path.
Walk WalkBelow(int folder, std::string_view name, const std::string& shownPath);

// The regular file at the name below the folder (AT_FDCWD for a plain path), opened with the
// access flags; nothing when no regular file is there. The kind is looked at first, so no other
// kind is ever opened, and then tested again on the open file.
std::optional<FileDescriptor> OpenRegular(int folder, const char* name, int accessFlags, const std::string& shownPath);

// Creates or opens the file at the name below the folder with the access flags and O_CREAT;
// refuses anything but a regular file once it is open.
FileDescriptor CreateRegular(int folder, const char* name, int accessFlags, mode_t mode, const std::string& shownPath);

// Empties the open file. One that is empty already is left alone: ext4 takes emptying for the
// prelude of a rewrite and writes everything written after it out to disk when it is closed,
// which would stall the closing of every large new file.
void Empty(int fd, const std::string& shownPath);

}  // namespace Quillmark::Platform::FileSystemCalls
