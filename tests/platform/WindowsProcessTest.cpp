#include "Platform/Process/DetachedProcess.hpp"

#include "Platform/Environment.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Path.hpp"
#include "Platform/Process/ConsoleText.hpp"
#include "Platform/Process/Windows/CommandLine.hpp"
#include "Platform/Windows/Win32.hpp"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

using Quillmark::Platform::IoFailure;
using Quillmark::Platform::Process::ConsoleText;
using Quillmark::Platform::Process::DetachedProcess;
namespace Detail = Quillmark::Platform::Process::WindowsDetail;
namespace Path = Quillmark::Platform::Path;
namespace fs = std::filesystem;

namespace {
const fs::path Standins = Path::ToFsPath(QUILLMARK_TEST_STANDINS_DIR);

std::vector<std::wstring> SplitAsTheSystemDoes(const std::wstring& commandLine) {
    int count = 0;
    wchar_t** split = ::CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> words(split, split + count);
    ::LocalFree(split);
    return words;
}

// What a stand-in wrote about its start: its arguments, in order.
std::vector<std::string> RecordedArguments(const fs::path& record) {
    std::ifstream in(record, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> fields;
    for (std::size_t start = 0; start < text.size();) {
        const auto end = text.find('\0', start);
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    std::vector<std::string> arguments;
    for (std::size_t i = 0; i + 1 < fields.size(); i += 2) {
        if (fields[i] == "arg") arguments.push_back(fields[i + 1]);
    }
    return arguments;
}

bool WaitForFile(const fs::path& path) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!fs::exists(path)) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class DetachedProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(folder);
        ::SetEnvironmentVariableW(L"QUILLMARK_STANDIN_RECORD", record.c_str());
    }
    void TearDown() override {
        ::SetEnvironmentVariableW(L"QUILLMARK_STANDIN_RECORD", nullptr);
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }

    fs::path folder = fs::temp_directory_path() / ("quillmark-detached-" + std::to_string(::GetCurrentProcessId()));
    fs::path record = folder / "record";
};
}  // namespace

TEST(ProcessStartTest, CommandLinesSplitBackIntoTheSameArguments) {
    const std::vector<std::string> arguments = {
        "plain", "two words", "", "\"quoted\"", "back\\slash", "trailing\\", "trailing space\\", "\\\"",
        "a\\\\\"b", "tab\there", "line\nbreak", "t\xE1\xBA\xA1i \xE2\x9C\x93", "%PATH%&|<>^"};
    const std::string program = "C:\\Program Files\\Quillmark\\Quillmark.CrashHandler.exe";
    const auto words = SplitAsTheSystemDoes(Detail::BuildCommandLine(program, arguments));
    ASSERT_EQ(words.size(), arguments.size() + 1);
    EXPECT_EQ(Quillmark::Platform::Windows::Narrow(words[0]), program);
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        EXPECT_EQ(Quillmark::Platform::Windows::Narrow(words[i + 1]), arguments[i]) << i;
    }
}

TEST(ConsoleTextTest, CodePagesConvertThroughTheSystem) {
    const auto codeset = ConsoleText::OutputCodeset();
    ASSERT_FALSE(codeset.empty());
    EXPECT_TRUE(::IsValidCodePage(static_cast<UINT>(std::stoul(codeset)))) << codeset;

    struct Case { const char* codeset; std::string bytes; std::optional<std::string> utf8; };
    const Case cases[] = {
        {"1252", "\x80\xE9", "\xE2\x82\xAC\xC3\xA9"},
        {"932", "\x82\xA0", "\xE3\x81\x82"},
        {"65001", "t\xE1\xBA\xA1i", "t\xE1\xBA\xA1i"},
        {"65001", "a\xFF" "b", "a\xEF\xBF\xBD" "b"},
        {"", "", ""},
        {"99999", "x", std::nullopt},
        {"12x", "x", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
        EXPECT_EQ(ConsoleText::ConvertToUtf8({bytes, c.bytes.size()}, c.codeset), c.utf8) << c.codeset;
    }
}

TEST_F(DetachedProcessTest, PassesEachArgumentExactly) {
    const std::vector<std::string> arguments = {"two words", "\"quoted\"", "trailing\\", "a\\\\\"b", "", "%PATH%"};
    DetachedProcess::StartDetached(Path::FromFsPath(Standins / "Quillmark.CrashHandler.exe"), arguments);
    ASSERT_TRUE(WaitForFile(record));
    EXPECT_EQ(RecordedArguments(record), arguments);
}

TEST_F(DetachedProcessTest, LongestArgumentArrivesWhole) {
    const auto program = Path::FromFsPath(Standins / "Quillmark.CrashHandler.exe");
    const auto longest = DetachedProcess::MaxArgumentLength(program);
    EXPECT_GT(longest, 30'000u);
    DetachedProcess::StartDetached(program, {std::string(longest, 'A')});
    ASSERT_TRUE(WaitForFile(record));
    const auto arguments = RecordedArguments(record);
    ASSERT_EQ(arguments.size(), 1u);
    EXPECT_EQ(arguments[0].size(), longest);
}

TEST_F(DetachedProcessTest, ShellOpenStartsTheFileWithoutArguments) {
    DetachedProcess::ShellOpen(Path::FromFsPath(Standins / "Quillmark.Updater.exe"));
    ASSERT_TRUE(WaitForFile(record));
    EXPECT_TRUE(RecordedArguments(record).empty());
}

TEST_F(DetachedProcessTest, RefusedStartIsAnIoFailureWithTheSystemsReason) {
    const auto notProgram = Path::FromFsPath(folder / "plain.exe");
    std::ofstream(folder / "plain.exe") << "not a program";
    struct Case { std::string program; std::optional<std::string> reason; };
    const Case cases[] = {
        {Path::FromFsPath(folder / "missing.exe"), std::nullopt},
        {notProgram, "InvalidApplication"},
    };
    const auto prefixOf = [](const std::string& program) {
        return "ErrorStartingProcess, " + program + ", " + Quillmark::Platform::Environment::GetCurrentDirectory() +
               ", ";
    };
    for (const auto& c : cases) {
        for (auto start : {+[](const std::string& p) { DetachedProcess::StartDetached(p, {"x"}); },
                           +[](const std::string& p) { DetachedProcess::ShellOpen(p); }}) {
            try {
                start(c.program);
                ADD_FAILURE() << c.program << " started";
            } catch (const IoFailure& failure) {
                const std::string message = failure.Message();
                ASSERT_EQ(message.rfind(prefixOf(c.program), 0), 0u) << message;
                const auto reason = message.substr(prefixOf(c.program).size());
                if (c.reason) {
                    EXPECT_EQ(reason, *c.reason);
                } else {
                    EXPECT_FALSE(reason.empty());
                }
            }
        }
    }
    EXPECT_FALSE(fs::exists(record));
}
