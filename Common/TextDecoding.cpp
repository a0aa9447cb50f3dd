#include "Common/TextDecoding.hpp"

#include "Platform/Text/Utf8.hpp"

#include <cstdint>

namespace Quillmark::Common {

namespace {
constexpr std::string_view Replacement = "\xEF\xBF\xBD";

void AppendCodePoint(std::string& out, std::uint32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        out += Replacement;
    } else if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::uint32_t ReadUnit(std::string_view bytes, std::size_t at, std::size_t width, bool bigEndian) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
        auto byte = static_cast<unsigned char>(bytes[at + (bigEndian ? i : width - 1 - i)]);
        value = (value << 8) | byte;
    }
    return value;
}

std::string FromUtf16(std::string_view bytes, bool bigEndian) {
    std::string out;
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        std::uint32_t unit = ReadUnit(bytes, i, 2, bigEndian);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
            std::uint32_t low = ReadUnit(bytes, i + 2, 2, bigEndian);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendCodePoint(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        AppendCodePoint(out, unit);
    }
    if (i < bytes.size()) out += Replacement;
    return out;
}

std::string FromUtf32(std::string_view bytes, bool bigEndian) {
    std::string out;
    std::size_t i = 0;
    for (; i + 3 < bytes.size(); i += 4) AppendCodePoint(out, ReadUnit(bytes, i, 4, bigEndian));
    if (i < bytes.size()) out += Replacement;
    return out;
}
}  // namespace

bool IsValidUtf8(std::string_view text) noexcept { return Platform::Text::Utf8::IsValid(text); }

std::string ToValidUtf8(std::string_view text) {
    namespace Utf8 = Platform::Text::Utf8;
    // Well-formed text, by far the usual case, is copied whole.
    std::size_t i = Utf8::FindInvalid(text);
    std::string out;
    out.reserve(text.size());
    out.append(text.substr(0, i));
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    while (i < size) {
        if (bytes[i] < 0x80) {
            auto run = i + 1;
            while (run < size && bytes[run] < 0x80) ++run;
            out.append(text.substr(i, run - i));
            i = run;
            continue;
        }
        // Each maximal ill-formed part becomes one U+FFFD.
        std::size_t length;
        if (Utf8::DecodeSequence(bytes + i, size - i, length) == Utf8::Malformed) out += Replacement;
        else out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

std::string DecodeTextFile(std::string_view bytes) {
    auto startsWith = [bytes](std::string_view mark) { return bytes.substr(0, mark.size()) == mark; };
    using namespace std::string_view_literals;
    // UTF-32 LE's mark begins like UTF-16 LE's, so it is tried first.
    if (startsWith("\xFF\xFE\0\0"sv)) return FromUtf32(bytes.substr(4), false);
    if (startsWith("\0\0\xFE\xFF"sv)) return FromUtf32(bytes.substr(4), true);
    if (startsWith("\xEF\xBB\xBF"sv)) return ToValidUtf8(bytes.substr(3));
    if (startsWith("\xFF\xFE"sv)) return FromUtf16(bytes.substr(2), false);
    if (startsWith("\xFE\xFF"sv)) return FromUtf16(bytes.substr(2), true);
    return ToValidUtf8(bytes);
}

}  // namespace Quillmark::Common
