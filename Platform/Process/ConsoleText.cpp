#include "Platform/Process/ConsoleText.hpp"

#include <algorithm>
#include <cctype>

namespace Quillmark::Platform::Process {
namespace {

constexpr char32_t Replacement = 0xFFFD;

void AppendUtf8(char32_t c, std::string& out) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Copies well-formed UTF-8 and puts U+FFFD for each maximal ill-formed subpart.
std::string RepairUtf8(std::span<const std::uint8_t> in) {
    std::string out;
    out.reserve(in.size());
    std::size_t i = 0;
    while (i < in.size()) {
        const std::uint8_t b = in[i];
        if (b < 0x80) {
            out.push_back(static_cast<char>(b));
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint8_t low = 0x80, high = 0xBF;
        if (b >= 0xC2 && b <= 0xDF) {
            length = 2;
        } else if (b >= 0xE0 && b <= 0xEF) {
            length = 3;
            if (b == 0xE0) low = 0xA0;
            if (b == 0xED) high = 0x9F;
        } else if (b >= 0xF0 && b <= 0xF4) {
            length = 4;
            if (b == 0xF0) low = 0x90;
            if (b == 0xF4) high = 0x8F;
        }
        if (length == 0) {
            AppendUtf8(Replacement, out);
            ++i;
            continue;
        }
        std::size_t good = 1;
        while (good < length && i + good < in.size()) {
            const std::uint8_t c = in[i + good];
            const bool ok = good == 1 ? (c >= low && c <= high) : (c >= 0x80 && c <= 0xBF);
            if (!ok) break;
            ++good;
        }
        if (good == length) {
            out.append(reinterpret_cast<const char*>(in.data() + i), length);
        } else {
            AppendUtf8(Replacement, out);
        }
        i += good;
    }
    return out;
}

std::string DecodeUtf16(std::span<const std::uint8_t> in, bool bigEndian) {
    std::string out;
    out.reserve(in.size());
    auto unit = [&](std::size_t at) -> char32_t {
        return bigEndian ? char32_t(in[at] << 8 | in[at + 1]) : char32_t(in[at + 1] << 8 | in[at]);
    };
    std::size_t i = 0;
    for (; i + 1 < in.size(); i += 2) {
        const char32_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < in.size()) {
            const char32_t next = unit(i + 2);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00), out);
                i += 2;
                continue;
            }
        }
        AppendUtf8(u >= 0xD800 && u <= 0xDFFF ? Replacement : u, out);
    }
    if (i < in.size()) AppendUtf8(Replacement, out);
    return out;
}

std::string DecodeUtf32(std::span<const std::uint8_t> in, bool bigEndian) {
    std::string out;
    out.reserve(in.size());
    std::size_t i = 0;
    for (; i + 3 < in.size(); i += 4) {
        const char32_t c = bigEndian
            ? char32_t(in[i]) << 24 | char32_t(in[i + 1]) << 16 | char32_t(in[i + 2]) << 8 | in[i + 3]
            : char32_t(in[i + 3]) << 24 | char32_t(in[i + 2]) << 16 | char32_t(in[i + 1]) << 8 | in[i];
        AppendUtf8(c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) ? Replacement : c, out);
    }
    if (i < in.size()) AppendUtf8(Replacement, out);
    return out;
}

bool StartsWith(std::span<const std::uint8_t> bytes, std::initializer_list<std::uint8_t> prefix) {
    return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

bool IsUtf8Name(std::string_view codeset) {
    std::string folded;
    for (char c : codeset) {
        if (c != '-' && c != '_') folded.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    }
    return folded.empty() || folded == "utf8" || folded == "65001";
}

}  // namespace

std::string ConsoleText::Decode(std::span<const std::uint8_t> bytes) {
    return Decode(bytes, OutputCodeset());
}

std::string ConsoleText::Decode(std::span<const std::uint8_t> bytes, std::string_view codeset) {
    // UTF-32 LE before UTF-16 LE: its mark begins with the UTF-16 one.
    if (StartsWith(bytes, {0xEF, 0xBB, 0xBF})) return RepairUtf8(bytes.subspan(3));
    if (StartsWith(bytes, {0xFF, 0xFE, 0x00, 0x00})) return DecodeUtf32(bytes.subspan(4), false);
    if (StartsWith(bytes, {0x00, 0x00, 0xFE, 0xFF})) return DecodeUtf32(bytes.subspan(4), true);
    if (StartsWith(bytes, {0xFF, 0xFE})) return DecodeUtf16(bytes.subspan(2), false);
    if (StartsWith(bytes, {0xFE, 0xFF})) return DecodeUtf16(bytes.subspan(2), true);
    if (IsUtf8Name(codeset)) return RepairUtf8(bytes);
    return ConvertToUtf8(bytes, codeset);
}

}  // namespace Quillmark::Platform::Process
