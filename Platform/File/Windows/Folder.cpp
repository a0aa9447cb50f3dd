#include "Platform/File/Folder.hpp"

#include "Platform/File/Windows/FileSystemCalls.hpp"
#include "Platform/Path.hpp"
#include "Platform/Windows/Security.hpp"

#include <aclapi.h>
#include <winternl.h>

#include <filesystem>
#include <memory>
#include <system_error>
#include <utility>
#include <vector>

namespace Quillmark::Platform {

using namespace FileSystemCalls;
namespace Win = Platform::Windows;

namespace {

constexpr ULONG ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Deeper than this, a tree is not taken apart: no folder of ours nests so far.
constexpr int MaxTreeDepth = 128;
// Room for one batch of a folder's entries.
constexpr DWORD ListingBytes = 64 * 1024;

HANDLE Native(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// The path that a failure names.
std::string Shown(const std::string& folder, std::string_view name) { return Path::Join(folder, name); }

// The entry's own handle for removal, never through a reparse point standing at it. No access to
// its data: a holder that shared only its deletion does not refuse it.
UniqueHandle OpenForRemoval(HANDLE parent, const std::wstring& name, LONG& status) {
    return OpenBelow(parent, name, DELETE | FILE_READ_ATTRIBUTES, ShareAll, FILE_OPEN, 0, status);
}

void RemoveContents(HANDLE folder, const std::string& shown, HANDLE graveyard, int depth);

// Removes the open entry: a folder with what it holds, anything else (a reparse point too) itself.
void RemoveEntry(HANDLE entry, const std::string& shown, HANDLE graveyard, int depth) {
    if (KindOfHandle(entry) == HandleKind::Folder) {
        if (depth >= MaxTreeDepth) ThrowFileFailure(shown, ERROR_ACCESS_DENIED);
        // The same folder again, for its listing: an empty name below a handle is the handle's own.
        LONG status = 0;
        const auto listing = OpenBelow(entry, L"", FILE_LIST_DIRECTORY, ShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, status);
        if (!listing) ThrowStatusFailure(shown, status);
        RemoveContents(listing.Get(), shown, graveyard, depth + 1);
    }
    DeleteOpened(entry, shown, graveyard);
}

void RemoveContents(HANDLE folder, const std::string& shown, HANDLE graveyard, int depth) {
    // The entries are removed batch by batch as the listing goes on; one that cannot go ends
    // the walk with its failure, leaving what it has not reached.
    auto buffer = std::make_unique<std::byte[]>(ListingBytes);
    FILE_INFO_BY_HANDLE_CLASS batch = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!::GetFileInformationByHandleEx(folder, batch, buffer.get(), ListingBytes)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_NO_MORE_FILES) return;
            ThrowFileFailure(shown, error);
        }
        batch = FileIdBothDirectoryInfo;
        for (std::size_t offset = 0;;) {
            const auto* info = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.get() + offset);
            const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                const auto entryShown = Shown(shown, Win::Narrow(name));
                LONG status = 0;
                auto entry = OpenForRemoval(folder, name, status);
                if (entry) {
                    RemoveEntry(entry.Get(), entryShown, graveyard, depth);
                } else if (!IsMissing(status)) {
                    ThrowStatusFailure(entryShown, status);
                }
            }
            if (info->NextEntryOffset == 0) break;
            offset += info->NextEntryOffset;
        }
    }
}

}  // namespace

std::optional<Folder> Folder::Open(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) return std::nullopt;
    const auto wide = Win::Widen(path);
    if (IsDevicePath(wide)) return std::nullopt;
    std::string text(path);
    DWORD error = 0;
    // Others may rename or remove it meanwhile: names are resolved against this handle alone.
    auto handle = OpenPath(wide, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL, ShareAll,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, error);
    if (!handle) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
            error == ERROR_DIRECTORY) {
            return std::nullopt;
        }
        ThrowFileFailure(text, error);
    }
    if (KindOfHandle(handle.Get()) != HandleKind::Folder) return std::nullopt;
    return Folder(reinterpret_cast<std::intptr_t>(handle.Release()), std::move(text));
}

void Folder::CreatePrivate(std::string_view path) {
    RequireNoNul(path);
    const std::string text(path);
    const auto parent = Path::GetDirectoryName(text);
    if (!parent.empty()) {
        std::error_code error;
        std::filesystem::create_directories(Path::ToFsPath(parent), error);
        if (error) ThrowFileFailure(parent, static_cast<DWORD>(error.value()));
    }
    const auto wide = Win::Widen(text);
    if (IsDevicePath(wide)) ThrowFileFailure(text, ERROR_ACCESS_DENIED);
    if (::CreateDirectoryW(wide.c_str(), &Win::PrivateSecurity())) return;
    const DWORD error = ::GetLastError();
    // What stands there already is judged by whoever opens it next; a reparse point is no folder.
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (error == ERROR_ALREADY_EXISTS && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        return;
    }
    ThrowFileFailure(text, error == ERROR_ALREADY_EXISTS ? ERROR_ACCESS_DENIED : error);
}

bool Folder::RemoveTree(std::string_view path) {
    RequireNoNul(path);
    const std::string text(path);
    const auto wide = Win::Widen(text);
    if (IsDevicePath(wide)) ThrowFileFailure(text, ERROR_ACCESS_DENIED);
    DWORD error = 0;
    auto root = OpenPath(wide, DELETE | FILE_READ_ATTRIBUTES, ShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, error);
    if (!root) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
        ThrowFileFailure(text, error);
    }
    // Entries that others hold open wait beside the folder, where the system deletes them at
    // their close; without a folder above, they keep the folder from going.
    const auto graveyard = OpenParentFolder(text);
    RemoveEntry(root.Get(), text, graveyard.Get(), 0);
    return true;
}

bool Folder::IsPrivate() const {
    if (KindOfHandle(Native(handle_.Get())) != HandleKind::Folder) return false;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(Native(handle_.Get()), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                          &owner, nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool isPrivate = Win::IsPrivateFolderSecurity(owner, dacl);
    ::LocalFree(descriptor);
    return isPrivate;
}

Folder::EntryKind Folder::KindOf(std::string_view name) const {
    const auto shown = Shown(path_, name);
    const auto walk = WalkBelow(Native(handle_.Get()), name, shown);
    if (walk.outcome == Walk::Outcome::Missing) return EntryKind::Missing;
    if (walk.outcome == Walk::Outcome::Refused || walk.last.empty()) return EntryKind::Other;
    LONG status = 0;
    const auto entry = OpenBelow(walk.parent, walk.last, FILE_READ_ATTRIBUTES, ShareAll, FILE_OPEN, 0, status);
    if (!entry) {
        if (IsMissing(status)) return EntryKind::Missing;
        ThrowStatusFailure(shown, status);
    }
    return KindOfHandle(entry.Get()) == HandleKind::RegularFile ? EntryKind::RegularFile : EntryKind::Other;
}

std::optional<File> Folder::OpenForReading(std::string_view name) const {
    auto shown = Shown(path_, name);
    const auto walk = WalkBelow(Native(handle_.Get()), name, shown);
    if (walk.outcome != Walk::Outcome::Found || walk.last.empty()) return std::nullopt;
    LONG status = 0;
    auto entry = OpenBelow(walk.parent, walk.last, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, FILE_NON_DIRECTORY_FILE,
                           status);
    if (!entry) {
        constexpr LONG FileIsADirectory = static_cast<LONG>(0xC00000BA);
        if (IsMissing(status) || status == FileIsADirectory) return std::nullopt;
        ThrowStatusFailure(shown, status);
    }
    if (KindOfHandle(entry.Get()) != HandleKind::RegularFile) return std::nullopt;
    return File(reinterpret_cast<File::NativeHandle>(entry.Release()), std::move(shown));
}

File Folder::Create(std::string_view name) const {
    RequireNoNul(name);
    auto shown = Shown(path_, name);
    const auto walk = WalkBelow(Native(handle_.Get()), name, shown);
    if (walk.outcome == Walk::Outcome::Missing) ThrowFileFailure(shown, ERROR_PATH_NOT_FOUND);
    if (walk.outcome == Walk::Outcome::Refused || walk.last.empty()) ThrowFileFailure(shown, ERROR_ACCESS_DENIED);
    LONG status = 0;
    auto entry = OpenBelow(walk.parent, walk.last, GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN_IF,
                           FILE_NON_DIRECTORY_FILE, status, true);
    if (!entry) ThrowStatusFailure(shown, status);
    if (KindOfHandle(entry.Get()) != HandleKind::RegularFile) ThrowFileFailure(shown, ERROR_ACCESS_DENIED);
    FILE_END_OF_FILE_INFO end{};
    if (!::SetFileInformationByHandle(entry.Get(), FileEndOfFileInfo, &end, sizeof end)) {
        ThrowFileFailure(shown, ::GetLastError());
    }
    return File(reinterpret_cast<File::NativeHandle>(entry.Release()), std::move(shown));
}

bool Folder::Remove(std::string_view name) const {
    RequireNoNul(name);
    const auto shown = Shown(path_, name);
    const auto walk = WalkBelow(Native(handle_.Get()), name, shown);
    if (walk.outcome == Walk::Outcome::Missing) return false;
    if (walk.outcome == Walk::Outcome::Refused || walk.last.empty()) ThrowFileFailure(shown, ERROR_ACCESS_DENIED);
    LONG status = 0;
    const auto entry = OpenForRemoval(walk.parent, walk.last, status);
    if (!entry) {
        if (IsMissing(status)) return false;
        ThrowStatusFailure(shown, status);
    }
    if (KindOfHandle(entry.Get()) == HandleKind::Folder) ThrowFileFailure(shown, ERROR_ACCESS_DENIED);
    DeleteOpened(entry.Get(), shown, walk.parent);
    return true;
}

}  // namespace Quillmark::Platform
