#include "Platform/Json/JsonWriter.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Text/Utf8.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The code point at p (p[0] >= 0x80); U+FFFD for each maximal ill-formed part.
std::uint32_t DecodeWide(const unsigned char* p, std::size_t available, std::size_t& length) {
    const std::uint32_t code = Text::Utf8::DecodeSequence(p, available, length);
    return code == Text::Utf8::Malformed ? 0xFFFD : code;
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

#if defined(__SSE2__)
// A mask of the bytes in the block that cannot be written as themselves.
inline unsigned SpecialBytes(__m128i block) {
    const __m128i shifted = _mm_sub_epi8(block, _mm_set1_epi8(0x20));
    // Below U+0020, U+007F and every byte of a multi-byte sequence.
    const __m128i range = _mm_cmpeq_epi8(_mm_max_epu8(shifted, _mm_set1_epi8(0x5F)), shifted);
    const auto is = [block](char c) { return _mm_cmpeq_epi8(block, _mm_set1_epi8(c)); };
    const __m128i quoting = _mm_or_si128(_mm_or_si128(is('"'), is('\\')), _mm_or_si128(is('&'), is('\'')));
    const __m128i markup = _mm_or_si128(_mm_or_si128(is('+'), is('<')), _mm_or_si128(is('>'), is('`')));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(range, _mm_or_si128(quoting, markup))));
}
#endif

template <class Buffer>
class Output {
public:
    explicit Output(Buffer& buffer, std::size_t expected) : buffer_(buffer), used_(buffer.size()) {
        buffer_.resize(used_ + expected);
    }
    ~Output() { buffer_.resize(used_); }

    // Room for at least `count` more bytes; the pointer to write them at.
    char* Reserve(std::size_t count) {
        if (buffer_.size() - used_ < count) buffer_.resize(std::max(buffer_.size() * 2, used_ + count));
        return reinterpret_cast<char*>(buffer_.data()) + used_;
    }
    void Advance(std::size_t count) { used_ += count; }
    void Put(char c) {
        *Reserve(1) = c;
        ++used_;
    }
    void Put(const char* text, std::size_t count) {
        std::memcpy(Reserve(count), text, count);
        used_ += count;
    }
    void PutUnit(std::uint32_t unit) {
        const char escape[6] = {'\\', 'u', HexDigits[(unit >> 12) & 0xF], HexDigits[(unit >> 8) & 0xF],
                                HexDigits[(unit >> 4) & 0xF], HexDigits[unit & 0xF]};
        Put(escape, 6);
    }

private:
    Buffer& buffer_;
    std::size_t used_;
};

template <class Buffer>
void AppendStringTo(std::string_view utf8, Buffer& buffer) {
    // Each UTF-16 unit takes at least one UTF-8 byte, so only long texts need counting.
    if (utf8.size() > JsonWriter::MaxStringLength) {
        const std::size_t units = Utf16Length(utf8);
        if (units > JsonWriter::MaxStringLength)
            throw ArgumentFailure(PlatformText("ValueTooLarge", {std::to_string(units)}));
    }
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t n = utf8.size();
    Output<Buffer> out(buffer, n + n / 8 + 2);
    out.Put('"');
    std::size_t i = 0;
    while (i < n) {
#if defined(__SSE2__)
        // Whole blocks are copied; an escape overwrites the copied tail of its block.
        while (i + 16 <= n) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out.Reserve(16)), block);
            const unsigned special = SpecialBytes(block);
            if (special == 0) {
                out.Advance(16);
                i += 16;
                continue;
            }
            const auto plain = static_cast<std::size_t>(__builtin_ctz(special));
            out.Advance(plain);
            i += plain;
            break;
        }
        if (i == n) break;
#endif
        const unsigned char c = p[i];
        switch (Classes[c]) {
        case Plain:
            out.Put(static_cast<char>(c));
            ++i;
            continue;
        case Escaped:
            switch (c) {
            case '\\': out.Put("\\\\", 2); break;
            case '\b': out.Put("\\b", 2); break;
            case '\t': out.Put("\\t", 2); break;
            case '\n': out.Put("\\n", 2); break;
            case '\f': out.Put("\\f", 2); break;
            case '\r': out.Put("\\r", 2); break;
            default: out.PutUnit(c); break;
            }
            ++i;
            continue;
        default: {
            std::size_t length;
            const std::uint32_t code = DecodeWide(p + i, n - i, length);
            i += length;
            if (code > 0xFFFF) {
                const std::uint32_t v = code - 0x10000;
                out.PutUnit(0xD800 + (v >> 10));
                out.PutUnit(0xDC00 + (v & 0x3FF));
            } else {
                out.PutUnit(code);
            }
        }
        }
    }
    out.Put('"');
}

template <class Buffer>
void AppendInt64To(std::int64_t value, Buffer& out) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.insert(out.end(), digits, result.ptr);
}

}  // namespace

void JsonWriter::AppendString(std::string_view utf8, std::string& out) { AppendStringTo(utf8, out); }
void JsonWriter::AppendString(std::string_view utf8, std::vector<std::uint8_t>& out) { AppendStringTo(utf8, out); }
void JsonWriter::AppendInt64(std::int64_t value, std::string& out) { AppendInt64To(value, out); }
void JsonWriter::AppendInt64(std::int64_t value, std::vector<std::uint8_t>& out) { AppendInt64To(value, out); }

}  // namespace Quillmark::Platform::Json
