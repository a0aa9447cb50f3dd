#pragma once
// Decoding a child program's console output into UTF-8.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace Quillmark::Platform::Process {

class ConsoleText {
public:
    // A leading byte-order mark selects UTF-8, UTF-16 or UTF-32 (and is dropped); otherwise the
    // console output code set applies. Malformed input becomes U+FFFD; never fails.
    static std::string Decode(std::span<const std::uint8_t> bytes);
    // The same with the given code set name in place of the console's ("" means UTF-8).
    static std::string Decode(std::span<const std::uint8_t> bytes, std::string_view codeset);
    // The code set that console output is taken to be in: the locale's, from the
    // environment; "UTF-8" when the locale names none.
    static std::string OutputCodeset();

private:
    // Bytes of a code set other than UTF-8, through the system's converter; unknown code sets
    // are read as UTF-8.
    static std::string ConvertToUtf8(std::span<const std::uint8_t> bytes, std::string_view codeset);
};

}  // namespace Quillmark::Platform::Process
