#include "Common/UpdateReminderConfig.hpp"

#include "Common/TextDecoding.hpp"
#include "Common/Utils.hpp"
#include "Platform/Json/JsonNode.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "Platform/Path.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace Quillmark::Common {

namespace Json = Platform::Json;

namespace {
DateTime remindAfter;
DateTime lastChecked;

DateTime ReadDateTime(const Json::JsonNode& value) {
    return DateTime::ParseIso8601(value.GetString(), Platform::Clock::Current());
}
}  // namespace

DateTime UpdateReminderConfig::RemindAfter() noexcept { return remindAfter; }

DateTime UpdateReminderConfig::LastChecked() noexcept { return lastChecked; }

const std::string& UpdateReminderConfig::StateFilePath() {
    static const std::string path = Platform::Path::Join(Utils::GetDataDir(), StateFileName);
    return path;
}

bool UpdateReminderConfig::Load() {
    try {
        const auto path = Platform::Path::ToFsPath(StateFilePath());
        std::error_code error;
        if (!std::filesystem::exists(path, error) || std::filesystem::is_directory(path, error)) return false;
        std::ifstream in(path, std::ios::binary);
        if (!in) return false;
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (in.bad()) return false;

        const auto document = Json::JsonNode::Parse(DecodeTextFile(bytes));
        if (document.Kind() != Json::JsonValueKind::Object) return false;
        const auto& state = document.AsObject();

        // Find answers nullptr for a member that is missing or null alike.
        const auto* versionCode = state.Find("versionCode");
        if (!versionCode) return false;
        versionCode->GetInt64();

        const auto* remind = state.Find("remindAfter");
        if (!remind) return false;
        remindAfter = ReadDateTime(*remind);

        const auto* checked = state.Find("lastChecked");
        if (!checked) return false;
        lastChecked = ReadDateTime(*checked);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace Quillmark::Common
