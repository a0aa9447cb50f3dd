#include "Common/UpdateReminderConfig.hpp"

#include "Common/TextDecoding.hpp"
#include "Common/Utils.hpp"
#include "Platform/File/File.hpp"
#include "Platform/Json/JsonNode.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "Platform/Path.hpp"

namespace Quillmark::Common {

namespace Json = Platform::Json;

namespace {
// A state file holds a few hundred bytes: one far larger is not read into memory.
constexpr std::int64_t MaxStateFileBytes = 1 << 20;

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
        auto file = Platform::File::OpenForReading(StateFilePath());
        if (!file) return false;
        const auto size = file->Size();
        if (size > MaxStateFileBytes) return false;
        std::string bytes(static_cast<std::size_t>(size), '\0');
        bytes.resize(file->ReadAt(0, {reinterpret_cast<std::uint8_t*>(bytes.data()), bytes.size()}));
        file->Close();

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
