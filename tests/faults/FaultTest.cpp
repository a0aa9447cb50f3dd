// The daemon's surroundings failing under it: its log folder taken away or made unwritable,
// its temporary folder removed before an upload or taken by someone else before the start, the
// signing program killed mid-sign. Each time the client gets a proper reply and the daemon
// goes on serving.
#include "tests/soak/TransferClient.hpp"
#include "tests/support/AppSandbox.hpp"
#include "tests/support/DaemonProcess.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <thread>

namespace {

using namespace Quillmark::TestSupport;
namespace fs = std::filesystem;

bool Pong(Channel& channel) {
    const auto reply = Request(channel, 0, std::nullopt);
    return reply && reply->action == 0 && reply->errorCode == 0 && reply->data == "Pong";
}

// A request the daemon answers with an error reply and logs at level Exception.
void ExpectMissingFileAnswered(Channel& channel, const std::string& name) {
    const auto reply = Request(channel, 2, R"({"action":0,"fileName":")" + name + R"("})");
    ASSERT_TRUE(reply) << "no reply for " << name;
    EXPECT_EQ(reply->errorCode, 2);
    EXPECT_EQ(reply->errorMessage, "File " + name + " does not exist");
}

TEST(Faults, LogFolderGoneOrUnwritableLosesLinesOnly) {
    AppSandbox box;
    DaemonProcess daemon(box, {"chrome-extension://faults/"});
    PipeChannel pipe(daemon);
    ASSERT_TRUE(Pong(pipe));
    ASSERT_TRUE(box.WaitForLog("Failed to load update reminder config.")) << box.ReadStderr();

    struct Case {
        const char* what;
        void (*breakFolder)(const fs::path&);
    };
    const Case cases[] = {
        {"removed", [](const fs::path& logs) { fs::remove_all(logs); }},
        // A plain file where the folder was: no one, root included, can create files in it.
        {"a file in its place",
         [](const fs::path& logs) {
             fs::remove_all(logs);
             WriteFile(logs, "not a folder");
         }},
        {"read-only",
         [](const fs::path& logs) { fs::permissions(logs, fs::perms::owner_read | fs::perms::owner_exec); }},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (std::string_view(c.what) == "read-only" && geteuid() == 0) {
            std::printf("running as root: a read-only folder does not stop root, so that case is skipped\n");
            continue;
        }
        c.breakFolder(box.LogDir());
        const std::string lost = "lost" + std::to_string(round) + ".pdf";
        ExpectMissingFileAnswered(pipe, lost);
        ASSERT_TRUE(Pong(pipe)) << box.ReadStderr();
        ASSERT_TRUE(daemon.Running());

        // Once the folder is back, lines are written again; the lost one stays lost.
        if (!fs::is_directory(box.LogDir())) fs::remove(box.LogDir());
        fs::create_directories(box.LogDir());
        fs::permissions(box.LogDir(), fs::perms::owner_all);
        const std::string kept = "kept" + std::to_string(round) + ".pdf";
        ExpectMissingFileAnswered(pipe, kept);
        EXPECT_TRUE(box.WaitForLog("File " + kept + " does not exist")) << box.ReadLogs();
        EXPECT_EQ(box.ReadLogs().find("File " + lost + " does not exist"), std::string::npos);
        ++round;
    }
    daemon.CloseStdin();
    EXPECT_EQ(daemon.WaitExit(), 0);
}

TEST(Faults, TemporaryFolderRemovedBeforeAnUpload) {
    AppSandbox box;
    DaemonProcess daemon(box, {"chrome-extension://faults/"});
    PipeChannel pipe(daemon);
    ASSERT_TRUE(Pong(pipe));
    const auto bytes = RandomBytes(300000, 7);

    fs::remove_all(box.TempFolder());
    const auto failed = Upload(pipe, bytes);
    EXPECT_FALSE(failed.completed);
    ASSERT_TRUE(failed.last) << failed.problem;
    EXPECT_EQ(failed.last->errorCode, 2);
    EXPECT_TRUE(failed.last->errorMessage && !failed.last->errorMessage->empty());
    EXPECT_FALSE(failed.last->data);
    EXPECT_TRUE(!fs::exists(box.TempFolder()) || fs::is_empty(box.TempFolder())) << "a partial file was left";

    fs::create_directories(box.TempFolder());
    const auto upload = Upload(pipe, bytes);
    ASSERT_TRUE(upload.completed) << upload.problem;
    EXPECT_EQ(Download(pipe, upload.fileName), bytes);
    daemon.CloseStdin();
    EXPECT_EQ(daemon.WaitExit(), 0);
}

// A temporary folder that another user made first, open to all and with a link planted in
// it: the daemon neither empties it, stores into it nor serves from it, says so once, and
// works in its per-user fallback instead.
TEST(Faults, TemporaryFolderOpenToOthersIsLeftForAPrivateOne) {
    if (AppSandbox::UnderWine())
        GTEST_SKIP() << "another user's folder (owner, mode bits, a planted link) is a POSIX arrangement: "
                        "Wine shows every folder to a Windows program as the user's own";
    AppSandbox box;
    WriteFile(box.Root() / "victim.txt", "the user's own");
    fs::create_directories(box.TempFolder());
    WriteFile(box.TempFolder() / "planted.pdf", "planted");
    fs::create_symlink(box.Root() / "victim.txt", box.TempFolder() / "link.pdf");
    fs::permissions(box.TempFolder(), fs::perms::all | fs::perms::sticky_bit);
    if (geteuid() == 0) {
        ASSERT_EQ(lchown(box.TempFolder().c_str(), 65534, 65534), 0);
    }
    const auto fallback = box.TmpDir() / ("Quillmark-" + std::to_string(geteuid()));

    DaemonProcess daemon(box, {"chrome-extension://faults/"});
    PipeChannel pipe(daemon);
    ASSERT_TRUE(Pong(pipe));
    EXPECT_TRUE(box.WaitForLog("[Warn] Temporary folder " + box.TempFolder().string() +
                               " is not this user's alone; using " + fallback.string() + "."))
        << box.ReadLogs();

    const auto bytes = RandomBytes(70000, 11);
    const auto upload = Upload(pipe, bytes);
    ASSERT_TRUE(upload.completed) << upload.problem;
    EXPECT_EQ(ReadFile(fallback / upload.fileName), std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(Download(pipe, upload.fileName), bytes);
    ExpectMissingFileAnswered(pipe, "planted.pdf");
    ExpectMissingFileAnswered(pipe, "link.pdf");

    EXPECT_FALSE(fs::exists(box.TempFolder() / upload.fileName));
    EXPECT_EQ(ReadFile(box.TempFolder() / "planted.pdf"), "planted");
    EXPECT_TRUE(fs::is_symlink(box.TempFolder() / "link.pdf"));
    EXPECT_EQ(fs::status(fallback).permissions(), fs::perms::owner_all);
    daemon.CloseStdin();
    EXPECT_EQ(daemon.WaitExit(), 0);
}

// Waits for the stand-in to name its process id, which it does once its output is out.
int WaitForPid(const fs::path& pidFile, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!fs::exists(pidFile)) {
        if (std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::stoi(ReadFile(pidFile));
}

// Ends the process at once and answers the exit code it leaves: SIGKILL on Linux (128 + 9);
// on Windows TerminateProcess through Wine's taskkill, which gives 0 (Windows' own gives 1);
// nothing when it could not.
std::optional<int> KillAtOnce(const AppSandbox& box, int pid) {
    if (!box.Windows()) return ::kill(pid, SIGKILL) == 0 ? std::optional(137) : std::nullopt;
    SpawnOptions wine;
    wine.executable = AppSandbox::WineLoader();
    DaemonProcess taskkill(box, {"taskkill", "/F", "/PID", std::to_string(pid)}, {}, wine);
    return taskkill.WaitExit() == 0 ? std::optional(0) : std::nullopt;
}

TEST(Faults, SigningProgramKilledMidSign) {
    AppSandbox box({"Quillmark.GUI.Avalonia.exe"});
    const auto pidFile = box.Root() / "gui-pid";
    DaemonProcess daemon(box, {"chrome-extension://faults/"},
                         {{"QUILLMARK_STANDIN_PID_FILE", box.ForDaemon(pidFile)},
                          {"QUILLMARK_STANDIN_OUTPUT", "signing started\n"},
                          {"QUILLMARK_STANDIN_SLEEP_MS", "60000"},
                          // A program that ended by itself would say so.
                          {"QUILLMARK_STANDIN_EXIT_CODE", "5"}});
    PipeChannel pipe(daemon);
    const auto upload = Upload(pipe, RandomBytes(5000, 3));
    ASSERT_TRUE(upload.completed) << upload.problem;

    ASSERT_TRUE(pipe.Send(R"({"action":3,"data":"{\"pdfFileName\":\")" + upload.fileName + R"(\"}"})"));
    const int gui = WaitForPid(pidFile, std::chrono::seconds(10));
    ASSERT_GT(gui, 0) << "the signing program never ran";
    const auto exitCode = KillAtOnce(box, gui);
    ASSERT_TRUE(exitCode) << "the signing program could not be killed";

    const auto text = pipe.Receive(std::chrono::seconds(20));
    ASSERT_TRUE(text) << "no reply to the sign request";
    const auto reply = ParseReply(*text);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->action, 3);
    EXPECT_EQ(reply->errorCode, 0);
    EXPECT_EQ(reply->data, R"({"exitCode":)" + std::to_string(*exitCode) + R"(,"output":"signing started\n"})");
    ASSERT_TRUE(Pong(pipe));
    EXPECT_EQ(Download(pipe, upload.fileName).has_value(), true);
    daemon.CloseStdin();
    EXPECT_EQ(daemon.WaitExit(), 0);
}

}  // namespace
