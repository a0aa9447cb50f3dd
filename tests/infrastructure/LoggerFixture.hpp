#pragma once
// Points the process-wide logger at a private folder for each test.

#include "Daemon/Infrastructure/FileLogger.hpp"
#include "Platform/Clock.hpp"
#include "tests/common/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace Quillmark::Tests {

// A system clock whose local time reads a fixed moment.
struct FixedLocalClock : Platform::SystemClock {
    Platform::LocalTimeParts LocalNow() const override { return {2026, 3, 4, 5, 6, 7}; }
};

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Daemon::Infrastructure::FileLogger::ResetForTesting(logs.string());
        std::filesystem::create_directories(logs);
        Platform::Clock::Install(&clock);
    }
    void TearDown() override {
        Daemon::Infrastructure::FileLogger::Flush();
        Platform::Clock::Install(nullptr);
    }
    std::string Log(const std::string& name) const {
        Daemon::Infrastructure::FileLogger::Flush();
        return ReadAll(logs / name);
    }

    TempFolder folder;
    // The data folder of the first touch of the logger's state goes here too.
    ScopedRoamingFolder roaming{folder.Path()};
    std::filesystem::path logs = folder.Path() / "Logs";
    FixedLocalClock clock;
};

}  // namespace Quillmark::Tests
