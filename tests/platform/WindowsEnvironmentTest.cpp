#include "Platform/Environment.hpp"

#include "Platform/Clock.hpp"
#include "Platform/Path.hpp"

#include "Platform/Windows/Win32.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace Environment = Quillmark::Platform::Environment;
namespace Path = Quillmark::Platform::Path;
namespace fs = std::filesystem;
using namespace Quillmark::Platform;

namespace {
// Sets (or, with nullptr, removes) one variable of this process for a scope.
class ScopedVariable {
public:
    ScopedVariable(const wchar_t* name, const wchar_t* value) : name_(name) {
        wchar_t old[32768];
        const DWORD length = ::GetEnvironmentVariableW(name, old, 32768);
        if (length > 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND) old_ = std::wstring(old, length);
        ::SetEnvironmentVariableW(name, value);
    }
    ~ScopedVariable() { ::SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    std::wstring name_;
    std::optional<std::wstring> old_;
};

// A fresh folder whose name needs more than the ANSI code page, removed at the end.
class WideFolder {
public:
    WideFolder() : path_(fs::temp_directory_path() / (L"quillmark-t\u1EA1i-\u2713-" + std::to_wstring(::GetCurrentProcessId()))) {
        fs::create_directories(path_);
    }
    ~WideFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& Get() const noexcept { return path_; }

private:
    fs::path path_;
};

std::string Utf8(const fs::path& path) { return Path::FromFsPath(path); }
}  // namespace

TEST(WindowsEnvironmentTest, VariablesDistinguishUnsetFromEmptyAndKeepEveryCharacter) {
    const std::wstring longValue = std::wstring(300, L'x') + L"t\u1EA1i \u2713 \U0001D11E";
    struct Case { const wchar_t* value; std::optional<std::string> expected; };
    const Case cases[] = {
        {L"", std::string()},
        {nullptr, std::nullopt},
        {L"1", std::string("1")},
        {longValue.c_str(), std::string(300, 'x') + "t\xE1\xBA\xA1i \xE2\x9C\x93 \xF0\x9D\x84\x9E"},
    };
    for (const auto& c : cases) {
        ScopedVariable variable(L"QUILLMARK_T\u00C9ST_VAR", c.value);
        EXPECT_EQ(Environment::GetVariable("QUILLMARK_T\xC3\x89ST_VAR"), c.expected);
    }
}

TEST(WindowsEnvironmentTest, TempPathNamesAFolderOutsideTheAnsiCodePage) {
    WideFolder folder;
    ScopedVariable tmp(L"TMP", folder.Get().c_str());
    const auto temp = Environment::GetTempPath();
    EXPECT_EQ(temp, Utf8(folder.Get()) + "\\");
    EXPECT_TRUE(fs::is_directory(Path::ToFsPath(temp)));
}

TEST(WindowsEnvironmentTest, RoamingFolderExists) {
    const auto roaming = Environment::GetRoamingAppDataFolder();
    ASSERT_TRUE(roaming.has_value());
    EXPECT_TRUE(Path::IsRooted(*roaming)) << *roaming;
    EXPECT_TRUE(fs::is_directory(Path::ToFsPath(*roaming))) << *roaming;
}

TEST(WindowsEnvironmentTest, ExecutableItsFolderAndTheCurrentDirectory) {
    const auto exe = Environment::GetExecutablePath();
    EXPECT_TRUE(fs::is_regular_file(Path::ToFsPath(exe))) << exe;
    EXPECT_EQ(Path::GetFileName(exe), "tests_platform.exe");
    EXPECT_EQ(Environment::GetMainModuleFileName(), exe);
    const auto base = Environment::GetBaseDirectory();
    ASSERT_FALSE(base.empty());
    EXPECT_EQ(base.back(), '\\');
    EXPECT_EQ(base + "tests_platform.exe", exe);

    WideFolder folder;
    const auto previous = fs::current_path();
    fs::current_path(folder.Get());
    const auto current = Environment::GetCurrentDirectory();
    fs::current_path(previous);
    EXPECT_EQ(current, Utf8(folder.Get()));
}

TEST(WindowsClockTest, UtcLocalTimeAndOffsetAgree) {
    SystemClock clock;
    const auto utc = clock.UtcNowTicks();
    // 2020-01-01 and 2200-01-01: a wrong epoch lands far outside.
    EXPECT_GT(utc, 637'134'336'000'000'000);
    EXPECT_LT(utc, 693'937'152'000'000'000);
    const auto offset = clock.LocalOffsetTicksAt(utc);
    EXPECT_EQ(offset % (15 * 60 * TicksPerSecond), 0);
    const auto local = clock.LocalNow();
    SYSTEMTIME parts{static_cast<WORD>(local.Year), static_cast<WORD>(local.Month), 0, static_cast<WORD>(local.Day),
                     static_cast<WORD>(local.Hour), static_cast<WORD>(local.Minute),
                     static_cast<WORD>(local.Second), 0};
    FILETIME file{};
    ASSERT_TRUE(::SystemTimeToFileTime(&parts, &file));
    const auto localTicks = 504'911'232'000'000'000 +
                            static_cast<std::int64_t>((std::uint64_t{file.dwHighDateTime} << 32) | file.dwLowDateTime);
    // The local reading is the UTC one moved by the offset (give or take the moments between
    // the reads).
    EXPECT_LT(std::llabs(localTicks - (utc + offset)), 120 * TicksPerSecond);
    // Moments the system cannot convert still get an offset.
    EXPECT_EQ(clock.LocalOffsetTicksAt(0), clock.LocalOffsetTicksAt(504'911'232'000'000'000));
}
