#pragma once
// What a test can see of the children this process started and of the descriptors (handles) it
// holds.

#ifdef _WIN32
#include "Platform/Windows/Win32.hpp"
#else
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace Quillmark::Tests {

// Polls the condition until it holds; false once the bound runs out.
inline bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds bound = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The "name value" lines a stand-in wrote about itself.
inline std::map<std::string, std::string> ReadFacts(const std::filesystem::path& file) {
    std::map<std::string, std::string> facts;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const auto blank = line.find(' ');
        if (blank != std::string::npos) facts[line.substr(0, blank)] = line.substr(blank + 1);
    }
    return facts;
}

// Sets the variable for this process and the programs it starts, or with nothing unsets it.
inline void SetVariable(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
    ::SetEnvironmentVariableW(Platform::Windows::Widen(name).c_str(),
                              value ? Platform::Windows::Widen(*value).c_str() : nullptr);
#else
    if (value) ::setenv(name, value->c_str(), 1); else ::unsetenv(name);
#endif
}

#ifdef _WIN32

// How many handles this process holds.
inline DWORD HandlesHeld() {
    DWORD count = 0;
    ::GetProcessHandleCount(::GetCurrentProcess(), &count);
    return count;
}

#else

// Our children, running or ended but never waited for.
inline int Children() {
    namespace fs = std::filesystem;
    int count = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc", error)) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string all((std::istreambuf_iterator<char>(stat)), {});
        const auto close = all.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(all.substr(close + 2));
        char state = 0;
        int parent = 0;
        fields >> state >> parent;
        if (state != 0 && parent == ::getpid()) ++count;
    }
    return count;
}

// How many of our descriptors lead to targets the predicate accepts, as /proc names them
// ("pipe:[1234]", "/dev/null").
inline int DescriptorsTo(const std::function<bool(const std::string&)>& accept) {
    namespace fs = std::filesystem;
    int count = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", error)) {
        std::error_code unreadable;
        const auto target = fs::read_symlink(entry.path(), unreadable);
        if (!unreadable && accept(target.string())) ++count;
    }
    return count;
}

inline int DescriptorsTo(const std::string& target) {
    return DescriptorsTo([&](const std::string& each) { return each == target; });
}

inline int PipesHeld() {
    return DescriptorsTo([](const std::string& each) { return each.starts_with("pipe:"); });
}

#endif

// What this process held when made, to tell later that nothing of the children started since
// stays with it.
class Holdings {
public:
    // True once every child started since has been waited for and no pipe to it is held
    // (POSIX), or once no handle beyond those held at the start is (Windows). `facts` is what a
    // stand-in wrote about itself, naming its output pipe.
    bool Released([[maybe_unused]] const std::filesystem::path& facts) const {
#ifdef _WIN32
        return HandlesHeld() <= handles_;
#else
        const auto pipe = ReadFacts(facts)["1"];
        return Children() == 0 && (pipe.empty() || DescriptorsTo(pipe) == 0);
#endif
    }

private:
#ifdef _WIN32
    DWORD handles_ = HandlesHeld();
#endif
};

}  // namespace Quillmark::Tests
