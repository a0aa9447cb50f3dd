#include "Platform/Text/Integer.hpp"

namespace Quillmark::Platform::Text {

namespace {
bool IsWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
}  // namespace

std::optional<std::int64_t> ParseIntegerInRange(std::string_view text, std::int64_t min, std::int64_t max) noexcept {
    while (!text.empty() && IsWhiteSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsWhiteSpace(text.back())) text.remove_suffix(1);
    const bool negative = !text.empty() && text.front() == '-';
    if (!text.empty() && (negative || text.front() == '+')) text.remove_prefix(1);
    if (text.empty()) return std::nullopt;

    // The largest magnitude this sign may reach; reading stops past it, so nothing overflows,
    // however many digits (leading zeros included) follow.
    std::uint64_t limit = 0;
    if (negative && min < 0) limit = 0 - static_cast<std::uint64_t>(min);
    if (!negative && max > 0) limit = static_cast<std::uint64_t>(max);
    std::uint64_t magnitude = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > limit / 10) return std::nullopt;
        magnitude *= 10;
        if (digit > limit - magnitude) return std::nullopt;
        magnitude += digit;
    }
    const auto value = static_cast<std::int64_t>(negative ? 0 - magnitude : magnitude);
    if (value < min || value > max) return std::nullopt;
    return value;
}

}  // namespace Quillmark::Platform::Text
