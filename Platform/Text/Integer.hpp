#pragma once
// Integers read from text in the platform's standard form, culture-invariant: optional white
// space (space, tab, line feed, vertical tab, form feed, carriage return) before and after, one
// optional "+" or "-", then one or more decimal digits, leading zeros allowed. "-0" is zero.
// Stateless; any thread.

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>
#include <type_traits>

namespace Quillmark::Platform::Text {

// The text's value when it is in the standard form and lies within [min, max]; else nothing.
std::optional<std::int64_t> ParseIntegerInRange(std::string_view text, std::int64_t min, std::int64_t max) noexcept;

// The text's value when it is in the standard form and fits T; else nothing.
template <std::integral T>
    requires(sizeof(T) < sizeof(std::int64_t) || std::is_signed_v<T>)
std::optional<T> ParseInteger(std::string_view text) noexcept {
    const auto value = ParseIntegerInRange(text, std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
    if (!value) return std::nullopt;
    return static_cast<T>(*value);
}

}  // namespace Quillmark::Platform::Text
