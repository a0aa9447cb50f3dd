// Upload chunks arrive as Base64 text from the page. Any text decodes or fails with
// "Format_BadBase64Char" leaving the output as it was; the encoding of fuzzed bytes, with
// blanks sprinkled where the fuzzer says, decodes back to those bytes; and a text decodes
// exactly when a plain reading of the rules accepts it, to the same bytes.
#include "Platform/Encoding/Base64.hpp"
#include "Platform/Failure.hpp"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using Quillmark::Platform::Encoding::Base64;

// Blanks skipped, then whole quartets; "=" only as the last one or two symbols.
std::optional<std::vector<std::uint8_t>> Reference(std::string_view text) {
    std::string symbols;
    for (const char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') symbols += c;
    if (symbols.size() % 4 != 0) return std::nullopt;
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < symbols.size(); i += 4) {
        const bool last = i + 4 == symbols.size();
        int padding = 0;
        if (last && symbols[i + 3] == '=') padding = symbols[i + 2] == '=' ? 2 : 1;
        std::uint32_t bits = 0;
        for (int k = 0; k < 4; ++k) {
            const int v = k >= 4 - padding ? 0 : value(symbols[i + k]);
            if (v < 0) return std::nullopt;
            bits = bits << 6 | static_cast<std::uint32_t>(v);
        }
        out.push_back(static_cast<std::uint8_t>(bits >> 16));
        if (padding < 2) out.push_back(static_cast<std::uint8_t>(bits >> 8));
        if (padding < 1) out.push_back(static_cast<std::uint8_t>(bits));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::uint8_t> out{0xAB};
    std::optional<std::vector<std::uint8_t>> decoded;
    try {
        Base64::AppendDecoded(text, out);
        decoded.emplace(out.begin() + 1, out.end());
    } catch (const Quillmark::Platform::Failure& failure) {
        if (failure.Message() != "Format_BadBase64Char" || out.size() != 1) std::abort();
    }
    const auto reference = Reference(text);
    // Texts whose last symbol carries bits the padding drops may be refused or accepted; all
    // others must agree.
    if (reference.has_value() != decoded.has_value()) {
        if (!reference || Base64::Encode(*reference) == std::string(text)) std::abort();
    } else if (decoded && *decoded != *reference) {
        std::abort();
    }

    std::string encoded = Base64::Encode(std::span<const std::uint8_t>(data, size));
    if (encoded.size() != Base64::EncodedLength(size)) std::abort();
    static constexpr char Blanks[] = " \t\r\n";
    for (std::size_t i = 0; i < size && i < 64; ++i) {
        const std::size_t at = (data[i] * 131u + i * 7u) % (encoded.size() + 1);
        encoded.insert(at, 1, Blanks[data[i] & 3]);
    }
    if (Base64::Decode(encoded) != std::vector<std::uint8_t>(data, data + size)) std::abort();
    return 0;
}
