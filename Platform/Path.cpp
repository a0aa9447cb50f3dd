#include "Platform/Path.hpp"

namespace Quillmark::Platform::Path {

namespace {
// Both are separators when reading a path (log lines name files built on either system);
// only '/' is written.
bool IsSeparator(char c) noexcept { return c == '/' || c == '\\'; }
constexpr char Separator = '/';
}  // namespace

bool IsRooted(std::string_view path) {
    return !path.empty() && path.front() == Separator;
}

std::string Join(std::string_view first, std::string_view second) {
    if (first.empty() || IsRooted(second)) return std::string(second);
    std::string joined(first);
    if (second.empty()) return joined;
    if (joined.back() != Separator) joined += Separator;
    joined += second;
    return joined;
}

std::string_view GetFileName(std::string_view path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (IsSeparator(path[i - 1])) return path.substr(i);
    }
    return path;
}

std::string GetDirectoryName(std::string_view path) {
    auto end = path.find_last_of(Separator);
    if (end == std::string_view::npos) return {};
    // Separators repeated before the name belong to the folder part only once.
    auto folderEnd = end;
    while (folderEnd > 0 && path[folderEnd - 1] == Separator) --folderEnd;
    if (folderEnd == 0) {
        // Directly below the root: the root itself, unless the path is only the root.
        return end + 1 == path.size() ? std::string() : std::string(1, Separator);
    }
    return std::string(path.substr(0, folderEnd));
}

std::filesystem::path ToFsPath(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string FromFsPath(const std::filesystem::path& path) {
    auto text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace Quillmark::Platform::Path
