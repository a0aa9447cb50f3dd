// The update state file as the start-up reads it: bytes of any encoding decoded to text, one
// JSON object, and its two ISO 8601 date-times read in a fuzzed time zone. Every step ends in
// a value or a Failure; decoded text is always well-formed UTF-8 and every date-time lies in
// years 1 to 9999.
#include "Common/DateTime.hpp"
#include "Common/TextDecoding.hpp"
#include "Platform/Clock.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Json/JsonNode.hpp"
#include "Platform/Json/JsonObject.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

using namespace Quillmark;

class ZoneClock final : public Platform::IClock {
public:
    explicit ZoneClock(std::int64_t offset) : offset_(offset) {}
    Platform::LocalTimeParts LocalNow() const override { return {}; }
    std::int64_t UtcNowTicks() const override { return 0; }
    std::int64_t LocalOffsetTicksAt(std::int64_t) const override { return offset_; }

private:
    std::int64_t offset_;
};

void CheckDateTime(std::string_view text, const Platform::IClock& clock) {
    try {
        const auto value = Common::DateTime::ParseIso8601(text, clock);
        if (value.Ticks < 0 || value.Ticks > Common::DateTime::MaxTicks) std::abort();
    } catch (const Platform::Failure&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static constexpr std::int64_t Hour = 3600 * Platform::TicksPerSecond;
    static constexpr std::int64_t Offsets[] = {0, 7 * Hour, -12 * Hour, 14 * Hour, -(9 * Hour + Hour / 2)};
    const ZoneClock clock(Offsets[data[0] % std::size(Offsets)]);
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

    CheckDateTime(bytes, clock);
    const auto text = Common::DecodeTextFile(bytes);
    if (Common::ToValidUtf8(text) != text) std::abort();
    try {
        const auto document = Platform::Json::JsonNode::Parse(text);
        if (document.Kind() != Platform::Json::JsonValueKind::Object) return 0;
        const auto& state = document.AsObject();
        if (const auto* versionCode = state.Find("versionCode")) (void)versionCode->GetInt64();
        for (const char* name : {"remindAfter", "lastChecked"})
            if (const auto* value = state.Find(name)) CheckDateTime(value->GetString(), clock);
    } catch (const Platform::Failure&) {
    }
    return 0;
}
