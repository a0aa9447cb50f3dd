#include "Platform/File/Folder.hpp"

#include "Platform/File/Posix/FileSystemCalls.hpp"
#include "Platform/Path.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <utility>

namespace Quillmark::Platform {

using namespace FileSystemCalls;

namespace {

int Fd(std::intptr_t handle) { return static_cast<int>(handle); }

// The path that a failure names.
std::string Shown(const std::string& folder, std::string_view name) { return Path::Join(folder, name); }

}  // namespace

std::optional<Folder> Folder::Open(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    std::string text(path);
    const int fd = OpenAt(AT_FDCWD, text.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP) return std::nullopt;
        ThrowFileFailure(text, errno);
    }
    return Folder(fd, std::move(text));
}

void Folder::CreatePrivate(std::string_view path) {
    RequireNoNul(path);
    const std::string text(path);
    const auto parent = Path::GetDirectoryName(text);
    if (!parent.empty()) {
        std::error_code error;
        std::filesystem::create_directories(Path::ToFsPath(parent), error);
        if (error) ThrowFileFailure(parent, error.value());
    }
    if (::mkdir(text.c_str(), 0700) == 0) return;
    const int error = errno;
    struct stat info {};
    // What stands there already is judged by whoever opens it next.
    if (error == EEXIST && ::lstat(text.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return;
    ThrowFileFailure(text, error);
}

bool Folder::RemoveTree(std::string_view path) {
    RequireNoNul(path);
    const std::string text(path);
    std::error_code error;
    const auto removed = std::filesystem::remove_all(Path::ToFsPath(text), error);
    if (error) ThrowFileFailure(text, error.value());
    return removed > 0;
}

bool Folder::IsPrivate() const {
    struct stat info {};
    if (::fstat(Fd(handle_.Get()), &info) != 0) return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

Folder::EntryKind Folder::KindOf(std::string_view name) const {
    const auto shown = Shown(path_, name);
    const auto walk = WalkBelow(Fd(handle_.Get()), name, shown);
    if (walk.outcome == Walk::Outcome::Missing) return EntryKind::Missing;
    if (walk.outcome == Walk::Outcome::Refused || walk.last.empty()) return EntryKind::Other;
    struct stat info {};
    if (::fstatat(walk.parent, walk.last.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return EntryKind::Missing;
        ThrowFileFailure(shown, errno);
    }
    return S_ISREG(info.st_mode) ? EntryKind::RegularFile : EntryKind::Other;
}

std::optional<File> Folder::OpenForReading(std::string_view name) const {
    auto shown = Shown(path_, name);
    const auto walk = WalkBelow(Fd(handle_.Get()), name, shown);
    if (walk.outcome != Walk::Outcome::Found || walk.last.empty()) return std::nullopt;
    auto fd = OpenRegular(walk.parent, walk.last.c_str(), O_RDONLY, shown);
    if (!fd) return std::nullopt;
    return File(fd->Release(), std::move(shown));
}

File Folder::Create(std::string_view name) const {
    RequireNoNul(name);
    auto shown = Shown(path_, name);
    const auto walk = WalkBelow(Fd(handle_.Get()), name, shown);
    if (walk.outcome == Walk::Outcome::Missing) ThrowFileFailure(shown, ENOENT);
    if (walk.outcome == Walk::Outcome::Refused || walk.last.empty()) ThrowFileFailure(shown, EACCES);
    auto fd = CreateRegular(walk.parent, walk.last.c_str(), O_RDWR, 0600, shown);
    Empty(fd.Get(), shown);
    return File(fd.Release(), std::move(shown));
}

bool Folder::Remove(std::string_view name) const {
    RequireNoNul(name);
    const auto shown = Shown(path_, name);
    const auto walk = WalkBelow(Fd(handle_.Get()), name, shown);
    if (walk.outcome == Walk::Outcome::Missing) return false;
    if (walk.outcome == Walk::Outcome::Refused || walk.last.empty()) ThrowFileFailure(shown, EACCES);
    if (::unlinkat(walk.parent, walk.last.c_str(), 0) == 0) return true;
    if (errno == ENOENT) return false;
    ThrowFileFailure(shown, errno);
}

}  // namespace Quillmark::Platform
