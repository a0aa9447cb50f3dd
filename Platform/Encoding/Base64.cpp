#include "Platform/Encoding/Base64.hpp"

#include "Platform/Failure.hpp"

#include <array>
#include <cstring>

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

// Decodes whole quartets without padding or skipped symbols; returns the symbols consumed.
std::size_t DecodeFast(const unsigned char* in, std::size_t length, std::uint8_t*& out) {
    std::size_t i = 0;
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
    out.resize(start + text.size() / 4 * 3 + 3);
    std::uint8_t* o = out.data() + start;
    try {
        o = DecodeAll(reinterpret_cast<const unsigned char*>(text.data()), text.size(), o);
    } catch (...) {
        out.resize(start);
        throw;
    }
    out.resize(static_cast<std::size_t>(o - out.data()));
}

}  // namespace Quillmark::Platform::Encoding
