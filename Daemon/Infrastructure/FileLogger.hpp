#pragma once
// The ring of numbered log files. A log call formats its line, queues it and starts a writer
// pass without waiting for it; passes take a one-slot lock and append the queued lines in
// queue order. Process-wide state lives in static members.

#include "Daemon/Infrastructure/LogLevel.hpp"
#include "Daemon/Infrastructure/LogMessage.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace Quillmark::Daemon::Infrastructure {

class FileLogger {
public:
    virtual ~FileLogger() = default;

    // Filters, formats and queues one line, then starts a writer pass; never waits for the lock.
    void Log(LogLevel level, const LogMessage& message, std::string_view memberName,
             std::string_view filePath, std::int32_t lineNumber);

    // Chooses the file to continue; runs once before the entry point.
    static void LoadCurrentLogFile();
    // Moves to the next file of the ring when the current one is full.
    static void RotateLogFileIfNeeded();
    // Writes every line queued so far before returning; for the end of the process.
    static void Flush();
    // Tests only: writes what is queued, then points the logger at a fresh folder with
    // "1.log" current, as if the process had just started there.
    static void ResetForTesting(std::string logDirectory);
    // Tests only: called with each line's record, on its writing pass, before the record is
    // appended; lets a test hold a pass where it wants. nullptr removes it.
    using AppendHook = void (*)(std::string_view record);
    static void SetAppendHookForTesting(AppendHook hook);

protected:
    // One writer pass.
    void DoProcessWriteLogAsync();
};

}  // namespace Quillmark::Daemon::Infrastructure
