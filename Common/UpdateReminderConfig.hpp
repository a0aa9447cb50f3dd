#pragma once
// The update state file "update_state.json" of the data folder, which the daemon only reads.
// Process-wide state, loaded once during start-up on the main thread; no lock.

#include "Common/DateTime.hpp"

#include <string>

namespace Quillmark::Common {

class UpdateReminderConfig {
public:
    static constexpr std::string_view StateFileName = "update_state.json";

    // Reads the file; true when "versionCode", "remindAfter" and "lastChecked" were all read.
    // Never fails. Values read before a failing step stay assigned.
    static bool Load();
    // No updater start before this moment; 0001-01-01 until loaded.
    static DateTime RemindAfter() noexcept;
    // The updater starts only once this lies a day back; 0001-01-01 until loaded.
    static DateTime LastChecked() noexcept;
    // The data folder joined with the file name, fixed (and the folder created) at first use.
    static const std::string& StateFilePath();
};

}  // namespace Quillmark::Common
