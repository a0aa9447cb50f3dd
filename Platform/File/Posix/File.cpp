#include "Platform/File/File.hpp"

#include "Platform/File/Posix/FileSystemCalls.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace Quillmark::Platform {

using namespace FileSystemCalls;

namespace {
// As the C library creates files: the user's umask decides the rest.
constexpr mode_t SharedFileMode = 0666;
constexpr mode_t PrivateFileMode = 0600;
}  // namespace

std::optional<File> File::OpenForReading(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    std::string text(path);
    auto fd = OpenRegular(AT_FDCWD, text.c_str(), O_RDONLY, text);
    if (!fd) return std::nullopt;
    return File(fd->Release(), std::move(text));
}

File File::Create(std::string_view path) {
    RequireNoNul(path);
    std::string text(path);
    auto fd = CreateRegular(AT_FDCWD, text.c_str(), O_RDWR, PrivateFileMode, text);
    Empty(fd.Get(), text);
    return File(fd.Release(), std::move(text));
}

File File::OpenForAppend(std::string_view path) {
    RequireNoNul(path);
    std::string text(path);
    auto fd = CreateRegular(AT_FDCWD, text.c_str(), O_WRONLY | O_APPEND, SharedFileMode, text);
    return File(fd.Release(), std::move(text));
}

void File::Truncate(std::string_view path) {
    RequireNoNul(path);
    const std::string text(path);
    auto fd = CreateRegular(AT_FDCWD, text.c_str(), O_WRONLY, SharedFileMode, text);
    Empty(fd.Get(), text);
}

std::optional<std::int64_t> File::SizeOf(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    const std::string text(path);
    struct stat info {};
    if (::fstatat(AT_FDCWD, text.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        ThrowFileFailure(text, errno);
    }
    if (!S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<std::int64_t>(info.st_size);
}

bool File::Remove(std::string_view path) {
    RequireNoNul(path);
    const std::string text(path);
    if (::unlink(text.c_str()) == 0) return true;
    if (errno == ENOENT) return false;
    ThrowFileFailure(text, errno);
}

std::int64_t File::Size() const {
    struct stat info {};
    if (::fstat(static_cast<int>(handle_.Get()), &info) != 0) ThrowFileFailure(path_, errno);
    return static_cast<std::int64_t>(info.st_size);
}

std::size_t File::ReadAt(std::int64_t offset, std::span<std::uint8_t> buffer) const {
    std::size_t done = 0;
    while (done < buffer.size()) {
        const auto n = ::pread(static_cast<int>(handle_.Get()), buffer.data() + done, buffer.size() - done,
                               static_cast<off_t>(offset + static_cast<std::int64_t>(done)));
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowFileFailure(path_, errno);
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

void File::Write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto n = ::write(static_cast<int>(handle_.Get()), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ThrowFileFailure(path_, errno);
        }
        // A write that takes nothing would never finish.
        if (n == 0) ThrowFileFailure(path_, EIO);
        done += static_cast<std::size_t>(n);
    }
}

void File::Close() {
    const int fd = static_cast<int>(handle_.Release());
    // The descriptor is gone even when close reports an error, so it is never retried.
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) ThrowFileFailure(path_, errno);
}

}  // namespace Quillmark::Platform
