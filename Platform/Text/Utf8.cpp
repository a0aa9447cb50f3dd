#include "Platform/Text/Utf8.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Quillmark::Platform::Text::Utf8 {

std::size_t FindInvalid(std::string_view text) noexcept {
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

bool Validator::Feed(std::span<const std::uint8_t> piece) noexcept {
    if (failed_) return false;
    std::size_t i = 0;
    // First the rest of a sequence that the previous piece began.
    for (; remaining_ > 0 && i < piece.size(); ++i, --remaining_) {
        if (piece[i] < low_ || piece[i] > high_) return !(failed_ = true);
        low_ = 0x80;
        high_ = 0xBF;
    }
    if (i == piece.size()) return true;

    const auto rest = piece.subspan(i);
    const std::size_t bad = FindInvalid(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
    if (bad == rest.size()) return true;
    // Only a sequence cut short by the end of the piece may be left; its bytes so far must fit.
    const Lead lead = ReadLead(rest[bad]);
    if (lead.Length == 0) return !(failed_ = true);
    std::uint8_t low = lead.Low;
    std::uint8_t high = lead.High;
    std::size_t have = 1;
    for (std::size_t k = bad + 1; k < rest.size(); ++k, ++have) {
        if (rest[k] < low || rest[k] > high) return !(failed_ = true);
        low = 0x80;
        high = 0xBF;
    }
    remaining_ = lead.Length - have;
    low_ = low;
    high_ = high;
    return true;
}

}  // namespace Quillmark::Platform::Text::Utf8
