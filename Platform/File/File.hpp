#pragma once
// Regular files, opened by UTF-8 path text; the backend converts the text to the system's own
// form (UTF-16 on Windows) and maps the system's refusals to failures.
//
// What every open guarantees, on every system:
//  - no link is followed at the file itself: a symbolic link, junction or other reparse point
//    standing at the path is never opened through;
//  - it never waits: a pipe, socket or device standing at the path is not waited on, not read
//    and not written;
//  - it yields regular files only: whatever else stands at the path counts as no file.
//
// Failures are IoFailure with the platform's texts: "IO_PathNotFound_Path, <path>" when the
// path or a folder on it is missing, "UnauthorizedAccess_IODenied_Path, <path>" when access is
// refused or something other than a regular file is in the way of a create, else the system's
// description of the error, " : '", the path and "'".

#include "Platform/File/FileHandle.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace Quillmark::Platform {

class Folder;

// An open regular file. Move-only; closed when destroyed. One operation at a time.
class File {
public:
    // The regular file at the path, for reading; nothing when no regular file is there (the
    // path is missing, or a folder, link, pipe or device stands there). Other openers may read
    // it meanwhile but not write, rename or remove it where the system enforces that.
    static std::optional<File> OpenForReading(std::string_view path);
    // The file at the path for reading and writing: created when missing, emptied when a
    // regular file is there. No other opener may use it meanwhile where the system enforces
    // that. New files are readable and writable by the current user alone.
    static File Create(std::string_view path);
    // The file at the path for appending, created when missing; every write lands at its
    // current end. Others may read and append to it meanwhile.
    static File OpenForAppend(std::string_view path);
    // Creates the file at the path empty, or empties the regular file there, and closes it.
    // Others may hold it open meanwhile.
    static void Truncate(std::string_view path);
    // The length of the regular file at the path; nothing when no regular file is there.
    static std::optional<std::int64_t> SizeOf(std::string_view path);
    // Removes the entry at the path (a link itself, never its target); false when nothing
    // was there. Folders are not removed.
    static bool Remove(std::string_view path);

    File(File&& other) noexcept = default;
    File& operator=(File&& other) noexcept = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() = default;

    // The path the file was opened by, as given.
    const std::string& Path() const noexcept { return path_; }
    // The file's length now, asked of the system at each call.
    std::int64_t Size() const;
    // Reads into the buffer from the offset on; fills it unless the file ends first, and
    // answers the number of bytes read (0 at or past the end). Leaves no position behind:
    // reads at offsets need no seek.
    std::size_t ReadAt(std::int64_t offset, std::span<std::uint8_t> buffer) const;
    // Writes all the bytes: at the current end of a file opened for appending, else after the
    // bytes written before. Unbuffered: each call reaches the system.
    void Write(std::span<const std::uint8_t> bytes);
    // Closes the file, reporting a failure that the system reports only now. Destroying an
    // open file closes it too, silently.
    void Close();

private:
    friend class Folder;
    using NativeHandle = FileHandle::Native;

    File(NativeHandle handle, std::string path) noexcept : handle_(handle), path_(std::move(path)) {}

    FileHandle handle_;
    std::string path_;
};

}  // namespace Quillmark::Platform
