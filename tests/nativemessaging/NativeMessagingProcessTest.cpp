#include "Common/Utils.hpp"
#include "tests/support/DaemonProcess.hpp"

#include <gtest/gtest.h>

#include <chrono>

using namespace Quillmark::TestSupport;
using namespace std::chrono_literals;

namespace {

const std::string Pong = R"({"data":"Pong","action":0,"errorCode":0})";
const std::vector<std::string> NativeArgs = {"chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik/"};

// What the daemon logged after its start-up, whose last line is the updater check's.
std::string LoggedAfterStartUp(const AppSandbox& box) {
    const auto logs = box.ReadLogs();
    const auto updater = logs.find("Updater executable not found: ");
    if (updater == std::string::npos) return "no start-up lines in:\n" + logs;
    return logs.substr(logs.find('\n', updater) + 1);
}

class NativeMessaging : public ::testing::Test {
protected:
    std::unique_ptr<DaemonProcess> Spawn(SpawnOptions options = {}) {
        return std::make_unique<DaemonProcess>(box, NativeArgs, DaemonProcess::Env{}, std::move(options));
    }
    std::string Diagnostics() const { return "stderr: " + box.ReadStderr() + "\nlogs: " + box.ReadLogs(); }

    AppSandbox box;
};

}  // namespace

TEST_F(NativeMessaging, PingIsAnsweredByteForByte) {
    auto daemon = Spawn();
    ASSERT_TRUE(daemon->WriteRaw(std::string("\x0C\x00\x00\x00", 4) + R"({"action":0})"));
    auto reply = daemon->ReadFrame();
    ASSERT_TRUE(reply) << Diagnostics();
    // ReadFrame took the length from the wire; rebuild the whole frame to compare the bytes.
    EXPECT_EQ(Frame(*reply), std::string("\x28\x00\x00\x00", 4) + Pong);
    daemon->CloseStdin();
    EXPECT_EQ(daemon->ReadToEnd(), "");
    EXPECT_EQ(daemon->WaitExit(), 0) << Diagnostics();
}

TEST_F(NativeMessaging, ServesRequestsInOrderAndDropsUnknownActions) {
    auto daemon = Spawn();
    // One write holding several frames, then one frame in pieces.
    daemon->WriteRaw(Frame(R"({"action":5})") + Frame(R"({"action":4})") + Frame("{}"));
    const std::string ping = Frame(R"({"action":0,"data":"\u00e9"})");
    for (std::size_t i = 0; i < ping.size(); i += 3) daemon->WriteRaw(ping.substr(i, 3));
    // A listener failure is answered with the error reply, and the next request is served.
    daemon->WriteFrame(R"({"action":1})");
    daemon->WriteFrame(R"({"action":0})");
    daemon->CloseStdin();

    const std::string version = Quillmark::Common::Utils::GetAppVersion();
    EXPECT_EQ(daemon->ReadFrame(), R"({"data":")" + version + R"(","action":4,"errorCode":0})") << Diagnostics();
    EXPECT_EQ(daemon->ReadFrame(), Pong);
    EXPECT_EQ(daemon->ReadFrame(), Pong);
    EXPECT_EQ(daemon->ReadFrame(),
              R"({"errorMessage":"ExpectedJsonTokens LineNumber: 0 | BytePositionInLine: 0.","action":1,"errorCode":2})");
    EXPECT_EQ(daemon->ReadFrame(), Pong);
    EXPECT_EQ(daemon->ReadToEnd(), "");
    EXPECT_EQ(daemon->WaitExit(), 0) << Diagnostics();
    EXPECT_TRUE(box.WaitForLog("[Exception] ")) << Diagnostics();
}

TEST_F(NativeMessaging, StopIsAnsweredOkThenTheDaemonEnds) {
    auto daemon = Spawn();
    daemon->WriteFrame(R"({"action":2147483647})");
    daemon->WriteFrame(R"({"action":0})");
    EXPECT_EQ(daemon->ReadFrame(), R"({"data":"OK","action":2147483647,"errorCode":0})") << Diagnostics();
    EXPECT_EQ(daemon->WaitExit(), 0) << Diagnostics();
    EXPECT_EQ(daemon->ReadToEnd(), "");
}

TEST_F(NativeMessaging, EndOfInputAnywhereIsANormalEnd) {
    const std::string frame = Frame(R"({"action":0})");
    struct Case { std::string name; std::string bytes; int replies; };
    const Case cases[] = {
        {"nothing", "", 0},
        {"between frames", frame, 1},
        {"inside the length", frame + frame.substr(0, 3), 1},
        {"after the length", frame.substr(0, 4), 0},
        {"inside the payload", frame + frame.substr(0, 9), 1},
        // An action no listener answers is dropped without a reply or a log line.
        {"after an unknown action", Frame(R"({"action":5})") + frame, 1},
    };
    for (const auto& c : cases) {
        AppSandbox own;
        DaemonProcess daemon(own, NativeArgs);
        daemon.WriteRaw(c.bytes);
        daemon.CloseStdin();
        for (int i = 0; i < c.replies; ++i) EXPECT_EQ(daemon.ReadFrame(), Pong) << c.name;
        EXPECT_EQ(daemon.ReadToEnd(), "") << c.name;
        EXPECT_EQ(daemon.WaitExit(), 0) << c.name << "\n" << own.ReadStderr();
        EXPECT_EQ(LoggedAfterStartUp(own), "") << c.name;
    }
}

namespace {

// Each case is a daemon of its own that ends with a logged stack trace, so each is a test of
// its own and they run side by side.
struct UnreadableRequest {
    std::string name;
    std::string bytes;
    std::string logged;
};

class UnreadableRequests : public ::testing::TestWithParam<UnreadableRequest> {};

}  // namespace

TEST_P(UnreadableRequests, EndTheDaemonWithExitCode1) {
    const auto& c = GetParam();
    AppSandbox own;
    DaemonProcess daemon(own, NativeArgs);
    // The frame is left open: the daemon must not wait for more input before failing.
    daemon.WriteRaw(c.bytes);
    EXPECT_EQ(daemon.WaitExit(), 1) << own.ReadStderr();
    EXPECT_EQ(daemon.ReadToEnd(), "");
    EXPECT_NE(own.ReadLogs().find(c.logged), std::string::npos) << own.ReadLogs();
}

INSTANTIATE_TEST_SUITE_P(
    NativeMessaging, UnreadableRequests,
    ::testing::Values(UnreadableRequest{"LengthMinus1", LengthPrefix(-1) + "{}", "Arg_OverflowException"},
                      UnreadableRequest{"TopBitSet", std::string("\x00\x00\x00\x80", 4), "Arg_OverflowException"},
                      UnreadableRequest{"OverTheLimit", LengthPrefix(64 * 1024 * 1024 + 1),
                                        "exceeds the limit of 67108864 bytes."},
                      UnreadableRequest{"Length0", LengthPrefix(0), "[Exception] "},
                      UnreadableRequest{"Null", Frame("null"), "Failed to deserialize message."},
                      UnreadableRequest{"NotJson", Frame("ping"), "[Exception] "}),
    [](const ::testing::TestParamInfo<UnreadableRequest>& c) { return c.param.name; });

// The Windows daemon's handling of missing standard handles is tested in-process.
const char* const ClosedUnderWine = "a closed descriptor 0 or 1 reaches a Windows program under Wine as a stray "
                                    "handle, not as the missing one Windows would give";

TEST_F(NativeMessaging, ClosedStandardInputIsAnEmptyOne) {
    if (AppSandbox::UnderWine()) GTEST_SKIP() << ClosedUnderWine;
    SpawnOptions noStdin;
    noStdin.stdinMode = SpawnOptions::Stream::Closed;
    auto daemon = Spawn(noStdin);
    EXPECT_EQ(daemon->ReadToEnd(), "");
    EXPECT_EQ(daemon->WaitExit(), 0) << Diagnostics();
}

TEST_F(NativeMessaging, ClosedStandardOutputLosesRepliesOnly) {
    if (AppSandbox::UnderWine()) GTEST_SKIP() << ClosedUnderWine;
    SpawnOptions noStdout;
    noStdout.stdoutMode = SpawnOptions::Stream::Closed;
    auto daemon = Spawn(noStdout);
    daemon->WriteFrame(R"({"action":0})");
    daemon->WriteFrame(R"({"action":2147483647})");
    EXPECT_EQ(daemon->WaitExit(), 0) << Diagnostics();
}

TEST_F(NativeMessaging, StandardInputFromAFile) {
    SpawnOptions fromFile;
    fromFile.stdinMode = SpawnOptions::Stream::File;
    fromFile.stdinFile = box.Root() / "requests.bin";
    WriteFile(fromFile.stdinFile, Frame(R"({"action":0})") + Frame(R"({"action":0})"));
    auto daemon = Spawn(fromFile);
    EXPECT_EQ(daemon->ReadFrame(), Pong) << Diagnostics();
    EXPECT_EQ(daemon->ReadFrame(), Pong);
    EXPECT_EQ(daemon->WaitExit(), 0) << Diagnostics();
}

TEST_F(NativeMessaging, RepliesToAReaderThatHasGoneAreLostWithoutFailure) {
    auto daemon = Spawn();
    daemon->WriteFrame(R"({"action":0})");
    ASSERT_EQ(daemon->ReadFrame(), Pong) << Diagnostics();
    daemon->CloseStdout();
    for (int i = 0; i < 3; ++i) daemon->WriteFrame(R"({"action":0})");
    daemon->CloseStdin();
    EXPECT_EQ(daemon->WaitExit(), 0) << Diagnostics();
    EXPECT_EQ(box.ReadLogs().find("[Exception] "), std::string::npos) << box.ReadLogs();
}
