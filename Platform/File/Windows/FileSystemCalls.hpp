#pragma once
// What the Windows file and folder backends share: opens that never follow a reparse point,
// never reach a device or a pipe and yield regular files only, the walk of a relative name
// below an open folder, deletion that copes with a file held open elsewhere, and the mapping
// of errors to failures.

#include "Platform/Windows/Win32.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace Quillmark::Platform::FileSystemCalls {

using Windows::UniqueHandle;

// The IoFailure for an operation on the path that the system refused with the error.
[[noreturn]] void ThrowFileFailure(const std::string& path, DWORD error);
// The same for a status of the native API.
[[noreturn]] void ThrowStatusFailure(const std::string& path, LONG status);

// Refuses a path the system would cut short at a NUL.
void RequireNoNul(std::string_view path);

// True for a path that names a device, a pipe or a mail slot rather than a file on a disk:
// reserved names ("NUL", "C:\x\com1.txt"), the device namespace ("\\.\", "\\?\" other than a
// drive or UNC path) and the pipe and mail slot shares of UNC paths. Such a path is never opened.
bool IsDevicePath(std::wstring_view path);

// What an open handle leads to.
enum class HandleKind { RegularFile, Folder, Other };
HandleKind KindOfHandle(HANDLE handle);

// Opens the path with CreateFileW, the reparse point itself rather than its target. Nothing
// (and the error in `error`) when the system refuses.
UniqueHandle OpenPath(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                      DWORD& error, SECURITY_ATTRIBUTES* security = nullptr);

// Opens the name in the open folder with the native API: the name is taken inside that folder
// alone, with no device names and no reparse point followed at it. The status in `status`.
UniqueHandle OpenBelow(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG share, ULONG disposition,
                       ULONG options, LONG& status, bool privateSecurity = false);

// The result of walking a relative name down to the folder holding its last component.
struct Walk {
    enum class Outcome { Found, Missing, Refused };
    Outcome outcome = Outcome::Found;
    // The folder holding the last component: owned when the name has folders on the way.
    UniqueHandle owned;
    HANDLE parent = nullptr;
    // The last component; empty when the name names the folder itself.
    std::wstring last;
};

// Walks the name below the open folder, opening each folder on the way without following a
// reparse point: Missing when something on the way is not there or is no folder, Refused at a
// reparse point or a ".." on the way, at a ":" (a stream of a file) or a NUL in the name.
// Components are separated by "/" and "\". Other refusals of the system are thrown for the
// shown path.
Walk WalkBelow(HANDLE folder, std::string_view name, const std::string& shownPath);

// True for the status of a name that is not there, cannot be there, or leads through something
// that is no folder.
bool IsMissing(LONG status);

// Sets the open entry (opened with DELETE access) to go, its name at once even while others
// hold it open (they shared its deletion). Where the system only deletes at the last close, the
// entry is first moved under a name of its own into `graveyard` (an open folder on the same
// volume), so that its name, and the folder it leaves, are free at once all the same. An
// IoFailure when the system refuses.
void DeleteOpened(HANDLE handle, const std::string& shownPath, HANDLE graveyard);
// The folder that holds the path's last entry, opened to move entries into; nothing when the
// path has none or it does not open.
UniqueHandle OpenParentFolder(const std::string& path);

}  // namespace Quillmark::Platform::FileSystemCalls
