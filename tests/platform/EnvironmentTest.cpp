#include "Platform/Environment.hpp"

#include "tests/common/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace Environment = Quillmark::Platform::Environment;

using Quillmark::Tests::ScopedVariable;

TEST(EnvironmentTest, VariablesDistinguishUnsetFromEmpty) {
    ScopedVariable set("QUILLMARK_TEST_VAR", "");
    EXPECT_EQ(Environment::GetVariable("QUILLMARK_TEST_VAR"), std::optional<std::string>(""));
    ScopedVariable unset("QUILLMARK_TEST_VAR", nullptr);
    EXPECT_EQ(Environment::GetVariable("QUILLMARK_TEST_VAR"), std::nullopt);
}

TEST(EnvironmentTest, TempPathPrefersANonEmptyTmpdir) {
    {
        ScopedVariable tmp("TMPDIR", "/var/tmp/q");
        EXPECT_EQ(Environment::GetTempPath(), "/var/tmp/q");
    }
    for (const char* value : {"", static_cast<const char*>(nullptr)}) {
        ScopedVariable tmp("TMPDIR", value);
        EXPECT_EQ(Environment::GetTempPath(), "/tmp");
    }
}

TEST(EnvironmentTest, RoamingFolderFromXdgThenHome) {
    struct Case { const char* xdg; const char* home; std::optional<std::string> folder; };
    const Case cases[] = {
        {"/x/config", "/home/u", "/x/config"},
        {"", "/home/u", "/home/u/.config"},
        {nullptr, "/home/u/", "/home/u/.config"},
        {nullptr, nullptr, std::nullopt},
        {"", "", std::nullopt},
    };
    for (const auto& c : cases) {
        ScopedVariable xdg("XDG_CONFIG_HOME", c.xdg);
        ScopedVariable home("HOME", c.home);
        EXPECT_EQ(Environment::GetRoamingAppDataFolder(), c.folder);
    }
}

TEST(EnvironmentTest, ExecutableAndItsFolder) {
    auto exe = Environment::GetExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(std::filesystem::is_regular_file(exe));
    EXPECT_EQ(Environment::GetMainModuleFileName(), exe);
    auto base = Environment::GetBaseDirectory();
    ASSERT_FALSE(base.empty());
    EXPECT_EQ(base.back(), '/');
    EXPECT_EQ(base + std::filesystem::path(exe).filename().string(), exe);
    EXPECT_EQ(Environment::GetCurrentDirectory(), std::filesystem::current_path().string());
}
