#pragma once
// Small helpers for tests that bend the environment or need a private folder.

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace Quillmark::Tests {

// Sets (or, with nullptr, unsets) one variable for a scope and puts the old value back.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value) ::setenv(name, value, 1); else ::unsetenv(name);
    }
    ~ScopedVariable() {
        if (old_) ::setenv(name_.c_str(), old_->c_str(), 1); else ::unsetenv(name_.c_str());
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// A fresh folder below the system's temporary directory, removed with everything in it.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillmark-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
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
    const auto text = ReadAll(path);
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
