#pragma once
// The wire contract's text escaping. Stateless; any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::Platform::Json {

class JsonWriter {
public:
    // Texts longer than this many UTF-16 code units are refused.
    static constexpr std::size_t MaxStringLength = 166'666'666;

    // Appends the UTF-8 text as a quoted JSON string: backslash, \b \t \n \f \r short forms;
    // the double quote, & ' + < > `, U+007F, other controls and everything above U+007E as
    // upper-case \uXXXX UTF-16 escapes; the rest as itself. A text over MaxStringLength UTF-16
    // units is an ArgumentFailure "ValueTooLarge, <length>" (nothing appended). Each maximal
    // ill-formed UTF-8 part is written as one U+FFFD, as the daemon's text decoding does.
    static void AppendString(std::string_view utf8, std::string& out);
    static void AppendString(std::string_view utf8, std::vector<std::uint8_t>& out);
    // The same without the quotes: the parts of a text appended one after another, between
    // quotes, make its string, as long as no part ends inside a UTF-8 sequence.
    static void AppendStringPart(std::string_view utf8, std::string& out);
    static void AppendInt64(std::int64_t value, std::string& out);
    static void AppendInt64(std::int64_t value, std::vector<std::uint8_t>& out);
};

}  // namespace Quillmark::Platform::Json
