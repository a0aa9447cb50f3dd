#include "Daemon/Infrastructure/CrashReporter.hpp"

#include "Common/Utils.hpp"
#include "Platform/Encoding/Base64.hpp"
#include "Platform/Failure.hpp"
#include "tests/common/TestHelpers.hpp"

#include <gtest/gtest.h>

using namespace Quillmark::Daemon::Infrastructure;
using namespace Quillmark::Tests;
using Quillmark::Common::Utils;
namespace fs = std::filesystem;

namespace {
std::exception_ptr Raise(std::string message) {
    try {
        throw Quillmark::Platform::InvalidOperationFailure(std::move(message));
    } catch (...) {
        return std::current_exception();
    }
}

// Hexadecimal digits to bytes, bytes as Base64 text, Base64 to bytes: the report again.
std::string Decode(const std::string& hex) {
    std::string base64;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        base64 += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    auto bytes = Quillmark::Platform::Encoding::Base64::Decode(base64);
    return {bytes.begin(), bytes.end()};
}

class CrashReporterTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::copy_file(fs::path(QUILLMARK_TEST_STANDINS_DIR) / "Quillmark.CrashHandler.exe",
                      app.Path() / "Quillmark.CrashHandler.exe");
    }
    // Reports and answers the one argument the crash handler received.
    std::string ReportAndReadArgument(const std::exception_ptr& failure) {
        CrashReporter::ReportFrom(app.Path().string(), failure, "CurrentDomain_UnhandledException",
                                  "/src/Daemon/Program.cpp", 42);
        EXPECT_TRUE(WaitForFile(record));
        auto started = ReadStandinRecord(record);
        EXPECT_EQ(started.Arguments.size(), 1u);
        return started.Arguments.empty() ? std::string() : started.Arguments.front();
    }

    TempFolder app;
    fs::path record = app.Path() / "record";
    ScopedVariable recordVariable{"QUILLMARK_STANDIN_RECORD", record};
};
}  // namespace

TEST(CrashReportTextTest, FirstLineNamesTheCallerThenTheDescription) {
    auto failure = Raise("boom");
    const auto description = Quillmark::Platform::DescribeFailure(failure);
    const auto commit = Utils::GetCommitHash();
    EXPECT_EQ(CrashReporter::BuildReport(failure, "Main", "/src/Daemon/Program.cpp", 42),
              "[" + commit + "] Program.cpp:42 | Main:\r\n" + description);
    EXPECT_EQ(CrashReporter::BuildReport(failure, "Main", "C:\\src\\Program.cs", 7),
              "[" + commit + "] Program.cs:7 | Main:\r\n" + description);
    EXPECT_EQ(CrashReporter::BuildReport(failure, "Main", "", 0), "[" + commit + "] <Unknown>:0 | Main:\r\n" + description);
}

TEST(CrashReportTextTest, FitCutsOnACharacterBoundary) {
    struct Case { std::string report; std::size_t maxEncoded; std::string fitted; };
    const Case cases[] = {
        {"abcdef", 16, "abcdef"},
        {"abcdefg", 16, "abcdef"},
        {"abcdefg", 23, "abcdef"},
        {"ab\xE1\xBA\xA1", 8, "ab"},
        {"abc\xE1\xBA\xA1", 8, "abc"},
        {"\xF0\x9F\x93\x84", 8, ""},
    };
    for (const auto& c : cases) {
        auto fitted = CrashReporter::FitReport(c.report, c.maxEncoded);
        EXPECT_EQ(fitted, c.fitted) << c.report;
        EXPECT_LE(Utils::ToHexBase64(fitted).size(), c.maxEncoded);
    }
}

TEST_F(CrashReporterTest, ArgumentDecodesToTheExactReport) {
    auto failure = Raise("blanks, \"quotes\", 'single'\r\nline breaks\ttabs and t\xE1\xBA\xA1i li\xE1\xBB\x87u \xF0\x9F\x93\x84");
    auto argument = ReportAndReadArgument(failure);
    EXPECT_EQ(argument.find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_EQ(Decode(argument),
              CrashReporter::BuildReport(failure, "CurrentDomain_UnhandledException", "/src/Daemon/Program.cpp", 42));
}

TEST_F(CrashReporterTest, ReportTooLongForOneArgumentIsShortenedNotDropped) {
    auto failure = Raise(std::string(300'000, 'x') + "END");
    auto full = CrashReporter::BuildReport(failure, "CurrentDomain_UnhandledException", "/src/Daemon/Program.cpp", 42);
    auto argument = ReportAndReadArgument(failure);
    auto received = Decode(argument);
    ASSERT_FALSE(received.empty());
    EXPECT_LT(received.size(), full.size());
    EXPECT_EQ(full.substr(0, received.size()), received);
    EXPECT_EQ(received.substr(0, received.find("\r\n")), full.substr(0, full.find("\r\n")));
    EXPECT_NE(received.find("InvalidOperationFailure: xxxx"), std::string::npos);
}

TEST_F(CrashReporterTest, MissingCrashHandlerFailsBackToTheCaller) {
    fs::remove(app.Path() / "Quillmark.CrashHandler.exe");
    EXPECT_THROW(CrashReporter::ReportFrom(app.Path().string(), Raise("boom"), "M", "f.cpp", 1),
                 Quillmark::Platform::IoFailure);
    // The test binary's own folder holds no crash handler either.
    EXPECT_THROW(CrashReporter::Report(Raise("boom")), Quillmark::Platform::IoFailure);
    EXPECT_FALSE(fs::exists(record));
}
