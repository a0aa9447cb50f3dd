#pragma once
// Starts the sibling updater when the update state says it is due. Runs once, on the main
// thread during start-up, after the state file was loaded.

#include <optional>
#include <string>
#include <string_view>

namespace Quillmark::Daemon::Infrastructure {

class UpdateManager {
public:
    static constexpr std::string_view UpdaterFileName = "Quillmark.Updater.exe";

    // Starts the updater of the application directory when "remindAfter" has come and
    // "lastChecked" lies a whole day back; not waited for. Logs what it did; never fails.
    static void CheckAndLaunchUpdater();
    // As above, with the updater looked for in the given folder instead.
    static void CheckAndLaunchUpdater(std::optional<std::string> applicationDirectory);
};

}  // namespace Quillmark::Daemon::Infrastructure
