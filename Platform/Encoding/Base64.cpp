#include "Platform/Encoding/Base64.hpp"

#include "Platform/Failure.hpp"

#include <array>
#include <cstring>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace Quillmark::Platform::Encoding {

namespace {

constexpr char Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output symbols for each 12 input bits.
constexpr std::array<std::array<char, 2>, 4096> MakePairs() {
    std::array<std::array<char, 2>, 4096> pairs{};
    for (unsigned v = 0; v < 4096; ++v) pairs[v] = {Alphabet[v >> 6], Alphabet[v & 63]};
    return pairs;
}
constexpr auto Pairs = MakePairs();

// A symbol's six bits placed for its position in a quartet; Invalid for anything else.
constexpr std::uint32_t Invalid = 0xFF000000u;
constexpr std::array<std::uint32_t, 256> MakeDecode(unsigned shift) {
    std::array<std::uint32_t, 256> table{};
    for (auto& entry : table) entry = Invalid;
    for (unsigned i = 0; i < 64; ++i) table[static_cast<unsigned char>(Alphabet[i])] = i << shift;
    return table;
}
constexpr auto D0 = MakeDecode(18);
constexpr auto D1 = MakeDecode(12);
constexpr auto D2 = MakeDecode(6);
constexpr auto D3 = MakeDecode(0);

constexpr bool IsSkipped(unsigned char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

[[noreturn]] void ThrowBad() { throw FormatFailure("Format_BadBase64Char"); }

#if defined(__GNUC__) && defined(__x86_64__)
#define QUILLMARK_BASE64_AVX2 1

// 32 symbols at a time into 24 bytes; stops before the first block holding anything but
// alphabet symbols (padding, blanks, bad symbols), which the quartet loop then takes. Writes
// 8 bytes past what it returns, so the caller keeps that much room; returns symbols consumed.
__attribute__((target("avx2"))) std::size_t DecodeBlocksAvx2(const unsigned char* in, std::size_t length,
                                                             std::uint8_t*& out) {
    // A symbol is valid when the bits its low nibble and its high nibble select have nothing
    // in common: each high nibble has one bit, set in the low nibbles it cannot go with.
    const __m256i lowMasks = _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                                              0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                              0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
    const __m256i highMasks = _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                                               0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                                               0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
    // What to add to a symbol for its value, by high nibble; "/" shares "+"'s nibble and
    // takes the entry before it.
    const __m256i shifts = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4,
                                            -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i slash = _mm256_set1_epi8('/');
    // Each lane's four values a, b, c, d to the bytes of a<<18 | b<<12 | c<<6 | d, big-endian.
    const __m256i pairs = _mm256_set1_epi32(0x01400140);
    const __m256i quads = _mm256_set1_epi32(0x00011000);
    const __m256i order = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6, 5, 4, 10,
                                           9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i gather = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    std::size_t i = 0;
    for (; i + 32 <= length; i += 32) {
        const __m256i symbols = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
        const __m256i high = _mm256_and_si256(_mm256_srli_epi32(symbols, 4), nibble);
        const __m256i low = _mm256_and_si256(symbols, nibble);
        const __m256i bad = _mm256_and_si256(_mm256_shuffle_epi8(lowMasks, low), _mm256_shuffle_epi8(highMasks, high));
        if (!_mm256_testz_si256(bad, bad)) break;
        const __m256i shift = _mm256_shuffle_epi8(shifts, _mm256_add_epi8(_mm256_cmpeq_epi8(symbols, slash), high));
        const __m256i values = _mm256_add_epi8(symbols, shift);
        const __m256i merged = _mm256_madd_epi16(_mm256_maddubs_epi16(values, pairs), quads);
        const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(merged, order), gather);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), bytes);
        out += 24;
    }
    return i;
}

// 24 bytes at a time into 32 symbols; reads 4 bytes past the last block it takes, so it stops
// while 28 remain; returns the bytes consumed.
__attribute__((target("avx2"))) std::size_t EncodeBlocksAvx2(const std::uint8_t* in, std::size_t length, char*& out) {
    // Each lane's 12 bytes to four 32-bit words of one byte triple each, as b1 b0 b2 b1.
    const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10, 1, 0, 2, 1, 4, 3, 5, 4, 7,
                                            6, 8, 7, 10, 9, 11, 10);
    // What to add to a value for its symbol, by its range: 0-25, 26-51, 52-61, 62, 63.
    const __m256i offsets = _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0,
                                             'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                             '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    std::size_t i = 0;
    for (; i + 28 <= length; i += 24) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 12));
        const __m256i words = _mm256_shuffle_epi8(_mm256_set_m128i(high, low), spread);
        // The four 6-bit values of each word, one per byte, first value lowest.
        const __m256i ac = _mm256_mulhi_epu16(_mm256_and_si256(words, _mm256_set1_epi32(0x0FC0FC00)),
                                              _mm256_set1_epi32(0x04000040));
        const __m256i bd = _mm256_mullo_epi16(_mm256_and_si256(words, _mm256_set1_epi32(0x003F03F0)),
                                              _mm256_set1_epi32(0x01000010));
        const __m256i values = _mm256_or_si256(ac, bd);
        // 52-63 to 1-12, the rest to 0; then 0-25 apart from 26-51 as 13.
        __m256i range = _mm256_subs_epu8(values, _mm256_set1_epi8(51));
        range = _mm256_or_si256(range, _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(26), values),
                                                        _mm256_set1_epi8(13)));
        const __m256i symbols = _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, range));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), symbols);
        out += 32;
    }
    return i;
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

// Decodes whole quartets without padding or skipped symbols; returns the symbols consumed.
std::size_t DecodeFast(const unsigned char* in, std::size_t length, std::uint8_t*& out) {
    std::size_t i = 0;
#if defined(QUILLMARK_BASE64_AVX2)
    // The blocks write past their output: leave them the last symbols, whose output the
    // buffer's spare room covers.
    if (length >= 64 && HasAvx2()) i = DecodeBlocksAvx2(in, length - 32, out);
#endif
    for (; i + 4 <= length; i += 4) {
        const std::uint32_t v = D0[in[i]] | D1[in[i + 1]] | D2[in[i + 2]] | D3[in[i + 3]];
        if (v & Invalid) break;
        out[0] = static_cast<std::uint8_t>(v >> 16);
        out[1] = static_cast<std::uint8_t>(v >> 8);
        out[2] = static_cast<std::uint8_t>(v);
        out += 3;
    }
    return i;
}

// Decodes all of the text: whole quartets the fast way, and one quartet at a time gathered
// across skipped symbols where the fast way stops. Padding ends the text.
std::uint8_t* DecodeAll(const unsigned char* in, std::size_t length, std::uint8_t* out) {
    std::size_t at = 0;
    for (;;) {
        at += DecodeFast(in + at, length - at, out);
        unsigned char q[4];
        std::size_t count = 0;
        while (at < length && count < 4) {
            const unsigned char c = in[at++];
            if (!IsSkipped(c)) q[count++] = c;
        }
        if (count == 0) return out;
        if (count < 4) ThrowBad();
        const std::uint32_t head = D0[q[0]] | D1[q[1]];
        if (head & Invalid) ThrowBad();
        if (q[2] != '=' && q[3] != '=') {
            const std::uint32_t v = head | D2[q[2]] | D3[q[3]];
            if (v & Invalid) ThrowBad();
            out[0] = static_cast<std::uint8_t>(v >> 16);
            out[1] = static_cast<std::uint8_t>(v >> 8);
            out[2] = static_cast<std::uint8_t>(v);
            out += 3;
            continue;
        }
        if (q[2] == '=') {
            if (q[3] != '=') ThrowBad();
            *out++ = static_cast<std::uint8_t>(head >> 16);
        } else {
            const std::uint32_t v = head | D2[q[2]];
            if (v & Invalid) ThrowBad();
            *out++ = static_cast<std::uint8_t>(v >> 16);
            *out++ = static_cast<std::uint8_t>(v >> 8);
        }
        for (; at < length; ++at)
            if (!IsSkipped(in[at])) ThrowBad();
        return out;
    }
}

}  // namespace

std::size_t Base64::EncodedLength(std::size_t byteCount) noexcept { return (byteCount + 2) / 3 * 4; }

std::string Base64::Encode(std::span<const std::uint8_t> bytes) {
    std::string out;
    AppendEncoded(bytes, out);
    return out;
}

void Base64::AppendEncoded(std::span<const std::uint8_t> bytes, std::string& out) {
    const std::size_t start = out.size();
    out.resize(start + EncodedLength(bytes.size()));
    char* o = out.data() + start;
    const std::uint8_t* in = bytes.data();
    const std::size_t n = bytes.size();
    std::size_t i = 0;
#if defined(QUILLMARK_BASE64_AVX2)
    if (n >= 28 && HasAvx2()) i = EncodeBlocksAvx2(in, n, o);
#endif
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = (std::uint32_t(in[i]) << 16) | (std::uint32_t(in[i + 1]) << 8) | in[i + 2];
        std::memcpy(o, Pairs[v >> 12].data(), 2);
        std::memcpy(o + 2, Pairs[v & 0xFFF].data(), 2);
        o += 4;
    }
    if (const std::size_t rest = n - i; rest != 0) {
        const std::uint32_t v = (std::uint32_t(in[i]) << 16) | (rest == 2 ? std::uint32_t(in[i + 1]) << 8 : 0);
        o[0] = Alphabet[v >> 18];
        o[1] = Alphabet[(v >> 12) & 63];
        o[2] = rest == 2 ? Alphabet[(v >> 6) & 63] : '=';
        o[3] = '=';
    }
}

std::vector<std::uint8_t> Base64::Decode(std::string_view text) {
    std::vector<std::uint8_t> out;
    AppendDecoded(text, out);
    return out;
}

void Base64::AppendDecoded(std::string_view text, std::vector<std::uint8_t>& out) {
    const std::size_t start = out.size();
    out.resize(start + DecodeRoom(text.size()));
    try {
        out.resize(start + DecodeInto(text, std::span<std::uint8_t>(out).subspan(start)));
    } catch (...) {
        out.resize(start);
        throw;
    }
}

std::size_t Base64::DecodeRoom(std::size_t textLength) noexcept { return textLength / 4 * 3 + 3; }

std::size_t Base64::DecodeInto(std::string_view text, std::span<std::uint8_t> out) {
    if (out.size() < DecodeRoom(text.size())) throw ArgumentOutOfRangeFailure("out");
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    return static_cast<std::size_t>(DecodeAll(in, text.size(), out.data()) - out.data());
}

}  // namespace Quillmark::Platform::Encoding
