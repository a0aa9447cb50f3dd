#include "Daemon/Infrastructure/FileLogger.hpp"

#include "Common/TextDecoding.hpp"
#include "Common/Utils.hpp"
#include "Platform/Clock.hpp"
#include "Platform/Failure.hpp"
#include "Platform/File/File.hpp"
#include "Platform/Path.hpp"
#include "Platform/Text/Ascii.hpp"
#include "Platform/Text/Integer.hpp"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace Quillmark::Daemon::Infrastructure {

namespace fs = std::filesystem;
using Common::Utils;
namespace Path = Platform::Path;
namespace Text = Platform::Text;

namespace {
constexpr std::int64_t FullFileSize = 1'048'576;
constexpr int RingSize = 5;
// Bounds the wait at the end of the process should a pass be stuck on a slow disk.
constexpr auto FlushLockWait = std::chrono::seconds(5);

struct State {
    std::string currentLogFile = "1.log";
    std::string logDirectory;
    // The one writer slot: a log call only ever tries it, Flush waits a bounded time for it.
    std::mutex writeLock;
    std::mutex queueGuard;
    std::deque<std::string> pendingLines;
};

// Created on first use and never destroyed, so lines logged while the process ends still
// find it. A failure to find the data folder leaves it uncreated and reaches the caller.
State& GetState() {
    static State* state = [] {
        auto* created = new State;
        created->logDirectory = Path::Join(Utils::GetDataDir(), "Logs");
        return created;
    }();
    return *state;
}

bool ShouldWrite(LogLevel level) {
    if (level == LogLevel::Debug) return false;
    if (level == LogLevel::Verbose) return Utils::IsVerboseLoggingEnabled();
    return true;
}

std::optional<std::string> TakeOldest(State& state) {
    std::lock_guard lock(state.queueGuard);
    if (state.pendingLines.empty()) return std::nullopt;
    auto line = std::move(state.pendingLines.front());
    state.pendingLines.pop_front();
    return line;
}

bool IsQueueEmpty(State& state) {
    std::lock_guard lock(state.queueGuard);
    return state.pendingLines.empty();
}

std::atomic<FileLogger::AppendHook> beforeAppend = nullptr;

// One open, append and close per line, so that nothing stays open between lines and a reader
// may open the file at any time.
void AppendLine(const State& state, const std::string& line) {
    const auto record = line + "\r\n";
    if (const auto hook = beforeAppend.load()) hook(record);
    auto file = Platform::File::OpenForAppend(Path::Join(state.logDirectory, state.currentLogFile));
    file.Write({reinterpret_cast<const std::uint8_t*>(record.data()), record.size()});
    file.Close();
}

// Writes queued lines until the queue is empty; the caller holds writeLock. A failed line is
// lost alone: the rest of the queue is still written.
void DrainQueue(State& state) {
    while (auto line = TakeOldest(state)) {
        try {
            AppendLine(state, *line);
        } catch (...) {
        }
        try {
            FileLogger::RotateLogFileIfNeeded();
        } catch (...) {
        }
    }
}

std::string_view WithoutExtension(std::string_view name) {
    auto dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(0, dot);
}

std::string FormatLocalTime(const Platform::LocalTimeParts& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.Year, t.Month, t.Day, t.Hour,
                  t.Minute, t.Second);
    return text;
}

std::string FormatLine(LogLevel level, const LogMessage& message, std::string_view memberName,
                       std::string_view filePath, std::int32_t lineNumber) {
    auto fileName = filePath.empty() ? std::string_view("Unknown") : Path::GetFileName(filePath);
    std::string line;
    line.reserve(96 + memberName.size() + message.Text().size());
    line += '[';
    line += FormatLocalTime(Platform::Clock::Current().LocalNow());
    line += "] {";
    line += Utils::GetCommitHash();
    line += "} [";
    line += fileName;
    line += ':';
    line += std::to_string(lineNumber);
    line += " | ";
    line += memberName;
    line += "] [";
    line += LogLevelName(level);
    line += "] ";
    line += message.Text();
    return Common::ToValidUtf8(line);
}
}  // namespace

void FileLogger::Log(LogLevel level, const LogMessage& message, std::string_view memberName,
                     std::string_view filePath, std::int32_t lineNumber) {
    if (!ShouldWrite(level)) return;
    try {
        auto line = FormatLine(level, message, memberName, filePath, lineNumber);
        auto& state = GetState();
        {
            std::lock_guard lock(state.queueGuard);
            state.pendingLines.push_back(std::move(line));
        }
        DoProcessWriteLogAsync();
    } catch (...) {
        // The log call never reports a problem of the logging.
    }
}

void FileLogger::DoProcessWriteLogAsync() {
    auto& state = GetState();
    // A pass that finds the slot taken leaves its line to the holder, which looks at the
    // queue again after releasing the slot, so no line is stranded.
    while (!IsQueueEmpty(state)) {
        std::unique_lock slot(state.writeLock, std::try_to_lock);
        if (!slot) return;
        DrainQueue(state);
    }
}

void FileLogger::Flush() {
    try {
        auto& state = GetState();
        const auto deadline = std::chrono::steady_clock::now() + FlushLockWait;
        while (!state.writeLock.try_lock()) {
            if (std::chrono::steady_clock::now() > deadline) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::unique_lock slot(state.writeLock, std::adopt_lock);
        DrainQueue(state);
    } catch (...) {
    }
}

void FileLogger::RotateLogFileIfNeeded() {
    auto& state = GetState();
    // One look at the file after each line: its length, or that it is not there.
    const auto size = Platform::File::SizeOf(Path::Join(state.logDirectory, state.currentLogFile));
    if (!size || *size < FullFileSize) return;

    auto number = Text::ParseInteger<std::int32_t>(WithoutExtension(state.currentLogFile)).value_or(0);
    state.currentLogFile = std::to_string(number % RingSize + 1) + ".log";
    Platform::File::Truncate(Path::Join(state.logDirectory, state.currentLogFile));
}

void FileLogger::LoadCurrentLogFile() {
    auto& state = GetState();
    const auto folder = Path::ToFsPath(state.logDirectory);
    std::error_code error;
    fs::create_directories(folder, error);
    if (error) throw Platform::IoFailure(Platform::PlatformText("IO_PathNotCreated", {state.logDirectory, error.message()}));

    std::optional<std::string> chosen;
    fs::file_time_type chosenTime{};
    fs::directory_iterator listing(folder, error);
    if (error) throw Platform::IoFailure(error.message());
    for (const auto& entry : listing) {
        std::error_code entryError;
        if (entry.is_directory(entryError)) continue;
        auto name = Path::FromFsPath(entry.path().filename());
        if (!Text::EndsWithIgnoreCase(name, ".log") || !Text::ParseInteger<std::int32_t>(WithoutExtension(name))) continue;
        auto written = entry.last_write_time(entryError);
        if (entryError) continue;
        // Strictly later only: among equal times the first listed wins.
        if (!chosen || written > chosenTime) {
            chosen = name;
            chosenTime = written;
        }
    }
    if (!chosen) return;
    state.currentLogFile = *chosen;
    RotateLogFileIfNeeded();
}

void FileLogger::SetAppendHookForTesting(AppendHook hook) { beforeAppend = hook; }

void FileLogger::ResetForTesting(std::string logDirectory) {
    Flush();
    auto& state = GetState();
    std::lock_guard slot(state.writeLock);
    state.logDirectory = std::move(logDirectory);
    state.currentLogFile = "1.log";
}

}  // namespace Quillmark::Daemon::Infrastructure
