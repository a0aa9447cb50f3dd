#pragma once
// A throw-away installation of the daemon for one process test.
//
//   Quillmark::TestSupport::AppSandbox box({"Quillmark.Updater.exe"});
//   // box.AppDir() holds Quillmark.Daemon and the chosen stand-ins (copied from this build's
//   // bin/ and bin/standins/); box.TmpDir() and box.ConfigHome() become the daemon's TMPDIR
//   // and XDG_CONFIG_HOME when it is started through DaemonProcess.
//   Quillmark::TestSupport::DaemonProcess daemon(box, {"chrome-extension://abc/"});
//
// Everything lives under one fresh folder in the test's own temporary directory and is removed
// when the sandbox goes (set QUILLMARK_KEEP_TEST_DIRS=1 to keep it for a post-mortem).
//
// The daemon under test is this build's, or the Windows build's run under Wine when
// QUILLMARK_TEST_WINDOWS_BIN names that build's bin/ folder (QUILLMARK_TEST_WINE names the
// Wine loader, /usr/lib/wine/wine64 by default) and runs in this build's Wine prefix, which
// the test wine.prefix.start makes. The Windows daemon takes the same folders as its TEMP and
// its roaming AppData, through the prefix's registry (tests/support/wine-prefix.sh).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::TestSupport {

enum class DaemonBuild {
    UnderTest,  // the Windows build when QUILLMARK_TEST_WINDOWS_BIN is set, else this one
    Linux,      // this build's
    Windows,    // the Windows build's, under Wine (needs QUILLMARK_TEST_WINDOWS_BIN)
};

class AppSandbox {
public:
    // Copies the daemon and the named stand-ins (file names such as "Quillmark.Updater.exe").
    explicit AppSandbox(const std::vector<std::string>& standins = {}, DaemonBuild build = DaemonBuild::UnderTest);
    ~AppSandbox();
    AppSandbox(const AppSandbox&) = delete;
    AppSandbox& operator=(const AppSandbox&) = delete;

    // True when the daemon under test is the Windows build under Wine.
    static bool UnderWine();
    // The Wine loader that starts the Windows daemon.
    static std::filesystem::path WineLoader();

    // Copies one more stand-in into the app directory, under its own name or under asName.
    void AddStandin(std::string_view name, std::string_view asName = {}) const;
    // Puts another build of the daemon (its name without ".exe") from the same bin/ in the daemon's place.
    void UseDaemon(std::string_view buildName) const;

    // True when this sandbox holds the Windows daemon.
    bool Windows() const noexcept { return windows_; }
    // An absolute path as this sandbox's daemon names it: unchanged on Linux, "Z:\..." under Wine.
    std::string ForDaemon(const std::filesystem::path& path) const;

    const std::filesystem::path& Root() const noexcept { return root_; }
    std::filesystem::path AppDir() const { return root_ / "app"; }
    std::filesystem::path DaemonPath() const { return AppDir() / (windows_ ? "Quillmark.Daemon.exe" : "Quillmark.Daemon"); }
    // The daemon's TMPDIR (Windows: TEMP) and its own temporary folder below it.
    std::filesystem::path TmpDir() const { return root_ / "tmp"; }
    std::filesystem::path TempFolder() const { return TmpDir() / "Quillmark"; }
    // The daemon's XDG_CONFIG_HOME (Windows: roaming AppData), its data folder and log folder below it.
    std::filesystem::path ConfigHome() const { return root_ / "config"; }
    std::filesystem::path DataDir() const { return ConfigHome() / "Quillmark"; }
    std::filesystem::path LogDir() const { return DataDir() / "Logs"; }
    // Where DaemonProcess sends the daemon's standard error.
    std::filesystem::path StderrPath() const { return root_ / "stderr.txt"; }

    // Every log file (names "<integer>.log", in numeric order) joined into one text.
    std::string ReadLogs() const;
    // Polls the logs until they contain the text; false when the wait runs out.
    bool WaitForLog(std::string_view text, std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;
    // The daemon's standard error so far (for failure messages).
    std::string ReadStderr() const;

private:
    // The folders the daemon and the stand-ins are copied from.
    std::filesystem::path BinDir() const;
    std::filesystem::path StandinsDir() const { return BinDir() / "standins"; }

    bool windows_;
    std::filesystem::path root_;
};

// Reads a whole file; the empty text when it is missing.
std::string ReadFile(const std::filesystem::path& path);
// Writes a whole file, creating its folders.
void WriteFile(const std::filesystem::path& path, std::string_view content);
// A TCP port on 127.0.0.1 that was free a moment ago.
std::uint16_t FreeTcpPort();
// Polls until something accepts TCP connections on 127.0.0.1:port; false when the wait runs out.
bool WaitForTcpListener(std::uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace Quillmark::TestSupport
