#pragma once
// The update state file's place is fixed at first use for the whole process, so every test
// of one binary shares one private data folder for it.

#include "Common/UpdateReminderConfig.hpp"
#include "tests/common/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace Quillmark::Tests {

inline const std::filesystem::path& StateFile() {
    static const std::filesystem::path path = [] {
        static TempFolder home;
        ScopedVariable config("XDG_CONFIG_HOME", home.Path().c_str());
        return std::filesystem::path(Common::UpdateReminderConfig::StateFilePath());
    }();
    return path;
}

// Writes the state file, or removes it when content is empty, and loads it after putting both
// date-times back to the smallest date-time (through the only way in: a load).
inline bool LoadState(const std::string& content) {
    WriteAll(StateFile(), R"({"versionCode":1,"remindAfter":"0001-01-01","lastChecked":"0001-01-01"})");
    EXPECT_TRUE(Common::UpdateReminderConfig::Load());
    if (content.empty()) std::filesystem::remove(StateFile());
    else WriteAll(StateFile(), content);
    return Common::UpdateReminderConfig::Load();
}

}  // namespace Quillmark::Tests
