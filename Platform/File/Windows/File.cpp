#include "Platform/File/File.hpp"

#include "Platform/File/Windows/FileSystemCalls.hpp"
#include "Platform/Windows/Security.hpp"

#include <algorithm>
#include <utility>

namespace Quillmark::Platform {

using namespace FileSystemCalls;
namespace Win = Platform::Windows;

namespace {

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// One call of ReadFile or WriteFile moves at most this much.
constexpr DWORD MaxPiece = 1U << 30;

HANDLE Native(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
std::intptr_t Stored(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

// The path's wide form, or nothing for a path that leads to a device or a pipe.
std::optional<std::wstring> FilePath(std::string_view path) {
    auto wide = Win::Widen(path);
    if (IsDevicePath(wide)) return std::nullopt;
    return wide;
}

bool IsNoFile(DWORD error) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
           error == ERROR_DIRECTORY;
}

// Opens or creates the regular file at the path; anything else in the way, or a path that
// names a device, is refused as access is.
UniqueHandle OpenOrCreate(const std::string& path, DWORD access, DWORD share, SECURITY_ATTRIBUTES* security) {
    RequireNoNul(path);
    const auto wide = FilePath(path);
    if (!wide) ThrowFileFailure(path, ERROR_ACCESS_DENIED);
    DWORD error = 0;
    auto handle = OpenPath(*wide, access, share, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, error, security);
    if (!handle) ThrowFileFailure(path, error);
    if (KindOfHandle(handle.Get()) != HandleKind::RegularFile) ThrowFileFailure(path, ERROR_ACCESS_DENIED);
    return handle;
}

void Empty(HANDLE handle, const std::string& path) {
    FILE_END_OF_FILE_INFO end{};
    if (!::SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end)) {
        ThrowFileFailure(path, ::GetLastError());
    }
}

}  // namespace

std::optional<File> File::OpenForReading(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    const auto wide = FilePath(path);
    if (!wide) return std::nullopt;
    std::string text(path);
    DWORD error = 0;
    auto handle = OpenPath(*wide, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, error);
    if (!handle) {
        if (IsNoFile(error)) return std::nullopt;
        // A folder refuses a reader that is not one.
        const DWORD attributes = ::GetFileAttributesW(wide->c_str());
        if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return std::nullopt;
        }
        ThrowFileFailure(text, error);
    }
    if (KindOfHandle(handle.Get()) != HandleKind::RegularFile) return std::nullopt;
    return File(Stored(handle.Release()), std::move(text));
}

File File::Create(std::string_view path) {
    std::string text(path);
    auto handle = OpenOrCreate(text, GENERIC_READ | GENERIC_WRITE, 0, &Win::PrivateSecurity());
    Empty(handle.Get(), text);
    return File(Stored(handle.Release()), std::move(text));
}

File File::OpenForAppend(std::string_view path) {
    std::string text(path);
    // Append access alone: the system puts every write at the end, whoever else appends.
    auto handle = OpenOrCreate(text, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, ShareAll, nullptr);
    return File(Stored(handle.Release()), std::move(text));
}

void File::Truncate(std::string_view path) {
    const std::string text(path);
    auto handle = OpenOrCreate(text, GENERIC_WRITE, ShareAll, nullptr);
    Empty(handle.Get(), text);
}

std::optional<std::int64_t> File::SizeOf(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    const auto wide = FilePath(path);
    if (!wide) return std::nullopt;
    DWORD error = 0;
    // Attributes alone: no holder's sharing can refuse it.
    auto handle = OpenPath(*wide, FILE_READ_ATTRIBUTES, ShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, error);
    if (!handle) {
        if (IsNoFile(error)) return std::nullopt;
        ThrowFileFailure(std::string(path), error);
    }
    if (KindOfHandle(handle.Get()) != HandleKind::RegularFile) return std::nullopt;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle.Get(), &size)) ThrowFileFailure(std::string(path), ::GetLastError());
    return size.QuadPart;
}

bool File::Remove(std::string_view path) {
    RequireNoNul(path);
    const std::string text(path);
    const auto wide = FilePath(path);
    if (!wide) ThrowFileFailure(text, ERROR_ACCESS_DENIED);
    DWORD error = 0;
    auto handle = OpenPath(*wide, DELETE | FILE_READ_ATTRIBUTES, ShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           error);
    if (!handle) {
        if (IsNoFile(error)) return false;
        ThrowFileFailure(text, error);
    }
    // A link to a folder is a link; a folder itself stays.
    if (KindOfHandle(handle.Get()) == HandleKind::Folder) ThrowFileFailure(text, ERROR_ACCESS_DENIED);
    // Where the system deletes only at the last close, the name is freed by a move within its folder.
    DeleteOpened(handle.Get(), text, OpenParentFolder(text).Get());
    return true;
}

std::int64_t File::Size() const {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(Native(handle_.Get()), &size)) ThrowFileFailure(path_, ::GetLastError());
    return size.QuadPart;
}

std::size_t File::ReadAt(std::int64_t offset, std::span<std::uint8_t> buffer) const {
    // A read at an offset moves the handle's position here: it is put back, so that the writes
    // after it go on where they were.
    LARGE_INTEGER kept{};
    if (!::SetFilePointerEx(Native(handle_.Get()), LARGE_INTEGER{}, &kept, FILE_CURRENT)) {
        ThrowFileFailure(path_, ::GetLastError());
    }
    struct Restore {
        HANDLE handle;
        LARGE_INTEGER at;
        ~Restore() { (void)::SetFilePointerEx(handle, at, nullptr, FILE_BEGIN); }
    } restore{Native(handle_.Get()), kept};
    std::size_t done = 0;
    while (done < buffer.size()) {
        const auto at = static_cast<std::uint64_t>(offset) + done;
        OVERLAPPED position{};
        position.Offset = static_cast<DWORD>(at);
        position.OffsetHigh = static_cast<DWORD>(at >> 32);
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(buffer.size() - done, MaxPiece));
        DWORD n = 0;
        if (!::ReadFile(Native(handle_.Get()), buffer.data() + done, piece, &n, &position)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_HANDLE_EOF) break;
            ThrowFileFailure(path_, error);
        }
        if (n == 0) break;
        done += n;
    }
    return done;
}

void File::Write(std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, MaxPiece));
        DWORD n = 0;
        if (!::WriteFile(Native(handle_.Get()), bytes.data() + done, piece, &n, nullptr)) {
            ThrowFileFailure(path_, ::GetLastError());
        }
        // A write that takes nothing would never finish.
        if (n == 0) ThrowFileFailure(path_, ERROR_WRITE_FAULT);
        done += n;
    }
}

void File::Close() {
    const auto handle = handle_.Release();
    if (handle != FileHandle::Invalid && !::CloseHandle(Native(handle))) ThrowFileFailure(path_, ::GetLastError());
}

}  // namespace Quillmark::Platform
