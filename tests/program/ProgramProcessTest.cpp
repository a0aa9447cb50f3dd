#include "tests/support/DaemonProcess.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
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
    return {{"QUILLMARK_STANDIN_RECORD", (box.Root() / "standin.rec").string()}};
}

bool UpdaterCheckRan(const AppSandbox& box) {
    const auto logs = box.ReadLogs();
    return logs.find("Launched updater process: ") != std::string::npos ||
           logs.find("Updater executable not found: ") != std::string::npos;
}

}  // namespace

TEST(Program, StartUpsThatEndWithExitCode1) {
    struct Case {
        std::string name;
        std::vector<std::string> args;
        std::string logged;
        bool updaterCheck;
    };
    const Case cases[] = {
        {"no argument", {}, "No valid connection method specified.", false},
        {"nothing selected", {"quillmark://other?port=1", "--flag", "chrome-extension:/x"},
         "No valid connection method specified.", false},
        {"unimplemented transport", {"quillmark://start"}, "Arg_NotImplementedException", true},
        {"upper-case start", {"QUILLMARK://START/"}, "Arg_NotImplementedException", true},
        {"invalid launch URL", {"quillmark://start ws"}, "[Exception] ", false},
        {"invalid launch URL after native messaging", {"chrome-extension://x/", "quillmark://%zz"}, "[Exception] ", false},
        {"invalid launch URL before native messaging", {"quillmark://%zz", "chrome-extension://x/"}, "[Exception] ", false},
    };
    for (const auto& c : cases) {
        AppSandbox box({"Quillmark.Updater.exe"});
        WriteFile(box.TempFolder() / "left-over.pdf", "old");
        DaemonProcess daemon(box, c.args, RecordEnv(box));
        EXPECT_EQ(daemon.WaitExit(), 1) << c.name << "\n" << box.ReadStderr();
        const auto logs = box.ReadLogs();
        EXPECT_NE(logs.find(WarnLine), std::string::npos) << c.name << "\n" << logs;
        EXPECT_NE(logs.find(c.logged), std::string::npos) << c.name << "\n" << logs;
        EXPECT_EQ(StandinStarted(box, std::chrono::seconds(c.updaterCheck ? 5 : 0)), c.updaterCheck) << c.name;
        // The temporary folder is emptied before anything can fail.
        EXPECT_FALSE(std::filesystem::exists(box.TempFolder() / "left-over.pdf")) << c.name;
        EXPECT_EQ(daemon.ReadToEnd(), "") << c.name;
    }
}

TEST(Program, UnhandledFailureRunsTheCrashHandler) {
    AppSandbox box({"Quillmark.CrashHandler.exe"});
    DaemonProcess daemon(box, {}, RecordEnv(box));
    EXPECT_EQ(daemon.WaitExit(), 1) << box.ReadStderr();
    ASSERT_TRUE(StandinStarted(box, std::chrono::seconds(5)));
    // One argument: the encoded report.
    const auto record = ReadFile(box.Root() / "standin.rec");
    EXPECT_EQ(record.rfind(std::string("arg\0", 4), 0), 0u);
    EXPECT_EQ(record.find(std::string("\0arg\0", 5)), std::string::npos);
}

TEST(Program, NativeMessagingWinsOverTheUrlForms) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"quillmark://start-ws?port=1", "CHROME-EXTENSION://abc/", "quillmark://start"},
             {"chrome-extension://abc/", "quillmark://start-ws"}}) {
        AppSandbox box;
        DaemonProcess daemon(box, args);
        daemon.WriteFrame(R"({"action":0})");
        EXPECT_EQ(daemon.ReadFrame(), Pong) << box.ReadStderr() << box.ReadLogs();
        daemon.CloseStdin();
        EXPECT_EQ(daemon.WaitExit(), 0);
        EXPECT_TRUE(UpdaterCheckRan(box)) << box.ReadLogs();
    }
}

TEST(Program, StartWsListensOnTheQueryPort) {
    AppSandbox box;
    const auto port = FreeTcpPort();
    DaemonProcess daemon(box, {"quillmark://start-ws:1/?PORT=%20" + std::to_string(port)});
    EXPECT_TRUE(WaitForTcpListener(port)) << box.ReadStderr() << box.ReadLogs();
    EXPECT_TRUE(daemon.Running());
}
