#include "Daemon/Infrastructure/UpdateManager.hpp"

#include "Common/UpdateReminderConfig.hpp"
#include "Common/Utils.hpp"
#include "Daemon/Infrastructure/AppLogger.hpp"
#include "Daemon/Infrastructure/MyLogger.hpp"
#include "Platform/Clock.hpp"
#include "Platform/Path.hpp"
#include "Platform/Process/DetachedProcess.hpp"

#include <filesystem>
#include <system_error>

namespace Quillmark::Daemon::Infrastructure {

using Common::UpdateReminderConfig;

void UpdateManager::CheckAndLaunchUpdater() { CheckAndLaunchUpdater(std::nullopt); }

void UpdateManager::CheckAndLaunchUpdater(std::optional<std::string> applicationDirectory) {
    try {
        const auto& clock = Platform::Clock::Current();
        if (clock.UtcNowTicks() < UpdateReminderConfig::RemindAfter().Ticks) return;
        const auto due = UpdateReminderConfig::LastChecked().AddTicks(Platform::TicksPerDay);
        if (due.Ticks > clock.UtcNowTicks()) return;

        const auto folder = applicationDirectory ? *applicationDirectory : Common::Utils::GetCurrentDir();
        const auto updater = Platform::Path::Join(folder, UpdaterFileName);
        std::error_code error;
        const auto path = Platform::Path::ToFsPath(updater);
        if (!std::filesystem::exists(path, error) || std::filesystem::is_directory(path, error)) {
            AppLogger::Warn("Updater executable not found: " + updater);
            return;
        }
        Platform::Process::DetachedProcess::ShellOpen(updater);
        MyLogger::Instance().Log(LogLevel::Info, "Launched updater process: " + updater);
    } catch (...) {
        AppLogger::Exception(std::current_exception());
    }
}

}  // namespace Quillmark::Daemon::Infrastructure
