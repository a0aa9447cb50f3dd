#include "tests/support/DaemonProcess.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <thread>

using namespace Quillmark::TestSupport;

namespace {

const std::string WarnLine = "[Warn] Failed to load update reminder config.";
const std::string Pong = R"({"data":"Pong","action":0,"errorCode":0})";

// The stand-ins write how they were started to this file; poll, as they are not waited for.
bool StandinStarted(const AppSandbox& box, std::chrono::milliseconds wait) {
    const auto record = box.Root() / "standin.rec";
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!std::filesystem::exists(record) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return std::filesystem::exists(record);
}

DaemonProcess::Env RecordEnv(const AppSandbox& box) {
    return {{"QUILLMARK_STANDIN_RECORD", box.ForDaemon(box.Root() / "standin.rec")}};
}

// The first of the texts that the logs come to hold; the empty text when none does in time.
std::string WaitForAnyLog(const AppSandbox& box, const std::vector<std::string>& texts) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    do {
        const auto logs = box.ReadLogs();
        for (const auto& text : texts)
            if (logs.find(text) != std::string::npos) return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    return {};
}

}  // namespace

namespace {

// Each start-up ends with a logged stack trace, which takes a while; one test per case lets
// them run side by side.
struct FailingStartUp {
    std::string name;
    std::vector<std::string> args;
    std::string logged;
    bool updaterCheck;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const FailingStartUp& c, std::ostream* out) { *out << c.name; }

class StartUpsThatEndWithExitCode1 : public ::testing::TestWithParam<FailingStartUp> {};

const std::string BadUrl = "[Exception] FormatFailure: net_uri_BadFormat";
const std::string BadPort = "[Exception] FormatFailure: net_uri_BadPort";
// Where a bad authority were read as a good URL, the server would take this port.
const std::string QueryPort = "?port=" + std::to_string(FreeTcpPort());

}  // namespace

TEST_P(StartUpsThatEndWithExitCode1, LogTheFailureAfterEmptyingTheTemporaryFolder) {
    const auto& c = GetParam();
    AppSandbox box({"Quillmark.Updater.exe"});
    WriteFile(box.TempFolder() / "left-over.pdf", "old");
    DaemonProcess daemon(box, c.args, RecordEnv(box));
    EXPECT_EQ(daemon.WaitExit(), 1) << box.ReadStderr();
    const auto logs = box.ReadLogs();
    EXPECT_NE(logs.find(WarnLine), std::string::npos) << logs;
    EXPECT_NE(logs.find(c.logged), std::string::npos) << logs;
    EXPECT_EQ(StandinStarted(box, std::chrono::seconds(c.updaterCheck ? 20 : 0)), c.updaterCheck);
    // The stand-in is not waited for; the log line shows a start it had no time to record.
    EXPECT_EQ(logs.find("Launched updater process: ") != std::string::npos, c.updaterCheck);
    // The temporary folder is emptied before anything can fail.
    EXPECT_FALSE(std::filesystem::exists(box.TempFolder() / "left-over.pdf"));
    EXPECT_EQ(daemon.ReadToEnd(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Program, StartUpsThatEndWithExitCode1,
    ::testing::Values(
        FailingStartUp{"NoArgument", {}, "No valid connection method specified.", false},
        FailingStartUp{"NothingSelected",
                       {"quillmark://other?port=1", "--flag", "chrome-extension:/x"},
                       "No valid connection method specified.",
                       false},
        FailingStartUp{"UnimplementedTransport", {"quillmark://start"}, "Arg_NotImplementedException", true},
        FailingStartUp{"UpperCaseStart", {"QUILLMARK://START/"}, "Arg_NotImplementedException", true},
        FailingStartUp{"InvalidLaunchUrl", {"quillmark://start ws"}, BadUrl, false},
        FailingStartUp{"InvalidLaunchUrlAfterNativeMessaging", {"chrome-extension://x/", "quillmark://%zz"}, BadUrl, false},
        FailingStartUp{"InvalidLaunchUrlBeforeNativeMessaging", {"quillmark://%zz", "chrome-extension://x/"}, BadUrl, false},
        FailingStartUp{"LettersAsTheAuthoritysPort", {"quillmark://start-ws:abc/" + QueryPort}, BadPort, false},
        FailingStartUp{"LettersAsTheAuthoritysPortBeforeNativeMessaging",
                       {"quillmark://start-ws:abc" + QueryPort, "chrome-extension://x/"},
                       BadPort,
                       false},
        FailingStartUp{"AuthorityPortPast65535AfterNativeMessaging",
                       {"chrome-extension://x/", "quillmark://start-ws:65536/" + QueryPort},
                       BadPort,
                       false}),
    [](const ::testing::TestParamInfo<FailingStartUp>& c) { return c.param.name; });

TEST(Program, UnhandledFailureRunsTheCrashHandler) {
    AppSandbox box({"Quillmark.CrashHandler.exe"});
    DaemonProcess daemon(box, {}, RecordEnv(box));
    EXPECT_EQ(daemon.WaitExit(), 1) << box.ReadStderr();
    ASSERT_TRUE(StandinStarted(box, std::chrono::seconds(20)));
    // One argument: the encoded report.
    const auto record = ReadFile(box.Root() / "standin.rec");
    EXPECT_EQ(record.rfind(std::string("arg\0", 4), 0), 0u);
    EXPECT_EQ(record.find(std::string("\0arg\0", 5)), std::string::npos);
}

TEST(Program, StartUpsThatServe) {
    const auto port = FreeTcpPort();
    auto other = FreeTcpPort();
    while (other == port) other = FreeTcpPort();
    const std::string p = std::to_string(port), q = std::to_string(other);
    struct Case {
        std::string name;
        std::vector<std::string> args;
        // The WebSocket port, or nothing for native messaging.
        std::optional<std::uint16_t> port;
    };
    const Case cases[] = {
        {"query port", {"quillmark://start-ws?port=" + p}, port},
        {"letter case", {"QUILLMARK://START-WS?PORT=" + p}, port},
        {"authority port ignored, encoded blanks", {"quillmark://start-ws:" + q + "/?port=%20" + p + "%09"}, port},
        {"plus as blank, encoded sign", {"quillmark://start-ws?port=+%2B" + p + "+"}, port},
        {"repeated port keeps the earlier one",
         {"quillmark://start-ws?port=" + p, "quillmark://start-ws?port=" + q + "&PORT=" + q}, port},
        {"WebSocket over start, unknown host ignored",
         {"quillmark://start", "quillmark://start-ws?port=" + p, "quillmark://other?port=" + q}, port},
        {"no port", {"quillmark://start-ws"}, 60211},
        {"native messaging after the URL forms",
         {"quillmark://start-ws?port=" + p, "CHROME-EXTENSION://abc/", "quillmark://start"}, std::nullopt},
        {"native messaging first", {"chrome-extension://abc/", "quillmark://start-ws?port=" + p}, std::nullopt},
    };
    for (const auto& c : cases) {
        AppSandbox box({"Quillmark.Updater.exe"});
        DaemonProcess daemon(box, c.args, RecordEnv(box));
        EXPECT_TRUE(box.WaitForLog(WarnLine)) << c.name << "\n" << box.ReadLogs();
        EXPECT_TRUE(StandinStarted(box, std::chrono::seconds(20))) << c.name;
        if (c.port) {
            const std::string listening = "trên cổng " + std::to_string(*c.port) + "\r\n";
            // The default port may be taken on this machine; a refusal that names it shows the choice too.
            const std::string refused = "127.0.0.1:" + std::to_string(*c.port) + ": ";
            const auto seen = WaitForAnyLog(box, {listening, refused});
            EXPECT_FALSE(seen.empty()) << c.name << "\n" << box.ReadLogs();
            if (seen == listening) {
                EXPECT_TRUE(daemon.Running()) << c.name;
            }
        } else {
            daemon.WriteFrame(R"({"action":0})");
            EXPECT_EQ(daemon.ReadFrame(), Pong) << c.name << "\n" << box.ReadStderr() << box.ReadLogs();
            daemon.CloseStdin();
            EXPECT_EQ(daemon.WaitExit(), 0) << c.name;
            EXPECT_EQ(box.ReadLogs().find("WebSocket"), std::string::npos) << c.name;
        }
    }
}
