#pragma once
// Small helpers for tests that bend the environment or need a private folder, on both systems.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "Platform/Environment.hpp"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace Quillmark::Tests {

// Sets (or, with nullptr, unsets) one variable for a scope and puts the old value back. On
// Windows in the process's own environment block, which the system and child processes read
// (an empty value stays set there, unlike in the C runtime's copy).
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        old_ = Get(name);
        Set(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    ScopedVariable(const char* name, const std::filesystem::path& value)
        : ScopedVariable(name, Utf8(value).c_str()) {}
    ~ScopedVariable() { Set(name_.c_str(), old_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

    static std::string Utf8(const std::filesystem::path& path) {
        const auto text = path.u8string();
        return std::string(text.begin(), text.end());
    }

private:
#ifdef _WIN32
    static std::wstring Wide(std::string_view utf8) {
        return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())).wstring();
    }
    static std::optional<std::string> Get(const char* name) {
        const auto wide = Wide(name);
        const DWORD size = ::GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
        if (size == 0) return std::nullopt;
        std::wstring value(size, L'\0');
        value.resize(::GetEnvironmentVariableW(wide.c_str(), value.data(), size));
        return Utf8(value);
    }
    static void Set(const char* name, const std::optional<std::string>& value) {
        ::SetEnvironmentVariableW(Wide(name).c_str(), value ? Wide(*value).c_str() : nullptr);
    }
#else
    static std::optional<std::string> Get(const char* name) {
        const char* value = std::getenv(name);
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    static void Set(const char* name, const std::optional<std::string>& value) {
        if (value) ::setenv(name, value->c_str(), 1); else ::unsetenv(name);
    }
#endif

    std::string name_;
    std::optional<std::string> old_;
};

// A fresh folder below the system's temporary directory, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
#ifdef _WIN32
        // A name nobody else holds: creating an existing folder fails, so the first that is
        // made is ours.
        std::mt19937_64 random(std::random_device{}());
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            auto candidate = std::filesystem::temp_directory_path() / ("quillmark-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(candidate)) path_ = candidate;
        }
        if (path_.empty()) throw std::runtime_error("no fresh temporary folder");
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "quillmark-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
#endif
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::filesystem::path& Path() const noexcept { return path_; }
    std::string operator/(std::string_view name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Points the user's roaming folder (XDG_CONFIG_HOME; on Windows the roaming AppData, which the
// test Wine prefix reads from QM_APPDATA) at a folder for a scope. Windows itself moves it for
// no single process: Moved() tells whether it took.
class ScopedRoamingFolder {
public:
    explicit ScopedRoamingFolder(const std::filesystem::path& folder)
#ifdef _WIN32
        : folder_(folder), variable_("QM_APPDATA", folder) {}
#else
        : folder_(folder), variable_("XDG_CONFIG_HOME", folder) {}
#endif
    bool Moved() const {
        const auto roaming = Platform::Environment::GetRoamingAppDataFolder();
        std::error_code ignored;
        return roaming && std::filesystem::equivalent(std::filesystem::path(std::u8string(roaming->begin(), roaming->end())),
                                                      folder_, ignored);
    }

private:
    std::filesystem::path folder_;
    ScopedVariable variable_;
};

inline std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteAll(const std::filesystem::path& path, std::string_view content) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// Polls for a file to appear; false once the wait runs out.
inline bool WaitForFile(const std::filesystem::path& path,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!std::filesystem::exists(path)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// How a stand-in executable was started, read back from its record file.
struct StandinRecord {
    std::vector<std::string> Arguments;
    std::string WorkingDirectory;
    std::vector<std::string> Environment;

    bool HasVariable(std::string_view entry) const {
        for (const auto& e : Environment) {
            if (e == entry) return true;
        }
        return false;
    }
};

inline StandinRecord ReadStandinRecord(const std::filesystem::path& path) {
    StandinRecord record;
    // Every whole record names a working folder. Under Wine a file just renamed into place can
    // refuse a reader for a moment, which would read as a record without arguments.
    std::string text = ReadAll(path);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    const std::string_view whole("cwd\0", 4);
    while (text.find(whole) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        text = ReadAll(path);
    }
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\0', start)) != std::string::npos; start = end + 1) {
        parts.push_back(text.substr(start, end - start));
    }
    for (std::size_t i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i] == "arg") record.Arguments.push_back(parts[i + 1]);
        else if (parts[i] == "cwd") record.WorkingDirectory = parts[i + 1];
        else if (parts[i] == "env") record.Environment.push_back(parts[i + 1]);
    }
    return record;
}

}  // namespace Quillmark::Tests
