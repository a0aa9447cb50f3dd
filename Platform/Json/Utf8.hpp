#pragma once
// Strict UTF-8 decoding shared by the tokenizer and the writer.

#include <cstddef>
#include <cstdint>

namespace Quillmark::Platform::Json::Utf8 {

inline constexpr std::uint32_t Malformed = 0xFFFFFFFFu;

// The code point of the multi-byte sequence at p (p[0] >= 0x80) and its length, or Malformed
// with the length of the maximal ill-formed part, which stands for one U+FFFD as the Unicode
// standard recommends: overlong forms, surrogates, values above U+10FFFF and cut sequences
// included.
inline std::uint32_t DecodeSequence(const unsigned char* p, std::size_t available, std::size_t& length) noexcept {
    const unsigned c = p[0];
    unsigned low = 0x80, high = 0xBF;
    std::uint32_t code;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
        code = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        code = c & 0x0F;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        code = c & 0x07;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        length = 1;
        return Malformed;
    }
    if (available < 2 || p[1] < low || p[1] > high) {
        length = 1;
        return Malformed;
    }
    code = (code << 6) | (p[1] & 0x3F);
    for (std::size_t k = 2; k < length; ++k) {
        if (k >= available || (p[k] & 0xC0) != 0x80) {
            length = k;
            return Malformed;
        }
        code = (code << 6) | (p[k] & 0x3F);
    }
    return code;
}

}  // namespace Quillmark::Platform::Json::Utf8
