#include "Platform/Text/Ascii.hpp"

#include <algorithm>

namespace Quillmark::Platform::Text {

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](char x, char y) { return ToLowerAscii(x) == ToLowerAscii(y); });
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) noexcept {
    return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

bool EndsWithIgnoreCase(std::string_view text, std::string_view suffix) noexcept {
    return text.size() >= suffix.size() && EqualsIgnoreCase(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace Quillmark::Platform::Text
