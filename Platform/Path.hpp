#pragma once
// Path texts are UTF-8 throughout the daemon.

#include <filesystem>
#include <string>
#include <string_view>

namespace Quillmark::Platform::Path {

// The platform's join: a separator between the parts unless the first ends with one; an
// empty first part yields the second; a rooted second part replaces the first.
std::string Join(std::string_view first, std::string_view second);
// True when the path begins with a separator (or, on Windows, a drive).
bool IsRooted(std::string_view path);
// What follows the last backslash or slash.
std::string_view GetFileName(std::string_view path);
// The folder part of a path (without a trailing separator), or the empty text.
std::string GetDirectoryName(std::string_view path);
// Conversions between UTF-8 texts and std::filesystem paths.
std::filesystem::path ToFsPath(std::string_view utf8);
std::string FromFsPath(const std::filesystem::path& path);

}  // namespace Quillmark::Platform::Path
