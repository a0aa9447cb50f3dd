#include "tests/support/AppSandbox.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace Quillmark::TestSupport {

namespace {

fs::path MakeRoot() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/quillmark-test-XXXXXX";
    if (!mkdtemp(pattern.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    return fs::path(pattern);
}

void CopyExecutable(const fs::path& from, const fs::path& to) {
    if (!fs::exists(from)) throw std::runtime_error("not built: " + from.string());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                    fs::perm_options::replace);
}

// The Windows build's bin/ folder, or the empty path when only this build is at hand.
const fs::path& WindowsBin() {
    static const fs::path bin = [] {
        const char* text = std::getenv("QUILLMARK_TEST_WINDOWS_BIN");
        return text && *text ? fs::absolute(text) : fs::path();
    }();
    return bin;
}

bool ChooseWindows(DaemonBuild build) {
    if (build == DaemonBuild::Windows && WindowsBin().empty())
        throw std::runtime_error("the Windows daemon needs QUILLMARK_TEST_WINDOWS_BIN");
    return build == DaemonBuild::Windows || (build == DaemonBuild::UnderTest && !WindowsBin().empty());
}

}  // namespace

bool AppSandbox::UnderWine() { return !WindowsBin().empty(); }

fs::path AppSandbox::WineLoader() {
    const char* text = std::getenv("QUILLMARK_TEST_WINE");
    return text && *text ? fs::path(text) : fs::path("/usr/lib/wine/wine64");
}

fs::path AppSandbox::BinDir() const { return windows_ ? WindowsBin() : fs::path(QUILLMARK_TEST_BIN_DIR); }

std::string AppSandbox::ForDaemon(const fs::path& path) const {
    if (!windows_) return path.string();
    // Wine's drive Z: is the Unix root.
    std::string text = "Z:" + path.string();
    std::replace(text.begin(), text.end(), '/', '\\');
    return text;
}

AppSandbox::AppSandbox(const std::vector<std::string>& standins, DaemonBuild build)
    : windows_(ChooseWindows(build)), root_(MakeRoot()) {
    fs::create_directories(AppDir());
    fs::create_directories(TmpDir());
    fs::create_directories(ConfigHome());
    CopyExecutable(BinDir() / DaemonPath().filename(), DaemonPath());
    for (const auto& name : standins) AddStandin(name);
}

AppSandbox::~AppSandbox() {
    const char* keep = std::getenv("QUILLMARK_KEEP_TEST_DIRS");
    if (keep && std::string_view(keep) == "1") return;
    std::error_code ignored;
    fs::remove_all(root_, ignored);
}

void AppSandbox::UseDaemon(std::string_view buildName) const {
    CopyExecutable(BinDir() / (std::string(buildName) + (windows_ ? ".exe" : "")), DaemonPath());
}

void AppSandbox::AddStandin(std::string_view name, std::string_view asName) const {
    CopyExecutable(StandinsDir() / std::string(name), AppDir() / std::string(asName.empty() ? name : asName));
}

std::string AppSandbox::ReadLogs() const {
    std::vector<std::pair<long long, fs::path>> files;
    std::error_code ec;
    for (fs::directory_iterator it(LogDir(), ec), end; !ec && it != end; it.increment(ec)) {
        const auto name = it->path().filename().string();
        if (name.size() <= 4 || !name.ends_with(".log")) continue;
        try {
            files.emplace_back(std::stoll(name.substr(0, name.size() - 4)), it->path());
        } catch (const std::exception&) {
        }
    }
    std::sort(files.begin(), files.end());
    std::string all;
    for (const auto& [number, path] : files) all += ReadFile(path);
    return all;
}

bool AppSandbox::WaitForLog(std::string_view text, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (ReadLogs().find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string AppSandbox::ReadStderr() const { return ReadFile(StderrPath()); }

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& path, std::string_view content) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::uint16_t FreeTcpPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        int error = errno;
        ::close(fd);
        throw std::system_error(error, std::generic_category(), "bind");
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

bool WaitForTcpListener(std::uint16_t port, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (connected) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace Quillmark::TestSupport
