#pragma once
// Standard Base64 (RFC 4648, "+/" alphabet, "=" padding). Stateless; any thread.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::Platform::Encoding {

class Base64 {
public:
    static std::string Encode(std::span<const std::uint8_t> bytes);
    static void AppendEncoded(std::span<const std::uint8_t> bytes, std::string& out);
    // The length of the encoding of n bytes.
    static std::size_t EncodedLength(std::size_t byteCount) noexcept;

    // Blanks, tabs, CR and LF anywhere are skipped. A symbol outside the alphabet, a length
    // (less skipped characters) not a multiple of 4, or misplaced padding is a
    // FormatFailure("Format_BadBase64Char"); nothing is appended then.
    static std::vector<std::uint8_t> Decode(std::string_view text);
    static void AppendDecoded(std::string_view text, std::vector<std::uint8_t>& out);
    // The room a text of this length needs to decode into (skipped characters leave some over).
    static std::size_t DecodeRoom(std::size_t textLength) noexcept;
    // Decodes into out, which has at least DecodeRoom(text.size()) bytes, and answers the bytes
    // decoded. Failures as for Decode; out then holds unspecified bytes.
    static std::size_t DecodeInto(std::string_view text, std::span<std::uint8_t> out);
};

}  // namespace Quillmark::Platform::Encoding
