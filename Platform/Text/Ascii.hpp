#pragma once
// Letter case ignored the culture-invariant way: only A to Z fold to a to z; every other byte,
// UTF-8 sequences included, compares as it is. Stateless; any thread.

#include <string_view>

namespace Quillmark::Platform::Text {

constexpr char ToLowerAscii(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept;
bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) noexcept;
bool EndsWithIgnoreCase(std::string_view text, std::string_view suffix) noexcept;

}  // namespace Quillmark::Platform::Text
