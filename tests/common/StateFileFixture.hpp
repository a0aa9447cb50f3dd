#pragma once
// The update state file's place is fixed at first use for the whole process, so every test
// of one binary shares one private data folder for it. Where the roaming folder cannot be moved
// for one process (Windows itself, outside the test Wine prefix), there is none: the tests skip
// rather than touch the user's own file.

#include "Common/UpdateReminderConfig.hpp"
#include "tests/common/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

namespace Quillmark::Tests {

inline const std::optional<std::filesystem::path>& StateFile() {
    static const std::optional<std::filesystem::path> path = []() -> std::optional<std::filesystem::path> {
        static TempFolder home;
        ScopedRoamingFolder roaming(home.Path());
        if (!roaming.Moved()) return std::nullopt;
        return std::filesystem::path(Common::UpdateReminderConfig::StateFilePath());
    }();
    return path;
}

// Tests of the state file: skipped where there is no private one.
class StateFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!StateFile())
            GTEST_SKIP() << "the roaming folder cannot be moved for one process here, and the state file "
                            "lives in it; these run under the test Wine prefix";
    }
};

// Writes the state file, or removes it when content is empty, and loads it after putting both
// date-times back to the smallest date-time (through the only way in: a load).
inline bool LoadState(const std::string& content) {
    WriteAll(*StateFile(), R"({"versionCode":1,"remindAfter":"0001-01-01","lastChecked":"0001-01-01"})");
    EXPECT_TRUE(Common::UpdateReminderConfig::Load());
    if (content.empty()) std::filesystem::remove(*StateFile());
    else WriteAll(*StateFile(), content);
    return Common::UpdateReminderConfig::Load();
}

}  // namespace Quillmark::Tests
