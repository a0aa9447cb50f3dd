#pragma once
// Strict UTF-8 decoding shared by the tokenizer and the writer.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Offset of the first byte that does not begin a well-formed UTF-8 sequence, or the length.
// ASCII runs are passed over a block at a time: large texts are mostly Base64.
inline std::size_t FindInvalid(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
#if defined(__SSE2__)
        if (i + 32 <= n) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
            if (_mm_movemask_epi8(_mm_or_si128(a, b)) == 0) {
                i += 32;
                continue;
            }
        }
#endif
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        if (DecodeSequence(p + i, n - i, length) == Malformed) return i;
        i += length;
    }
    return n;
}

}  // namespace Quillmark::Platform::Json::Utf8
