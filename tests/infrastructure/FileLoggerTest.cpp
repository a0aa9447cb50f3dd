#include "Daemon/Infrastructure/FileLogger.hpp"

#include "Common/Utils.hpp"
#include "Daemon/Infrastructure/AppLogger.hpp"
#include "Daemon/Infrastructure/MyLogger.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Runtime/ProcessLifetime.hpp"
#include "tests/infrastructure/LoggerFixture.hpp"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

using namespace Quillmark::Daemon::Infrastructure;
using Quillmark::Common::Utils;
using Quillmark::Tests::LoggerTest;
using Quillmark::Tests::ReadAll;
using Quillmark::Tests::ScopedVariable;
using Quillmark::Tests::WriteAll;
namespace fs = std::filesystem;

namespace {
constexpr std::size_t Full = 1'048'576;

std::string Prefix() { return "[2026-03-04 05:06:07] {" + Utils::GetCommitHash() + "} "; }
}  // namespace

TEST_F(LoggerTest, LineFormat) {
    auto& logger = MyLogger::Instance();
    logger.Log(LogLevel::Warn, "hello", "Main", "/src/Daemon/Program.cpp", 42);
    logger.Log(LogLevel::Info, "win", "Run", "C:\\src\\Program.cs", 7);
    logger.Log(LogLevel::Error, "no file", "Run", "", 9);
    logger.Log(LogLevel::Exception, nullptr, "", "/a/b.cpp", 0);
    logger.Log(LogLevel::Info, "bad \xFF byte", "M", "x.cpp", 1);
    EXPECT_EQ(Log("1.log"),
              Prefix() + "[Program.cpp:42 | Main] [Warn] hello\r\n" +
              Prefix() + "[Program.cs:7 | Run] [Info] win\r\n" +
              Prefix() + "[Unknown:9 | Run] [Error] no file\r\n" +
              Prefix() + "[b.cpp:0 | ] [Exception] \r\n" +
              Prefix() + "[x.cpp:1 | M] [Info] bad \xEF\xBF\xBD byte\r\n");
}

TEST_F(LoggerTest, ShortFormsNameTheirCaller) {
    const int line = __LINE__ + 1;
    AppLogger::Warn("careful");
    AppLogger::Error("bad");
    MyLogger::Instance().Log(LogLevel::Info, "info");
    const std::string where = "[FileLoggerTest.cpp:";
    const std::string member = " | TestBody] ";
    EXPECT_EQ(Log("1.log"),
              Prefix() + where + std::to_string(line) + member + "[Warn] careful\r\n" +
              Prefix() + where + std::to_string(line + 1) + member + "[Error] bad\r\n" +
              Prefix() + where + std::to_string(line + 2) + member + "[Info] info\r\n");
}

TEST_F(LoggerTest, FailureIsWrittenWithItsWholeDescription) {
    try {
        throw Quillmark::Platform::IoFailure("disk\r\ngone");
    } catch (const std::exception& failure) {
        AppLogger::Exception(failure);
        auto description = Quillmark::Platform::DescribeFailure(failure);
        ASSERT_NE(description.find('\n'), std::string::npos);
        auto text = Log("1.log");
        auto at = text.find("[Exception] ");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(text.substr(at + 12), description + "\r\n");
    }
}

TEST_F(LoggerTest, LevelFilterReadsTheVariableAtEveryCall) {
    auto& logger = MyLogger::Instance();
    struct Case { const char* verbose; LogLevel level; bool written; };
    const Case cases[] = {
        {nullptr, LogLevel::Verbose, false}, {"1", LogLevel::Verbose, true},
        {"01", LogLevel::Verbose, false},    {"true", LogLevel::Verbose, false},
        {"1 ", LogLevel::Verbose, false},    {"", LogLevel::Verbose, false},
        {"1", LogLevel::Debug, false},       {nullptr, LogLevel::Debug, false},
        {nullptr, LogLevel::Info, true},     {nullptr, LogLevel::Exception, true},
    };
    std::string expected;
    int index = 0;
    for (const auto& c : cases) {
        ScopedVariable verbose("QUILLMARK_VERBOSE_LOGGING", c.verbose);
        auto message = "case " + std::to_string(index++);
        logger.Log(c.level, message, "F", "f.cpp", 1);
        // The base class filters again for callers that reach it directly.
        logger.FileLogger::Log(c.level, message + "b", "F", "f.cpp", 1);
        if (c.written) {
            for (auto text : {message, message + "b"}) {
                expected += Prefix() + "[f.cpp:1 | F] [" + std::string(LogLevelName(c.level)) + "] " + text + "\r\n";
            }
        }
    }
    EXPECT_EQ(Log("1.log"), expected);
}

TEST_F(LoggerTest, RotatesOnceAFileHoldsAFullMegabyte) {
    auto& logger = MyLogger::Instance();
    const std::string x = Prefix() + "[f.cpp:1 | F] [Info] x\r\n";
    const std::string y = Prefix() + "[f.cpp:1 | F] [Info] y\r\n";
    for (std::size_t total : {Full - 1, Full}) {
        SCOPED_TRACE(total);
        FileLogger::ResetForTesting(logs.string());
        const std::string filler(total - x.size(), 'a');
        WriteAll(logs / "1.log", filler);
        WriteAll(logs / "2.log", "old lines\r\n");
        logger.Log(LogLevel::Info, "x", "F", "f.cpp", 1);
        const bool rotated = total >= Full;
        EXPECT_EQ(Log("2.log"), rotated ? "" : "old lines\r\n");
        logger.Log(LogLevel::Info, "y", "F", "f.cpp", 1);
        EXPECT_EQ(Log("1.log"), filler + x + (rotated ? "" : y));
        if (rotated) {
            EXPECT_EQ(Log("2.log"), y);
        }
    }
}

TEST_F(LoggerTest, RingRunsOneToFiveAndEmptiesTheFileItTakes) {
    auto& logger = MyLogger::Instance();
    for (int i = 1; i <= 5; ++i) WriteAll(logs / (std::to_string(i) + ".log"), "stale\r\n");
    // Each line lands in a file just filled up, so every next line goes to the next file of the ring.
    for (int i = 0; i < 6; ++i) {
        const auto current = logs / (std::to_string(i % 5 + 1) + ".log");
        std::ofstream(current, std::ios::binary | std::ios::app) << std::string(Full, 'z');
        logger.Log(LogLevel::Info, "line " + std::to_string(i), "F", "f.cpp", 1);
        FileLogger::Flush();
    }
    logger.Log(LogLevel::Info, "last", "F", "f.cpp", 1);
    for (int i = 2; i <= 5; ++i) {
        EXPECT_EQ(Log(std::to_string(i) + ".log").find("stale"), std::string::npos) << i;
    }
    // The first file was taken again after the fifth, and emptied then.
    EXPECT_EQ(Log("1.log"), std::string(Full, 'z') + Prefix() + "[f.cpp:1 | F] [Info] line 5\r\n");
    EXPECT_EQ(Log("2.log"), Prefix() + "[f.cpp:1 | F] [Info] last\r\n");
    EXPECT_FALSE(fs::exists(logs / "6.log"));
}

TEST_F(LoggerTest, HugeMessagesMakeBoundedLines) {
    auto& logger = MyLogger::Instance();
    // Eight download requests naming a 50 MB file.
    const std::string huge(50 << 20, 'f');
    for (int i = 0; i < 8; ++i) logger.Log(LogLevel::Error, huge, "F", "f.cpp", 1);
    logger.Log(LogLevel::Info, "short", "F", "f.cpp", 1);
    const std::string cut = Prefix() + "[f.cpp:1 | F] [Error] " + std::string(LogMessage::MaxTextBytes, 'f') +
                            "... [truncated: 52428800 bytes in all]\r\n";
    std::string expected;
    for (int i = 0; i < 8; ++i) expected += cut;
    expected += Prefix() + "[f.cpp:1 | F] [Info] short\r\n";
    const auto text = Log("1.log");
    EXPECT_EQ(text.size(), expected.size());
    EXPECT_TRUE(text == expected);
    EXPECT_FALSE(fs::exists(logs / "2.log"));
}

TEST_F(LoggerTest, FailedAppendLosesOnlyThatLine) {
    auto& logger = MyLogger::Instance();
    logger.Log(LogLevel::Info, "before", "F", "f.cpp", 1);
    fs::remove_all(logs);
    logger.Log(LogLevel::Info, "lost", "F", "f.cpp", 1);
    fs::create_directories(logs);
    logger.Log(LogLevel::Info, "after", "F", "f.cpp", 1);
    logger.Log(LogLevel::Info, "later", "F", "f.cpp", 1);
    EXPECT_EQ(Log("1.log"), Prefix() + "[f.cpp:1 | F] [Info] after\r\n" +
                                Prefix() + "[f.cpp:1 | F] [Info] later\r\n");
}

TEST_F(LoggerTest, ManyThreadsLoseAndInterleaveNothing) {
    constexpr int Threads = 8;
    constexpr int Lines = 1500;
    // Enough text to cross one rotation, so lines also survive a change of file mid-stream.
    const std::string padding(40, '.');
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([t, &padding] {
            for (int n = 0; n < Lines; ++n) {
                MyLogger::Instance().Log(LogLevel::Info, "T" + std::to_string(t) + " N" + std::to_string(n) + padding,
                                         "Worker", "w.cpp", t);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    FileLogger::Flush();
    ASSERT_TRUE(fs::exists(logs / "2.log"));
    ASSERT_FALSE(fs::exists(logs / "5.log"));
    std::string text;
    for (auto name : {"1.log", "2.log", "3.log", "4.log"}) text += ReadAll(logs / name);
    std::map<int, int> next;
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ASSERT_FALSE(line.empty());
        ASSERT_EQ(line.back(), '\r');
        line.pop_back();
        // Each line must be exactly the one its thread wrote next.
        auto at = line.find("] [Info] T");
        ASSERT_NE(at, std::string::npos) << line;
        int t = line[at + 10] - '0';
        ASSERT_TRUE(t >= 0 && t < Threads) << line;
        int n = next[t]++;
        ASSERT_EQ(line, Prefix() + "[w.cpp:" + std::to_string(t) + " | Worker] [Info] T" + std::to_string(t) + " N" +
                            std::to_string(n) + padding);
        ++count;
    }
    EXPECT_EQ(count, Threads * Lines);
}

namespace {
struct Prepared {
    std::string name;
    int ageSeconds;  // how long ago it was last written
    bool full = false;
};

struct LoadCase {
    const char* title;
    std::vector<Prepared> files;
    std::string continued;  // the file the next line goes to
    bool emptied = false;   // that file was taken by rotation at load
};
}  // namespace

TEST_F(LoggerTest, LoadContinuesTheLatestNumberedFile) {
    const std::vector<LoadCase> cases = {
        {"empty folder", {}, "1.log"},
        {"third written last", {{"1.log", 50}, {"2.log", 40}, {"3.log", 10}, {"4.log", 30}, {"5.log", 20}}, "3.log"},
        {"third full", {{"1.log", 50}, {"2.log", 40}, {"3.log", 10, true}, {"4.log", 30}, {"5.log", 20}}, "4.log", true},
        {"fifth full wraps", {{"1.log", 50}, {"5.log", 10, true}}, "1.log", true},
        {"seven", {{"7.log", 10}, {"1.log", 20}}, "7.log"},
        {"seven full", {{"7.log", 10, true}}, "3.log", true},
        {"zero full", {{"0.log", 10, true}}, "1.log", true},
        {"minus three", {{"-3.log", 10}}, "-3.log"},
        {"minus three full", {{"-3.log", 10, true}}, "-2.log", true},
        {"leading zeros", {{"007.log", 10}, {"2.log", 20}}, "007.log"},
        {"leading zeros full", {{"007.log", 10, true}}, "3.log", true},
        {"upper-case extension", {{"4.LOG", 10}, {"2.log", 20}}, "4.LOG"},
        {"upper-case extension full", {{"4.LOG", 10, true}}, "5.log", true},
        {"sign", {{"+4.log", 10}, {"2.log", 20}}, "+4.log"},
        {"blanks around the number", {{" 5 .log", 10}, {"2.log", 20}}, " 5 .log"},
        {"blanks around the number full", {{" 5 .log", 10, true}}, "1.log", true},
        {"int32 minimum full", {{"-2147483648.log", 10, true}}, "-2.log", true},
        {"names that do not parse",
         {{"app.log", 1}, {"1.5.log", 2}, {"2147483648.log", 3}, {"-2147483649.log", 3}, {"+-3.log", 3},
          {"3a.log", 3}, {"-.log", 3}, {".log", 4}, {"3.txt", 5}, {"2.log", 30}},
         "2.log"},
    };
    const auto now = fs::file_time_type::clock::now();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        fs::remove_all(logs);
        fs::create_directories(logs);
        for (const auto& file : c.files) {
            WriteAll(logs / file.name, file.full ? std::string(Full, 'o') : "kept\r\n");
            fs::last_write_time(logs / file.name, now - std::chrono::seconds(file.ageSeconds));
        }
        FileLogger::ResetForTesting(logs.string());
        FileLogger::LoadCurrentLogFile();
        MyLogger::Instance().Log(LogLevel::Info, "next", "F", "f.cpp", 1);
        const std::string next = Prefix() + "[f.cpp:1 | F] [Info] next\r\n";
        auto text = Log(c.continued);
        if (c.emptied) {
            EXPECT_EQ(text, next);
        } else {
            EXPECT_EQ(text, (c.files.empty() ? "" : "kept\r\n") + next);
        }
        for (const auto& file : c.files) {
            if (file.name != c.continued && !file.full) {
                EXPECT_EQ(ReadAll(logs / file.name), "kept\r\n") << file.name;
            }
        }
    }
}

TEST_F(LoggerTest, LoadBreaksTiesByListingOrderAndSkipsFolders) {
    const auto then = fs::file_time_type::clock::now() - std::chrono::seconds(100);
    for (auto name : {"2.log", "3.log", "4.log"}) {
        WriteAll(logs / name, "kept\r\n");
        fs::last_write_time(logs / name, then);
    }
    fs::create_directories(logs / "9.log");
    std::string firstListed;
    for (const auto& entry : fs::directory_iterator(logs)) {
        if (entry.is_regular_file()) {
            firstListed = entry.path().filename().string();
            break;
        }
    }
    FileLogger::LoadCurrentLogFile();
    MyLogger::Instance().Log(LogLevel::Info, "next", "F", "f.cpp", 1);
    EXPECT_EQ(Log(firstListed), "kept\r\n" + Prefix() + "[f.cpp:1 | F] [Info] next\r\n");
}

TEST_F(LoggerTest, LoadCreatesAMissingLogFolder) {
    fs::remove_all(logs);
    FileLogger::LoadCurrentLogFile();
    EXPECT_TRUE(fs::is_directory(logs));
    MyLogger::Instance().Log(LogLevel::Info, "first", "F", "f.cpp", 1);
    EXPECT_EQ(Log("1.log"), Prefix() + "[f.cpp:1 | F] [Info] first\r\n");
}

namespace {
// Holds the writing pass of each line whose record contains `held` until released.
std::atomic<const char*> held = nullptr;
std::atomic<bool> holding = false;
std::atomic<bool> released = false;
void HoldMarkedLine(std::string_view record) {
    const char* marker = held;
    if (marker == nullptr || record.find(marker) == std::string_view::npos) return;
    holding = true;
    // Bounded so that a test that never releases still ends.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!released && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
}

// Sets the hook for one scope.
struct HeldLine {
    explicit HeldLine(const char* marker) {
        held = marker;
        holding = false;
        released = false;
        FileLogger::SetAppendHookForTesting(&HoldMarkedLine);
    }
    ~HeldLine() {
        released = true;
        FileLogger::SetAppendHookForTesting(nullptr);
        held = nullptr;
    }
    // Waits until the marked line's pass is held; false when the wait runs out.
    static bool WaitHeld() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!holding) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }
};
}  // namespace

TEST_F(LoggerTest, CallWhileAPassIsWritingReturnsAtOnceAndItsLineIsWrittenByThatPass) {
    HeldLine hold("] A\r\n");
    std::thread holder([] { MyLogger::Instance().Log(LogLevel::Info, "A", "F", "f.cpp", 1); });
    ASSERT_TRUE(HeldLine::WaitHeld());
    auto others = std::async(std::launch::async, [] {
        MyLogger::Instance().Log(LogLevel::Info, "B", "F", "f.cpp", 1);
        MyLogger::Instance().Log(LogLevel::Info, "C", "F", "f.cpp", 1);
    });
    EXPECT_EQ(others.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "a log call waited for the writing pass";
    // Nothing is written while the pass is held: B and C wait behind A.
    EXPECT_EQ(ReadAll(logs / "1.log"), "");
    released = true;
    holder.join();
    others.wait();
    EXPECT_EQ(Log("1.log"), Prefix() + "[f.cpp:1 | F] [Info] A\r\n" + Prefix() + "[f.cpp:1 | F] [Info] B\r\n" +
                                Prefix() + "[f.cpp:1 | F] [Info] C\r\n");
}

// POSIX only: a FIFO planted where the log file goes, and the end of the process seen from a
// forked child. (Windows: the file backend refuses pipes and reparse points on its own tests,
// and the process end's hook runs in the process-lifetime tests.)
#ifndef _WIN32
TEST_F(LoggerTest, NeverWaitsOnAPipeOrFollowsALinkInPlaceOfItsFile) {
    auto& logger = MyLogger::Instance();
    char buffer[4096];
    ASSERT_EQ(::mkfifo((logs / "1.log").c_str(), 0600), 0);
    // A pipe without a reader would hold an ordinary open for good; with one, every write.
    auto call = std::async(std::launch::async, [&logger] { logger.Log(LogLevel::Info, "lost", "F", "f.cpp", 1); });
    const bool returned = call.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_TRUE(returned) << "the writing pass waits for a reader of the pipe";
    const int reader = ::open((logs / "1.log").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    call.wait();
    if (!returned) ::read(reader, buffer, sizeof buffer);
    logger.Log(LogLevel::Info, "lost too", "F", "f.cpp", 1);
    FileLogger::Flush();
    EXPECT_LE(::read(reader, buffer, sizeof buffer), 0);
    ::close(reader);

    fs::remove(logs / "1.log");
    WriteAll(folder.Path() / "elsewhere", "kept");
    fs::create_symlink(folder.Path() / "elsewhere", logs / "1.log");
    logger.Log(LogLevel::Info, "lost again", "F", "f.cpp", 1);
    FileLogger::Flush();
    EXPECT_EQ(ReadAll(folder.Path() / "elsewhere"), "kept");

    fs::remove(logs / "1.log");
    logger.Log(LogLevel::Info, "written", "F", "f.cpp", 1);
    EXPECT_EQ(Log("1.log"), Prefix() + "[f.cpp:1 | F] [Info] written\r\n");
}

namespace {
// The daemon's handler, reduced to its log line.
void LogTheFailure(const void*, const Quillmark::Platform::Runtime::UnhandledFailureEventArgs& e) {
    AppLogger::Exception(e.ExceptionObject);
}
}  // namespace

TEST_F(LoggerTest, LinesStillQueuedAreWrittenBeforeTheProcessEnds) {
    namespace Runtime = Quillmark::Platform::Runtime;
    const std::string queued = Prefix() + "[f.cpp:1 | F] [Info] A\r\n" + Prefix() + "[f.cpp:1 | F] [Info] B\r\n" +
                               Prefix() + "[f.cpp:1 | F] [Info] C\r\n";
    struct Case { const char* title; bool unhandled; int exitCode; };
    for (const auto& c : {Case{"normal end", false, 0}, Case{"unhandled failure", true, 1}}) {
        SCOPED_TRACE(c.title);
        fs::remove(logs / "1.log");
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The end of the process as main wires it, with the held pass let go only once the
            // process has begun to end: the flush must wait for it and then write B and C.
            HeldLine hold("] A\r\n");
            Runtime::SetPreExitHook([] {
                released = true;
                FileLogger::Flush();
            });
            Runtime::SetUnhandledFailureHandler(&LogTheFailure);
            std::thread holder([] { MyLogger::Instance().Log(LogLevel::Info, "A", "F", "f.cpp", 1); });
            if (!HeldLine::WaitHeld()) ::_exit(3);
            MyLogger::Instance().Log(LogLevel::Info, "B", "F", "f.cpp", 1);
            MyLogger::Instance().Log(LogLevel::Info, "C", "F", "f.cpp", 1);
            holder.detach();
            if (c.unhandled) Runtime::RaiseUnhandledFailure(std::make_exception_ptr(Quillmark::Platform::PlainFailure("boom")));
            Runtime::ExitNow(0);
        }
        int status = 0;
        bool ended = false;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!(ended = ::waitpid(child, &status, WNOHANG) == child) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (!ended) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
        }
        EXPECT_TRUE(ended);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitCode) << status;
        const auto text = ReadAll(logs / "1.log");
        ASSERT_GE(text.size(), queued.size()) << text;
        EXPECT_EQ(text.substr(0, queued.size()), queued);
        const auto rest = text.substr(queued.size());
        if (c.unhandled) {
            EXPECT_EQ(rest.rfind(Prefix() + "[FileLoggerTest.cpp:", 0), 0u) << rest;
            EXPECT_NE(rest.find(" | LogTheFailure] [Exception] Failure: boom"), std::string::npos) << rest;
        } else {
            EXPECT_EQ(rest, "");
        }
    }
}
#endif
