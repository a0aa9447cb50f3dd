#pragma once
// Path texts are UTF-8 throughout the daemon.

#include <filesystem>
#include <string>
#include <string_view>

namespace Quillmark::Platform::Path {

// Whose rules a path text follows. Windows: both slashes separate, a drive ("C:") roots a
// path and "\" is written; POSIX: only "/" separates and roots, and is written.
enum class Style { Posix, Windows };
// The rules of the system the daemon runs on.
Style NativeStyle() noexcept;

// The platform's join: a separator between the parts unless the first ends with one; an
// empty first part yields the second; a rooted second part replaces the first.
std::string Join(std::string_view first, std::string_view second, Style style = NativeStyle());
// True when the path begins with a separator (or, on Windows, a drive).
bool IsRooted(std::string_view path, Style style = NativeStyle());
// What follows the last backslash or slash, on every system (log lines name source files
// built on either).
std::string_view GetFileName(std::string_view path);
// The folder part of a path without trailing separators, or the empty text when the path has
// none or is a root; a path directly below a root gives the root itself.
std::string GetDirectoryName(std::string_view path, Style style = NativeStyle());
// Conversions between UTF-8 texts and std::filesystem paths.
std::filesystem::path ToFsPath(std::string_view utf8);
std::string FromFsPath(const std::filesystem::path& path);

}  // namespace Quillmark::Platform::Path
