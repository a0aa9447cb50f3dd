#include "Platform/Environment.hpp"

#include "Platform/Path.hpp"

#include <cerrno>
#include <cstdlib>
#include <limits.h>
#include <unistd.h>

#include <vector>

namespace Quillmark::Platform::Environment {

namespace {
std::optional<std::string> NonEmptyVariable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') return std::nullopt;
    return std::string(value);
}

std::string ReadLink(const char* path) {
    std::vector<char> buffer(PATH_MAX);
    for (;;) {
        auto length = ::readlink(path, buffer.data(), buffer.size());
        if (length < 0) return {};
        if (static_cast<std::size_t>(length) < buffer.size()) return std::string(buffer.data(), length);
        buffer.resize(buffer.size() * 2);
    }
}
}  // namespace

std::optional<std::string> GetVariable(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::string GetTempPath() {
    return NonEmptyVariable("TMPDIR").value_or("/tmp");
}

std::string GetUserId() { return std::to_string(::geteuid()); }

std::optional<std::string> GetRoamingAppDataFolder() {
    if (auto config = NonEmptyVariable("XDG_CONFIG_HOME")) return config;
    if (auto home = NonEmptyVariable("HOME")) return Path::Join(*home, ".config");
    return std::nullopt;
}

std::string GetExecutablePath() { return ReadLink("/proc/self/exe"); }

std::string GetMainModuleFileName() { return ReadLink("/proc/self/exe"); }

std::string GetBaseDirectory() {
    auto folder = Path::GetDirectoryName(GetExecutablePath());
    if (folder.empty()) return {};
    if (folder.back() != '/') folder += '/';
    return folder;
}

std::string GetCurrentDirectory() {
    std::vector<char> buffer(PATH_MAX);
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return {};
        buffer.resize(buffer.size() * 2);
    }
    return std::string(buffer.data());
}

}  // namespace Quillmark::Platform::Environment
