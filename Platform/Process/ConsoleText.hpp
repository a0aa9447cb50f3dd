#pragma once
// What a child program's console output is encoded in, and its conversion to UTF-8.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace Quillmark::Platform::Process {

class ConsoleText {
public:
    // The code set console output is taken to be in: the locale's, from the environment;
    // "UTF-8" when the locale names none.
    static std::string OutputCodeset();
    // True for the names of UTF-8 (and for the empty name).
    static bool IsUtf8(std::string_view codeset);
    // True when the bytes begin with a UTF-8, UTF-16 or UTF-32 byte-order mark.
    static bool StartsWithByteOrderMark(std::span<const std::uint8_t> bytes);
    // The bytes of the code set as UTF-8, unconvertible bytes as U+FFFD; nothing when the
    // system has no converter for the code set.
    static std::optional<std::string> ConvertToUtf8(std::span<const std::uint8_t> bytes, std::string_view codeset);
};

}  // namespace Quillmark::Platform::Process
