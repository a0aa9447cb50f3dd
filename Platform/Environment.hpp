#pragma once
// Questions the daemon asks of the operating system about itself and its user.

#include <optional>
#include <string>
#include <string_view>

namespace Quillmark::Platform::Environment {

// The variable's value, or nothing when it is unset.
std::optional<std::string> GetVariable(std::string_view name);
// The current user's temporary directory.
std::string GetTempPath();
// The current user's identity as a short text fit for a file name (the numeric user id on
// POSIX, the security identifier's text on Windows).
std::string GetUserId();
// The roaming application-data folder from the known-folder query, or nothing when the query fails.
std::optional<std::string> GetRoamingAppDataFolder();
// The folder of the running executable, with a trailing separator.
std::string GetBaseDirectory();
// The running executable's full path.
std::string GetExecutablePath();
// The file name of the process's main module.
std::string GetMainModuleFileName();
// The process's current working directory.
std::string GetCurrentDirectory();

}  // namespace Quillmark::Platform::Environment
