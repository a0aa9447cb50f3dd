#include "Daemon/Infrastructure/UpdateManager.hpp"

#include "Common/DateTime.hpp"
#include "tests/common/StateFileFixture.hpp"
#include "tests/infrastructure/LoggerFixture.hpp"

#include <gtest/gtest.h>

using namespace Quillmark::Daemon::Infrastructure;
using namespace Quillmark::Tests;
using Quillmark::Common::DateTime;
namespace fs = std::filesystem;

namespace {
// Seven hours ahead of UTC all year, at the moment the test names.
struct FakeClock : FixedLocalClock {
    std::int64_t now = 0;
    std::int64_t UtcNowTicks() const override { return now; }
    std::int64_t LocalOffsetTicksAt(std::int64_t) const override { return 7 * 3600 * Quillmark::Platform::TicksPerSecond; }
};

enum class Outcome { Started, NotDue, Failed };

struct Case {
    const char* title;
    std::string state;  // empty: no state file
    std::int64_t now;
    Outcome outcome;
};

class UpdateManagerTest : public LoggerTest {
protected:
    void SetUp() override {
        if (!StateFile())
            GTEST_SKIP() << "the roaming folder cannot be moved for one process here, and the update state "
                            "file lives in it; these run under the test Wine prefix";
        LoggerTest::SetUp();
        Quillmark::Platform::Clock::Install(&fake);
        fs::create_directories(app);
        fs::copy_file(fs::path(QUILLMARK_TEST_STANDINS_DIR) / "Quillmark.Updater.exe", app / "Quillmark.Updater.exe");
    }
    std::string State(const char* remindAfter, const char* lastChecked) const {
        return std::string(R"({"versionCode":3,"remindAfter":")") + remindAfter + R"(","lastChecked":")" +
               lastChecked + R"("})";
    }

    FakeClock fake;
    fs::path app = folder.Path() / "app";
    std::string updater = (app / "Quillmark.Updater.exe").string();
};

std::int64_t Utc(int hour, int minute, int second) { return DateTime::ToTicks(2026, 6, 15, hour, minute, second); }
}  // namespace

TEST_F(UpdateManagerTest, DecisionTable) {
    const auto noon = Utc(12, 0, 0);
    const std::vector<Case> cases = {
        {"no state file", "", noon, Outcome::Started},
        {"remindAfter a tick ahead", State("2026-06-15T12:00:00.0000001Z", "2026-01-01"), noon, Outcome::NotDue},
        {"remindAfter equal to now", State("2026-06-15T12:00:00Z", "2026-01-01"), noon, Outcome::Started},
        {"lastChecked exactly one day back", State("2026-01-01", "2026-06-14T12:00:00Z"), noon, Outcome::Started},
        {"lastChecked a moment later", State("2026-01-01", "2026-06-14T12:00:00.0000001Z"), noon, Outcome::NotDue},
        {"unzoned reading compared as UTC", State("2026-06-15T12:00:01", "2026-01-01"), noon, Outcome::NotDue},
        {"08:00 UTC reads 15:00 here: not yet at 14:59:59", State("2026-06-15T08:00:00+00:00", "2026-01-01"),
         Utc(14, 59, 59), Outcome::NotDue},
        {"08:00 UTC reads 15:00 here: due at 15:00", State("2026-06-15T08:00:00+00:00", "2026-01-01"),
         Utc(15, 0, 0), Outcome::Started},
        {"another zone naming the same moment", State("2026-06-15T10:00:00+02:00", "2026-01-01"), Utc(14, 59, 59),
         Outcome::NotDue},
        {"lastChecked in the last day of year 9999", State("2026-01-01", "9999-12-31T12:00:00"), noon, Outcome::Failed},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        const auto record = folder.Path() / ("record" + std::to_string(index++));
        ScopedVariable recordVariable("QUILLMARK_STANDIN_RECORD", record);
        fs::remove(logs / "1.log");
        LoadState(c.state);
        fake.now = c.now;

        UpdateManager::CheckAndLaunchUpdater(app.string());

        const auto text = Log("1.log");
        switch (c.outcome) {
            case Outcome::Started:
                ASSERT_TRUE(WaitForFile(record));
                EXPECT_TRUE(ReadStandinRecord(record).Arguments.empty());
                EXPECT_NE(text.find(" | CheckAndLaunchUpdater] [Info] Launched updater process: " + updater + "\r\n"),
                          std::string::npos) << text;
                EXPECT_EQ(text.find("\r\n"), text.size() - 2) << text;
                break;
            case Outcome::NotDue:
                EXPECT_EQ(text, "");
                break;
            case Outcome::Failed:
                EXPECT_NE(text.find(" | CheckAndLaunchUpdater] [Exception] ArgumentOutOfRangeFailure: "
                                    "ArgumentOutOfRange_DateArithmetic Arg_ParamName_Name, value"),
                          std::string::npos) << text;
                EXPECT_EQ(text.find("Launched"), std::string::npos);
                break;
        }
        if (c.outcome != Outcome::Started) {
            EXPECT_FALSE(fs::exists(record));
        }
    }
}

TEST_F(UpdateManagerTest, MissingUpdaterIsOneWarnLineWithTheFullPath) {
    fs::remove(app / "Quillmark.Updater.exe");
    LoadState("");
    fake.now = Utc(12, 0, 0);
    UpdateManager::CheckAndLaunchUpdater(app.string());
    const auto text = Log("1.log");
    const std::string warn = " | CheckAndLaunchUpdater] [Warn] Updater executable not found: " + updater + "\r\n";
    ASSERT_GE(text.size(), warn.size());
    EXPECT_EQ(text.substr(text.size() - warn.size()), warn);
    EXPECT_EQ(text.find("\r\n"), text.size() - 2) << text;
    EXPECT_NE(text.find("} [UpdateManager.cpp:"), std::string::npos) << text;
}

TEST_F(UpdateManagerTest, UnstartableUpdaterIsLoggedAndAbsorbed) {
    // Present but no program: the start fails after the existence test.
#ifdef _WIN32
    WriteAll(app / "Quillmark.Updater.exe", "not a program");
#else
    fs::permissions(app / "Quillmark.Updater.exe", fs::perms::owner_read | fs::perms::owner_write);
#endif
    LoadState("");
    fake.now = Utc(12, 0, 0);
    EXPECT_NO_THROW(UpdateManager::CheckAndLaunchUpdater(app.string()));
    const auto text = Log("1.log");
    EXPECT_NE(text.find("[Exception] IoFailure: ErrorStartingProcess, " + updater), std::string::npos) << text;
    EXPECT_EQ(text.find("Launched"), std::string::npos);
}
