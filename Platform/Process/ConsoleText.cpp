#include "Platform/Process/ConsoleText.hpp"

#include <algorithm>
#include <cctype>

namespace Quillmark::Platform::Process {

bool ConsoleText::IsUtf8(std::string_view codeset) {
    std::string folded;
    for (char c : codeset) {
        if (c != '-' && c != '_') folded.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return folded.empty() || folded == "utf8" || folded == "65001";
}

bool ConsoleText::StartsWithByteOrderMark(std::span<const std::uint8_t> bytes) {
    auto startsWith = [&](std::initializer_list<std::uint8_t> mark) {
        return bytes.size() >= mark.size() && std::equal(mark.begin(), mark.end(), bytes.begin());
    };
    // The UTF-32 little-endian mark begins with the UTF-16 one.
    return startsWith({0xEF, 0xBB, 0xBF}) || startsWith({0xFF, 0xFE}) || startsWith({0xFE, 0xFF}) ||
           startsWith({0x00, 0x00, 0xFE, 0xFF});
}

}  // namespace Quillmark::Platform::Process
