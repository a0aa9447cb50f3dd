#include "Platform/Json/JsonWriter.hpp"

#include "Platform/Failure.hpp"

#include <array>
#include <charconv>

namespace Quillmark::Platform::Json {

namespace {

enum : std::uint8_t { Plain = 0, Escaped = 1, Wide = 2 };

constexpr std::array<std::uint8_t, 256> MakeClasses() {
    std::array<std::uint8_t, 256> classes{};
    for (unsigned c = 0; c < 256; ++c) {
        if (c >= 0x80)
            classes[c] = Wide;
        else if (c < 0x20 || c == 0x7F)
            classes[c] = Escaped;
    }
    // HTML-sensitive characters are escaped so the text is safe inside a page too.
    for (unsigned char c : {'"', '\\', '&', '\'', '+', '<', '>', '`'}) classes[c] = Escaped;
    return classes;
}

constexpr std::array<std::uint8_t, 256> Classes = MakeClasses();
constexpr char HexDigits[] = "0123456789ABCDEF";

void AppendUnit(std::uint32_t unit, std::string& out) {
    const char escape[6] = {'\\', 'u', HexDigits[(unit >> 12) & 0xF], HexDigits[(unit >> 8) & 0xF],
                            HexDigits[(unit >> 4) & 0xF], HexDigits[unit & 0xF]};
    out.append(escape, 6);
}

// Decodes the sequence at p (p[0] >= 0x80); 0xFFFD with length 1 for malformed input.
std::uint32_t DecodeWide(const unsigned char* p, std::size_t available, std::size_t& length) {
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
        return 0xFFFD;
    }
    if (length > available || p[1] < low || p[1] > high) {
        length = 1;
        return 0xFFFD;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if ((p[k] & 0xC0) != 0x80) {
            length = 1;
            return 0xFFFD;
        }
        code = (code << 6) | (p[k] & 0x3F);
    }
    return code;
}

std::size_t Utf16Length(std::string_view utf8) {
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    std::size_t units = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        if (p[i] < 0x80) {
            ++i;
            ++units;
            continue;
        }
        std::size_t length;
        const std::uint32_t code = DecodeWide(p + i, utf8.size() - i, length);
        i += length;
        units += code > 0xFFFF ? 2 : 1;
    }
    return units;
}

}  // namespace

void JsonWriter::AppendString(std::string_view utf8, std::string& out) {
    // Each UTF-16 unit takes at least one UTF-8 byte, so only long texts need counting.
    if (utf8.size() > MaxStringLength) {
        const std::size_t units = Utf16Length(utf8);
        if (units > MaxStringLength)
            throw ArgumentFailure(PlatformText("ValueTooLarge", {std::to_string(units)}));
    }
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t n = utf8.size();
    out.reserve(out.size() + n + n / 8 + 2);
    out.push_back('"');
    std::size_t i = 0;
    while (i < n) {
        const std::size_t runStart = i;
        while (i < n && Classes[p[i]] == Plain) ++i;
        if (i != runStart) out.append(utf8.data() + runStart, i - runStart);
        if (i == n) break;
        const unsigned char c = p[i];
        if (Classes[c] == Escaped) {
            switch (c) {
            case '\\': out.append("\\\\", 2); break;
            case '\b': out.append("\\b", 2); break;
            case '\t': out.append("\\t", 2); break;
            case '\n': out.append("\\n", 2); break;
            case '\f': out.append("\\f", 2); break;
            case '\r': out.append("\\r", 2); break;
            default: AppendUnit(c, out); break;
            }
            ++i;
            continue;
        }
        std::size_t length;
        const std::uint32_t code = DecodeWide(p + i, n - i, length);
        i += length;
        if (code > 0xFFFF) {
            const std::uint32_t v = code - 0x10000;
            AppendUnit(0xD800 + (v >> 10), out);
            AppendUnit(0xDC00 + (v & 0x3FF), out);
        } else {
            AppendUnit(code, out);
        }
    }
    out.push_back('"');
}

void JsonWriter::AppendInt64(std::int64_t value, std::string& out) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

}  // namespace Quillmark::Platform::Json
