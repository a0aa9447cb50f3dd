#include "Platform/File/Posix/FileSystemCalls.hpp"

#include "Platform/Failure.hpp"
#include "Platform/File/NameComponents.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace Quillmark::Platform::FileSystemCalls {

void ThrowFileFailure(const std::string& path, int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        throw IoFailure(PlatformText("IO_PathNotFound_Path", {path}));
    case EACCES:
    case EPERM:
    case EISDIR:
        throw IoFailure(PlatformText("UnauthorizedAccess_IODenied_Path", {path}));
    default:
        throw IoFailure(std::generic_category().message(error) + " : '" + path + "'");
    }
}

void RequireNoNul(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) throw ArgumentFailure("Argument_NullCharInPath", "path");
}

int OpenAt(int folder, const char* name, int flags, mode_t mode) {
    for (;;) {
        const int fd = ::openat(folder, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode);
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

namespace {

bool IsLink(int folder, const char* name) {
    struct stat info {};
    return ::fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

}  // namespace

Walk WalkBelow(int folder, std::string_view name, const std::string& shownPath) {
    Walk walk;
    walk.parent = folder;
    const auto split = NameComponents::Split(name, "/");
    if (!split) {
        walk.outcome = Walk::Outcome::Refused;
        return walk;
    }
    const auto& components = *split;
    if (components.empty()) return walk;
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        const std::string component(components[i]);
        const int fd = OpenAt(walk.parent, component.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0) {
            const int error = errno;
            if (error == ELOOP || IsLink(walk.parent, component.c_str())) {
                walk.outcome = Walk::Outcome::Refused;
            } else if (error == ENOENT || error == ENOTDIR) {
                walk.outcome = Walk::Outcome::Missing;
            } else {
                ThrowFileFailure(shownPath, error);
            }
            return walk;
        }
        walk.owned = FileDescriptor(fd);
        walk.parent = fd;
    }
    walk.last = std::string(components.back());
    return walk;
}

std::optional<FileDescriptor> OpenRegular(int folder, const char* name, int accessFlags, const std::string& shownPath) {
    struct stat before {};
    if (::fstatat(folder, name, &before, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        ThrowFileFailure(shownPath, errno);
    }
    if (!S_ISREG(before.st_mode)) return std::nullopt;
    FileDescriptor fd(OpenAt(folder, name, accessFlags));
    if (fd.Get() < 0) {
        // Gone, or swapped for a link or something that refuses a reader, since the look.
        if (errno == ENOENT || errno == ENOTDIR || errno == ELOOP || errno == ENXIO) return std::nullopt;
        ThrowFileFailure(shownPath, errno);
    }
    struct stat opened {};
    if (::fstat(fd.Get(), &opened) != 0) ThrowFileFailure(shownPath, errno);
    if (!S_ISREG(opened.st_mode)) return std::nullopt;
    return fd;
}

FileDescriptor CreateRegular(int folder, const char* name, int accessFlags, mode_t mode, const std::string& shownPath) {
    FileDescriptor fd(OpenAt(folder, name, accessFlags | O_CREAT, mode));
    if (fd.Get() < 0) ThrowFileFailure(shownPath, errno);
    struct stat opened {};
    if (::fstat(fd.Get(), &opened) != 0) ThrowFileFailure(shownPath, errno);
    if (!S_ISREG(opened.st_mode)) ThrowFileFailure(shownPath, EACCES);
    return fd;
}

void Empty(int fd, const std::string& shownPath) {
    struct stat opened {};
    if (::fstat(fd, &opened) != 0) ThrowFileFailure(shownPath, errno);
    if (opened.st_size != 0 && ::ftruncate(fd, 0) != 0) ThrowFileFailure(shownPath, errno);
}

}  // namespace Quillmark::Platform::FileSystemCalls
