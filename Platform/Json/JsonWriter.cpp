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

// Each byte's escape, for the bytes below U+0080 that are not written as themselves.
struct Escape {
    char text[8];
    std::uint8_t length;
};

constexpr std::array<Escape, 128> MakeEscapes() {
    std::array<Escape, 128> escapes{};
    for (unsigned c = 0; c < 128; ++c) {
        if (Classes[c] != Escaped) continue;
        Escape& e = escapes[c];
        char shortForm = 0;
        switch (c) {
        case '\\': shortForm = '\\'; break;
        case '\b': shortForm = 'b'; break;
        case '\t': shortForm = 't'; break;
        case '\n': shortForm = 'n'; break;
        case '\f': shortForm = 'f'; break;
        case '\r': shortForm = 'r'; break;
        default: break;
        }
        if (shortForm != 0) {
            e.text[0] = '\\';
            e.text[1] = shortForm;
            e.length = 2;
        } else {
            const char unit[6] = {'\\', 'u', '0', '0', HexDigits[c >> 4], HexDigits[c & 0xF]};
            for (int k = 0; k < 6; ++k) e.text[k] = unit[k];
            e.length = 6;
        }
    }
    return escapes;
}

constexpr std::array<Escape, 128> Escapes = MakeEscapes();

// The longest text one input byte can become: a \uXXXX escape, or a third of a surrogate pair.
constexpr std::size_t MaxPerByte = 6;
// 16 bytes of input escaped byte by byte at worst, with room for whole 16-byte stores.
constexpr std::size_t BlockRoom = 16 * MaxPerByte + 16;

// Writes into the buffer's spare room through a raw pointer; the buffer grows only between
// blocks, and is cut to what was written at the end.
template <class Buffer>
class Output {
public:
    Output(Buffer& buffer, std::size_t expected) : buffer_(buffer) {
        const std::size_t used = buffer_.size();
        buffer_.resize(used + expected + BlockRoom);
        at_ = Base() + used;
        end_ = Base() + buffer_.size();
    }
    ~Output() { buffer_.resize(static_cast<std::size_t>(at_ - Base())); }

    // Makes sure there is room for `count` more bytes.
    void Room(std::size_t count) {
        if (static_cast<std::size_t>(end_ - at_) >= count) return;
        const auto used = static_cast<std::size_t>(at_ - Base());
        buffer_.resize(std::max(buffer_.size() * 2, used + count));
        at_ = Base() + used;
        end_ = Base() + buffer_.size();
    }
    char*& At() { return at_; }
    void PutUnit(std::uint32_t unit) {
        Room(6);
        const char escape[6] = {'\\', 'u', HexDigits[(unit >> 12) & 0xF], HexDigits[(unit >> 8) & 0xF],
                                HexDigits[(unit >> 4) & 0xF], HexDigits[unit & 0xF]};
        std::memcpy(at_, escape, 6);
        at_ += 6;
    }

private:
    char* Base() { return reinterpret_cast<char*>(buffer_.data()); }

    Buffer& buffer_;
    char* at_;
    char* end_;
};

// Writes an escape for an ASCII byte that needs one; there is room for 8 bytes at `at`.
inline void PutEscape(unsigned char c, char*& at) {
    const Escape& e = Escapes[c];
    std::memcpy(at, e.text, 8);
    at += e.length;
}

// Writes the code point of the multi-byte sequence at p; returns the bytes it took.
template <class Buffer>
std::size_t PutWide(const unsigned char* p, std::size_t available, Output<Buffer>& out) {
    std::size_t length;
    const std::uint32_t code = DecodeWide(p, available, length);
    if (code > 0xFFFF) {
        const std::uint32_t v = code - 0x10000;
        out.PutUnit(0xD800 + (v >> 10));
        out.PutUnit(0xDC00 + (v & 0x3FF));
    } else {
        out.PutUnit(code);
    }
    return length;
}

template <class Buffer>
void AppendStringTo(std::string_view utf8, Buffer& buffer, bool quoted = true) {
    // Each UTF-16 unit takes at least one UTF-8 byte, so only long texts need counting.
    if (utf8.size() > JsonWriter::MaxStringLength) {
        const std::size_t units = Utf16Length(utf8);
        if (units > JsonWriter::MaxStringLength)
            throw ArgumentFailure(PlatformText("ValueTooLarge", {std::to_string(units)}));
    }
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const std::size_t n = utf8.size();
    Output<Buffer> out(buffer, n + n / 8 + 2);
    char*& at = out.At();
    if (quoted) *at++ = '"';
    std::size_t i = 0;
#if defined(__SSE2__)
    // 64 bytes at a time are stored whole; when some need escapes, each escape is written in
    // place and followed by the plain bytes after it, copied 16 at a time (the copy may run past
    // them into the room, to be overwritten). Plain text costs a few instructions a block.
    const auto load = [p](std::size_t from) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + from)); };
    const auto copy = [&load](char* to, std::size_t from, std::size_t count) {
        for (std::size_t s = 0; s < count; s += 16)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(to + s), load(from + s));
    };
    // The copies read at most 79 bytes past a step's start, so steps stop 80 bytes before the end.
    while (i + 80 <= n) {
        out.Room(BlockRoom * 4);
        const __m128i b0 = load(i), b1 = load(i + 16), b2 = load(i + 32), b3 = load(i + 48);
        auto* to = reinterpret_cast<__m128i*>(at);
        _mm_storeu_si128(to, b0);
        _mm_storeu_si128(to + 1, b1);
        _mm_storeu_si128(to + 2, b2);
        _mm_storeu_si128(to + 3, b3);
        std::uint64_t special = SpecialBytes(b0) | std::uint64_t{SpecialBytes(b1)} << 16 |
                                std::uint64_t{SpecialBytes(b2)} << 32 | std::uint64_t{SpecialBytes(b3)} << 48;
        if (special == 0) {
            at += 64;
            i += 64;
            continue;
        }
        std::size_t done = 0;  // bytes of the step written so far
        bool wide = false;
        do {
            const auto k = static_cast<std::size_t>(__builtin_ctzll(special));
            if (done != 0) copy(at, i + done, k - done);
            at += k - done;
            const unsigned char c = p[i + k];
            if (c >= 0x80) {
                done = k + PutWide(p + i + k, n - i - k, out);
                wide = true;
                break;
            }
            PutEscape(c, at);
            done = k + 1;
            special &= special - 1;
        } while (special != 0);
        if (!wide && done < 64) {
            copy(at, i + done, 64 - done);
            at += 64 - done;
            done = 64;
        }
        i += done;
    }
#endif
    while (i < n) {
        out.Room(8);
        const unsigned char c = p[i];
        if (Classes[c] == Plain) {
            *at++ = static_cast<char>(c);
            ++i;
        } else if (c < 0x80) {
            PutEscape(c, at);
            ++i;
        } else {
            i += PutWide(p + i, n - i, out);
        }
    }
    if (!quoted) return;
    out.Room(1);
    *at++ = '"';
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
void JsonWriter::AppendStringPart(std::string_view utf8, std::string& out) { AppendStringTo(utf8, out, false); }
void JsonWriter::AppendInt64(std::int64_t value, std::string& out) { AppendInt64To(value, out); }
void JsonWriter::AppendInt64(std::int64_t value, std::vector<std::uint8_t>& out) { AppendInt64To(value, out); }

}  // namespace Quillmark::Platform::Json
