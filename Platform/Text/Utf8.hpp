#pragma once
// Strict UTF-8: the shortest forms only, no surrogates, nothing above U+10FFFF. Stateless
// functions and a validator for text that arrives in pieces; any thread.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace Quillmark::Platform::Text::Utf8 {

inline constexpr std::uint32_t Malformed = 0xFFFFFFFFu;

// What a lead byte announces: the sequence's length (0 for a byte that cannot lead) and the
// range its second byte must fall in, which rules out overlong forms, surrogates and values
// above U+10FFFF.
struct Lead {
    std::size_t Length = 0;
    std::uint8_t Low = 0x80;
    std::uint8_t High = 0xBF;
};

constexpr Lead ReadLead(std::uint8_t c) noexcept {
    if (c >= 0xC2 && c <= 0xDF) return {2, 0x80, 0xBF};
    if (c == 0xE0) return {3, 0xA0, 0xBF};
    if (c == 0xED) return {3, 0x80, 0x9F};
    if (c >= 0xE1 && c <= 0xEF) return {3, 0x80, 0xBF};
    if (c == 0xF0) return {4, 0x90, 0xBF};
    if (c == 0xF4) return {4, 0x80, 0x8F};
    if (c >= 0xF1 && c <= 0xF3) return {4, 0x80, 0xBF};
    return {};
}

// The code point of the multi-byte sequence at p (p[0] >= 0x80) and its length, or Malformed
// with the length of the maximal ill-formed part, which stands for one U+FFFD as the Unicode
// standard recommends (a sequence cut short by the end of the bytes included).
inline std::uint32_t DecodeSequence(const unsigned char* p, std::size_t available, std::size_t& length) noexcept {
    const Lead lead = ReadLead(p[0]);
    if (lead.Length == 0 || available < 2 || p[1] < lead.Low || p[1] > lead.High) {
        length = 1;
        return Malformed;
    }
    std::uint32_t code = p[0] & (0x7F >> lead.Length);
    code = (code << 6) | (p[1] & 0x3F);
    for (std::size_t k = 2; k < lead.Length; ++k) {
        if (k >= available || (p[k] & 0xC0) != 0x80) {
            length = k;
            return Malformed;
        }
        code = (code << 6) | (p[k] & 0x3F);
    }
    length = lead.Length;
    return code;
}

// Offset of the first byte that does not begin a well-formed sequence, or the length.
// ASCII runs are passed over a block at a time: large texts are mostly Base64.
std::size_t FindInvalid(std::string_view text) noexcept;

inline bool IsValid(std::string_view text) noexcept { return FindInvalid(text) == text.size(); }
inline bool IsValid(std::span<const std::uint8_t> bytes) noexcept {
    return IsValid(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Checks text that arrives in pieces, a sequence possibly split between them: a piece is
// refused as soon as it holds a byte that cannot continue well-formed text.
class Validator {
public:
    // False once the text so far cannot be well-formed; it stays false.
    bool Feed(std::span<const std::uint8_t> piece) noexcept;
    // True when the text so far is well-formed and ends on a whole sequence.
    bool Complete() const noexcept { return !failed_ && remaining_ == 0; }

private:
    std::size_t remaining_ = 0;  // continuation bytes the last sequence still needs
    std::uint8_t low_ = 0x80;    // the range of the next one
    std::uint8_t high_ = 0xBF;
    bool failed_ = false;
};

}  // namespace Quillmark::Platform::Text::Utf8
