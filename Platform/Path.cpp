#include "Platform/Path.hpp"

namespace Quillmark::Platform::Path {

namespace {
bool IsAnySlash(char c) noexcept { return c == '/' || c == '\\'; }

bool IsSeparator(char c, Style style) noexcept { return style == Style::Windows ? IsAnySlash(c) : c == '/'; }

char WrittenSeparator(Style style) noexcept { return style == Style::Windows ? '\\' : '/'; }

bool IsDriveLetter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Where the path component that begins at `from` ends: its separator, or the end.
std::size_t ComponentEnd(std::string_view path, std::size_t from) {
    while (from < path.size() && !IsAnySlash(path[from])) ++from;
    return from;
}

// The server and share after a UNC prefix: "server\share", without the separator after it.
std::size_t UncRootLength(std::string_view path, std::size_t serverStart) {
    const auto serverEnd = ComponentEnd(path, serverStart);
    return serverEnd < path.size() ? ComponentEnd(path, serverEnd + 1) : serverEnd;
}

// How much of the path is its root: "/" on POSIX; on Windows "\", "C:", "C:\",
// "\\server\share" and the device forms "\\?\C:\", "\\?\UNC\server\share", "\\.\name".
std::size_t RootLength(std::string_view path, Style style) {
    if (path.empty()) return 0;
    if (style == Style::Posix) return path.front() == '/' ? 1 : 0;

    auto driveRoot = [&](std::size_t at) -> std::size_t {
        if (path.size() < at + 2 || !IsDriveLetter(path[at]) || path[at + 1] != ':') return 0;
        return path.size() >= at + 3 && IsAnySlash(path[at + 2]) ? at + 3 : at + 2;
    };
    if (auto drive = driveRoot(0)) return drive;
    if (!IsAnySlash(path[0])) return 0;
    if (path.size() < 2 || !IsAnySlash(path[1])) return 1;
    if (path.size() >= 4 && (path[2] == '?' || path[2] == '.') && IsAnySlash(path[3])) {
        if (auto drive = driveRoot(4)) return drive;
        const auto rest = path.substr(4);
        if (rest.size() >= 4 && (rest.substr(0, 3) == "UNC" || rest.substr(0, 3) == "unc") && IsAnySlash(rest[3])) {
            return UncRootLength(path, 8);
        }
        return ComponentEnd(path, 4);
    }
    return UncRootLength(path, 2);
}
}  // namespace

bool IsRooted(std::string_view path, Style style) {
    if (path.empty()) return false;
    if (IsSeparator(path.front(), style)) return true;
    return style == Style::Windows && path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == ':';
}

std::string Join(std::string_view first, std::string_view second, Style style) {
    if (first.empty() || IsRooted(second, style)) return std::string(second);
    std::string joined(first);
    if (second.empty()) return joined;
    if (!IsSeparator(joined.back(), style)) joined += WrittenSeparator(style);
    joined += second;
    return joined;
}

std::string_view GetFileName(std::string_view path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsAnySlash(path[i - 1])) return path.substr(i);
    }
    return path;
}

std::string GetDirectoryName(std::string_view path, Style style) {
    const auto root = RootLength(path, style);
    auto end = path.size();
    if (end <= root) return {};
    while (end > root && !IsSeparator(path[end - 1], style)) --end;
    // Separators repeated before the name belong to the folder part only once.
    while (end > root && IsSeparator(path[end - 1], style)) --end;
    return std::string(path.substr(0, end));
}

std::filesystem::path ToFsPath(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string FromFsPath(const std::filesystem::path& path) {
    auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace Quillmark::Platform::Path
