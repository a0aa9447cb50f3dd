#include "Common/UpdateReminderConfig.hpp"

#include "Platform/Clock.hpp"
#include "tests/common/StateFileFixture.hpp"

#include <gtest/gtest.h>

using namespace Quillmark::Common;
using namespace Quillmark::Tests;
namespace fs = std::filesystem;

namespace {
// Every test of the state file, skipped where there is no private one.
class UpdateReminderConfigTest : public StateFileTest {};

std::int64_t At(int year, int month, int day) { return DateTime::ToTicks(year, month, day); }

struct LoadCase {
    const char* title;
    std::string content;  // empty: no file
    bool loaded;
    std::int64_t remindAfter;
    std::int64_t lastChecked;
};
}  // namespace

TEST_F(UpdateReminderConfigTest, StateFileLivesInTheDataFolder) {
    EXPECT_EQ(StateFile()->filename(), "update_state.json");
    EXPECT_EQ(StateFile()->parent_path().filename(), "Quillmark");
    EXPECT_TRUE(fs::is_directory(StateFile()->parent_path()));
}

TEST_F(UpdateReminderConfigTest, LoadTable) {
    const std::string good = R"({"versionCode":7,"remindAfter":"2026-05-01T00:00:00","lastChecked":"2026-04-01"})";
    const auto may = At(2026, 5, 1), april = At(2026, 4, 1);
    const std::vector<LoadCase> cases = {
        {"no file", "", false, 0, 0},
        {"complete", good, true, may, april},
        {"members in any order, others ignored",
         R"({"lastChecked":"2026-04-01","x":[1,{}],"remindAfter":"2026-05-01T00:00:00","versionCode":-9223372036854775808})",
         true, may, april},
        {"UTF-8 mark", "\xEF\xBB\xBF" + good, true, may, april},
        {"no lastChecked keeps remindAfter", R"({"versionCode":1,"remindAfter":"2026-05-01T00:00:00"})", false, may, 0},
        {"bad lastChecked keeps remindAfter",
         R"({"versionCode":1,"remindAfter":"2026-05-01T00:00:00","lastChecked":"yesterday"})", false, may, 0},
        {"null lastChecked", R"({"versionCode":1,"remindAfter":"2026-05-01T00:00:00","lastChecked":null})", false, may, 0},
        {"versionCode as text", R"({"versionCode":"7","remindAfter":"2026-05-01","lastChecked":"2026-04-01"})", false, 0, 0},
        {"versionCode with fraction", R"({"versionCode":7.0,"remindAfter":"2026-05-01","lastChecked":"2026-04-01"})", false, 0, 0},
        {"versionCode with exponent", R"({"versionCode":7e0,"remindAfter":"2026-05-01","lastChecked":"2026-04-01"})", false, 0, 0},
        {"versionCode out of range",
         R"({"versionCode":9223372036854775808,"remindAfter":"2026-05-01","lastChecked":"2026-04-01"})", false, 0, 0},
        {"versionCode null", R"({"versionCode":null,"remindAfter":"2026-05-01","lastChecked":"2026-04-01"})", false, 0, 0},
        {"keys in other letter case", R"({"VersionCode":7,"remindafter":"2026-05-01","LastChecked":"2026-04-01"})", false, 0, 0},
        {"remindAfter as number", R"({"versionCode":7,"remindAfter":20260501,"lastChecked":"2026-04-01"})", false, 0, 0},
        {"JSON null", "null", false, 0, 0},
        {"array", "[]", false, 0, 0},
        {"nothing at all", " ", false, 0, 0},
        {"trailing comma", R"({"versionCode":7,"remindAfter":"2026-05-01","lastChecked":"2026-04-01",})", false, 0, 0},
        {"comment", "// state\n" + good, false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        EXPECT_EQ(LoadState(c.content), c.loaded);
        EXPECT_EQ(UpdateReminderConfig::RemindAfter().Ticks, c.remindAfter);
        EXPECT_EQ(UpdateReminderConfig::LastChecked().Ticks, c.lastChecked);
    }
}

TEST_F(UpdateReminderConfigTest, Utf16FileWithItsMark) {
    const std::string json = R"({"versionCode":7,"remindAfter":"2026-05-01","lastChecked":"2026-04-01"})";
    std::string utf16 = "\xFF\xFE";
    for (char c : json) {
        utf16 += c;
        utf16 += '\0';
    }
    EXPECT_TRUE(LoadState(utf16));
    EXPECT_EQ(UpdateReminderConfig::RemindAfter().Ticks, At(2026, 5, 1));
}

TEST_F(UpdateReminderConfigTest, OffsetsAreReadInTheMachinesZone) {
    // The machine's clock, seven hours ahead of UTC all year, for this test only.
    struct SevenHoursAhead : Quillmark::Platform::SystemClock {
        SevenHoursAhead() { Quillmark::Platform::Clock::Install(this); }
        ~SevenHoursAhead() override { Quillmark::Platform::Clock::Install(nullptr); }
        std::int64_t LocalOffsetTicksAt(std::int64_t) const override { return 7 * 3600 * Quillmark::Platform::TicksPerSecond; }
    } clock;
    ASSERT_TRUE(LoadState(R"({"versionCode":7,"remindAfter":"2026-06-15T08:00:00+00:00","lastChecked":"2026-06-15T08:00:00Z"})"));
    EXPECT_EQ(UpdateReminderConfig::RemindAfter().Ticks, DateTime::ToTicks(2026, 6, 15, 15, 0, 0));
    EXPECT_EQ(UpdateReminderConfig::RemindAfter().Kind, DateTimeKind::Local);
    EXPECT_EQ(UpdateReminderConfig::LastChecked().Ticks, DateTime::ToTicks(2026, 6, 15, 8, 0, 0));
    EXPECT_EQ(UpdateReminderConfig::LastChecked().Kind, DateTimeKind::Utc);
}
