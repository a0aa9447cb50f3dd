#include "Platform/File/Windows/FileSystemCalls.hpp"

#include "Platform/Failure.hpp"
#include "Platform/File/NameComponents.hpp"
#include "Platform/Path.hpp"
#include "Platform/Text/Ascii.hpp"
#include "Platform/Windows/Security.hpp"

#include <winternl.h>

#include <atomic>
#include <cstdio>
#include <vector>

extern "C" ULONG NTAPI RtlIsDosDeviceName_U(PCWSTR path);

namespace Quillmark::Platform::FileSystemCalls {

namespace Win = Platform::Windows;

namespace {

constexpr LONG StatusObjectNameNotFound = static_cast<LONG>(0xC0000034);
constexpr LONG StatusObjectPathNotFound = static_cast<LONG>(0xC000003A);
constexpr LONG StatusNotADirectory = static_cast<LONG>(0xC0000103);
constexpr LONG StatusDeletePending = static_cast<LONG>(0xC0000056);
constexpr LONG StatusObjectNameInvalid = static_cast<LONG>(0xC0000033);

// The class number of FileDispositionInfoEx, which the headers hide behind a later version.
constexpr auto DispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool EqualsIgnoreCase(std::wstring_view text, std::string_view ascii) {
    if (text.size() != ascii.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] > 0x7F || Text::ToLowerAscii(static_cast<char>(text[i])) != Text::ToLowerAscii(ascii[i])) {
            return false;
        }
    }
    return true;
}

// "\\server\share\..." with the pipe or mail slot share: a local or remote pipe, not a file.
bool IsPipeShare(std::wstring_view unc) {
    const auto server = unc.find_first_of(L"\\/");
    if (server == std::wstring_view::npos) return false;
    auto share = unc.substr(server + 1);
    share = share.substr(0, share.find_first_of(L"\\/"));
    return EqualsIgnoreCase(share, "pipe") || EqualsIgnoreCase(share, "mailslot");
}

std::wstring UniqueGraveName() {
    static std::atomic<unsigned> counter = 0;
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    wchar_t name[96];
    std::swprintf(name, std::size(name), L"quillmark-deleted-%lx-%x-%llx", ::GetCurrentProcessId(), counter++,
                  static_cast<unsigned long long>(now.QuadPart));
    return name;
}

// Moves the open entry into the open folder under a name of its own; false when the system
// refuses. The native call: the Win32 one reads a name below a folder as below the current one.
bool MoveInto(HANDLE handle, HANDLE folder) {
    const auto target = UniqueGraveName();
    const auto bytes = target.size() * sizeof(wchar_t);
    std::vector<std::byte> buffer(sizeof(FILE_RENAME_INFORMATION) + bytes);
    auto* rename = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = folder;
    rename->FileNameLength = static_cast<ULONG>(bytes);
    std::copy(target.begin(), target.end(), rename->FileName);
    IO_STATUS_BLOCK io{};
    return ::NtSetInformationFile(handle, &io, rename, static_cast<ULONG>(buffer.size()), FileRenameInformation) >= 0;
}

}  // namespace

void ThrowFileFailure(const std::string& path, DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        throw IoFailure(PlatformText("IO_PathNotFound_Path", {path}));
    case ERROR_ACCESS_DENIED:
        throw IoFailure(PlatformText("UnauthorizedAccess_IODenied_Path", {path}));
    default:
        throw IoFailure(Win::DescribeError(error) + " : '" + path + "'");
    }
}

void ThrowStatusFailure(const std::string& path, LONG status) { ThrowFileFailure(path, ::RtlNtStatusToDosError(status)); }

void RequireNoNul(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) throw ArgumentFailure("Argument_NullCharInPath", "path");
}

bool IsDevicePath(std::wstring_view path) {
    if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) && (path[2] == L'.' || path[2] == L'?') &&
        IsSeparator(path[3])) {
        const auto rest = path.substr(4);
        // The long forms of a drive path and of a UNC path are files; everything else there is
        // the system's namespace of devices.
        if (rest.size() >= 2 && IsDriveLetter(rest[0]) && rest[1] == L':' && (rest.size() == 2 || IsSeparator(rest[2]))) {
            return false;
        }
        if (rest.size() >= 4 && EqualsIgnoreCase(rest.substr(0, 3), "unc") && IsSeparator(rest[3])) {
            return IsPipeShare(rest.substr(4));
        }
        return true;
    }
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1]) && IsPipeShare(path.substr(2))) return true;
    const std::wstring terminated(path);
    return ::RtlIsDosDeviceName_U(terminated.c_str()) != 0;
}

HandleKind KindOfHandle(HANDLE handle) {
    if (::GetFileType(handle) != FILE_TYPE_DISK) return HandleKind::Other;
    FILE_ATTRIBUTE_TAG_INFO info{};
    if (!::GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info)) return HandleKind::Other;
    if (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return HandleKind::Other;
    if (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) return HandleKind::Folder;
    return HandleKind::RegularFile;
}

UniqueHandle OpenPath(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags,
                      DWORD& error, SECURITY_ATTRIBUTES* security) {
    UniqueHandle handle(::CreateFileW(path.c_str(), access, share, security, disposition,
                                      flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    error = handle ? ERROR_SUCCESS : ::GetLastError();
    return handle;
}

UniqueHandle OpenBelow(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG share, ULONG disposition,
                       ULONG options, LONG& status, bool privateSecurity) {
    if (name.size() * sizeof(wchar_t) > 0xFFFE) {
        status = StatusObjectNameInvalid;  // too long to be a name
        return {};
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.data());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder,
                               privateSecurity ? Win::PrivateSecurity().lpSecurityDescriptor : nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE handle = nullptr;
    status = ::NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                            disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return status >= 0 ? UniqueHandle(handle) : UniqueHandle();
}

bool IsMissing(LONG status) {
    return status == StatusObjectNameNotFound || status == StatusObjectPathNotFound || status == StatusNotADirectory ||
           status == StatusDeletePending || status == StatusObjectNameInvalid;
}

Walk WalkBelow(HANDLE folder, std::string_view name, const std::string& shownPath) {
    Walk walk;
    walk.parent = folder;
    // A colon names a stream of a file, or a drive.
    const auto split = NameComponents::Split(name, "/\\", ":");
    if (!split) {
        walk.outcome = Walk::Outcome::Refused;
        return walk;
    }
    const auto& components = *split;
    if (components.empty()) return walk;
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        LONG status = 0;
        auto next = OpenBelow(walk.parent, Win::Widen(components[i]), FILE_LIST_DIRECTORY | FILE_TRAVERSE |
                              FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                              FILE_DIRECTORY_FILE, status);
        if (!next) {
            if (IsMissing(status)) {
                walk.outcome = Walk::Outcome::Missing;
                return walk;
            }
            ThrowStatusFailure(shownPath, status);
        }
        if (KindOfHandle(next.Get()) != HandleKind::Folder) {
            walk.outcome = Walk::Outcome::Refused;
            return walk;
        }
        walk.owned = std::move(next);
        walk.parent = walk.owned.Get();
    }
    walk.last = Win::Widen(components.back());
    return walk;
}

void DeleteOpened(HANDLE handle, const std::string& shownPath, HANDLE graveyard) {
    // The name goes at once even while a holder that shared deletion keeps the file open.
    for (DWORD flags : {FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                            FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE,
                        FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS}) {
        FILE_DISPOSITION_INFO_EX disposition{flags};
        if (::SetFileInformationByHandle(handle, DispositionInfoEx, &disposition, sizeof disposition)) return;
        const DWORD error = ::GetLastError();
        // Systems before Windows 10 1607, file systems without it and Wine know no such deletion.
        if (error != ERROR_INVALID_PARAMETER && error != ERROR_NOT_SUPPORTED && error != ERROR_INVALID_FUNCTION) {
            ThrowFileFailure(shownPath, error);
        }
    }
    // Here the name would stay until the last handle closes.
    if (graveyard != nullptr) (void)MoveInto(handle, graveyard);
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition)) {
        ThrowFileFailure(shownPath, ::GetLastError());
    }
}

UniqueHandle OpenParentFolder(const std::string& path) {
    const auto parent = Path::GetDirectoryName(path);
    if (parent.empty()) return {};
    DWORD ignored = 0;
    return OpenPath(Win::Widen(parent), FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY, FILE_SHARE_READ |
                    FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, ignored);
}

}  // namespace Quillmark::Platform::FileSystemCalls
