#pragma once
// A folder held open for work inside it. Names are resolved against the open folder itself,
// never against its path again, so a folder renamed or replaced after it was opened and
// checked cannot redirect them.
//
// A name is relative: components separated by "/" (on Windows "\" too); empty and "."
// components are skipped, a ".." component or a rooted name never resolves. No link is
// followed at any component, and what File.hpp promises of every open holds here too.

#include "Platform/File/File.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace Quillmark::Platform {

// Move-only; the folder is closed when destroyed.
class Folder {
public:
    enum class EntryKind {
        Missing,      // nothing by that name (or a component on the way is not a folder)
        RegularFile,  // a regular file, reached without a link
        Other,        // a folder, a link anywhere on the way, a pipe, a socket, a device
    };

    // The folder at the path; nothing when no folder is there or a link stands there (a link
    // in the last component is not followed).
    static std::optional<Folder> Open(std::string_view path);
    // Creates the folder at the path with any missing folder above it; the last one is made
    // accessible to the current user alone. A folder already there is left as it is; a file
    // in the way is an IoFailure.
    static void CreatePrivate(std::string_view path);
    // Removes whatever stands at the path, a folder with everything in it, never following a
    // link (a link is removed itself); false when nothing was there. A file that another
    // program holds open goes as well where it shared its deletion (on Windows it may linger,
    // renamed, beside the folder until closed). A failure is an IoFailure and leaves what was
    // not reached yet.
    static bool RemoveTree(std::string_view path);

    Folder(Folder&& other) noexcept = default;
    Folder& operator=(Folder&& other) noexcept = default;
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    ~Folder() = default;

    // The path the folder was opened by, as given.
    const std::string& Path() const noexcept { return path_; }
    // True when the open folder belongs to the current user and no other user may create,
    // replace or remove entries in it (POSIX: owned by the effective user, no write for group
    // or others; Windows: owned by the current user, no write granted to other users).
    bool IsPrivate() const;

    // What stands at the name, looked at without following any link.
    EntryKind KindOf(std::string_view name) const;
    // The regular file at the name, for reading; nothing when KindOf would not answer
    // RegularFile. The kind is tested on the opened file, so nothing swapped in after a look
    // is ever opened. Other failures as File::OpenForReading.
    std::optional<File> OpenForReading(std::string_view name) const;
    // As File::Create, for the name inside the folder.
    File Create(std::string_view name) const;
    // Removes the file or link at the name; false when nothing was there.
    bool Remove(std::string_view name) const;

private:
    using NativeHandle = FileHandle::Native;

    Folder(NativeHandle handle, std::string path) noexcept : handle_(handle), path_(std::move(path)) {}

    FileHandle handle_;
    std::string path_;
};

}  // namespace Quillmark::Platform
