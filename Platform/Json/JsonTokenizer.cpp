#include "Platform/Json/JsonTokenizer.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Text/Utf8.hpp"

#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/error/error.h>
#include <rapidjson/reader.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <vector>


namespace Quillmark::Platform::Json {

namespace {

// In place: a string without escapes is only scanned, not copied, and escapes are undone where
// they stand. The scratch copy is ours to change.
constexpr unsigned ParseFlags =
    rapidjson::kParseInsituFlag | rapidjson::kParseNumbersAsStringsFlag | rapidjson::kParseStopWhenDoneFlag;

[[noreturn]] void ThrowMalformed(std::string_view text, std::string_view key, std::size_t offset) {
    std::string message(key);
    message += ' ';
    message += JsonTokenizer::PositionText(text, offset);
    throw DecodeFailure(std::move(message));
}

std::string_view ComplaintOf(rapidjson::ParseErrorCode code, bool atEnd) {
    switch (code) {
    case rapidjson::kParseErrorDocumentEmpty: return atEnd ? "ExpectedJsonTokens" : "ExpectedStartOfValueNotFound";
    case rapidjson::kParseErrorValueInvalid: return atEnd ? "ExpectedJsonTokens" : "ExpectedStartOfValueNotFound";
    case rapidjson::kParseErrorObjectMissName:
        return atEnd ? "ExpectedJsonTokens" : "ExpectedStartOfPropertyOrValueNotFound";
    case rapidjson::kParseErrorObjectMissColon: return "ExpectedSeparatorAfterPropertyNameNotFound";
    case rapidjson::kParseErrorObjectMissCommaOrCurlyBracket: return "ExpectedEndOfObjectNotFound";
    case rapidjson::kParseErrorArrayMissCommaOrSquareBracket: return "ExpectedEndOfArrayNotFound";
    case rapidjson::kParseErrorStringUnicodeEscapeInvalidHex: return "InvalidHexCharacterWithinString";
    case rapidjson::kParseErrorStringUnicodeSurrogateInvalid: return "InvalidSurrogatePair";
    case rapidjson::kParseErrorStringEscapeInvalid: return "InvalidCharacterWithinString";
    case rapidjson::kParseErrorStringMissQuotationMark: return "EndOfStringNotFound";
    case rapidjson::kParseErrorStringInvalidEncoding: return "InvalidUtf8";
    case rapidjson::kParseErrorNumberTooBig: return "NumberTooLarge";
    case rapidjson::kParseErrorNumberMissFraction: return "RequiredDigitNotFoundAfterDecimal";
    case rapidjson::kParseErrorNumberMissExponent: return "RequiredDigitNotFoundAfterSign";
    default: return "InvalidJson";
    }
}

// Forwards RapidJSON's events and keeps the nesting bound. While a string or number is being
// delivered RapidJSON reads from a copy of the stream, so ours still stands at the token's start.
class Adapter final : public TokenEnd {
public:
    Adapter(std::string_view text, rapidjson::InsituStringStream& stream, JsonTokenHandler& handler)
        : text_(text), stream_(stream), handler_(handler) {}

    std::size_t Offset() const override {
        std::size_t at = stream_.Tell();
        if (token_ == Token::Text) {
            for (++at; text_[at] != '"'; ++at)
                if (text_[at] == '\\') ++at;
            ++at;
        } else if (token_ == Token::Number) {
            at += numberLength_;
        }
        return at;
    }

    bool Null() { return Deliver(Token::Other), handler_.Null(*this), true; }
    bool Bool(bool value) { return Deliver(Token::Other), handler_.Boolean(value, *this), true; }
    // The number's own text: the scratch copy may hold a stand-in of the same length.
    bool RawNumber(const char*, rapidjson::SizeType length, bool) {
        numberLength_ = length;
        return Deliver(Token::Number), handler_.Number(text_.substr(stream_.Tell(), length), *this), true;
    }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        RefuseLoneLowSurrogate(std::string_view(text, length));
        return Deliver(Token::Text), handler_.String(std::string_view(text, length), *this), true;
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        RefuseLoneLowSurrogate(std::string_view(text, length));
        return Deliver(Token::Text), handler_.Key(std::string_view(text, length), *this), true;
    }
    bool StartObject() {
        Enter("ObjectDepthTooLarge");
        return handler_.StartObject(*this), true;
    }
    bool EndObject(rapidjson::SizeType) {
        --depth_;
        return Deliver(Token::Other), handler_.EndObject(*this), true;
    }
    bool StartArray() {
        Enter("ArrayDepthTooLarge");
        return handler_.StartArray(*this), true;
    }
    bool EndArray(rapidjson::SizeType) {
        --depth_;
        return Deliver(Token::Other), handler_.EndArray(*this), true;
    }
    // Never called with kParseNumbersAsStringsFlag.
    bool Int(int) { return false; }
    bool Uint(unsigned) { return false; }
    bool Int64(std::int64_t) { return false; }
    bool Uint64(std::uint64_t) { return false; }
    bool Double(double) { return false; }

    void Restart() {
        token_ = Token::Other;
        depth_ = 0;
    }

private:
    enum class Token { Other, Text, Number };

    void Deliver(Token token) { token_ = token; }
    // RapidJSON refuses a lone high surrogate escape but turns a lone low one ("\uDC00") into
    // bytes that are not UTF-8; refuse it the same way, at its backslash.
    void RefuseLoneLowSurrogate(std::string_view value) const {
        bool encodedSurrogate = false;
        for (std::size_t at = value.find('\xED'); at != std::string_view::npos && !encodedSurrogate;
             at = value.find('\xED', at + 1))
            encodedSurrogate = at + 1 < value.size() && static_cast<unsigned char>(value[at + 1]) >= 0xA0;
        if (!encodedSurrogate) return;
        unsigned previous = 0;
        for (std::size_t i = stream_.Tell() + 1; i < text_.size() && text_[i] != '"'; ++i) {
            if (text_[i] != '\\') continue;
            if (text_[i + 1] != 'u') {
                ++i;
                previous = 0;
                continue;
            }
            const auto unit = static_cast<unsigned>(std::stoul(std::string(text_.substr(i + 2, 4)), nullptr, 16));
            if (unit >= 0xDC00 && unit <= 0xDFFF && !(previous >= 0xD800 && previous <= 0xDBFF))
                ThrowMalformed(text_, "InvalidSurrogatePair", i);
            previous = unit;
            i += 5;
        }
        ThrowMalformed(text_, "InvalidSurrogatePair", stream_.Tell());
    }
    void Enter(std::string_view complaint) {
        Deliver(Token::Other);
        if (++depth_ > JsonTokenizer::MaxDepth) ThrowMalformed(text_, complaint, Offset());
    }

    std::string_view text_;
    rapidjson::InsituStringStream& stream_;
    JsonTokenHandler& handler_;
    Token token_ = Token::Other;
    // A number ends where RapidJSON's reading of it ended, even when more number-like
    // characters follow ("1-2"): a failure then places the value, not the fault after it.
    std::size_t numberLength_ = 0;
    int depth_ = 0;
};

// The end of the JSON number at `at`, or `at` when none begins there.
std::size_t NumberEnd(const char* text, std::size_t at, std::size_t length) {
    const auto digits = [&](std::size_t i) {
        while (i < length && text[i] >= '0' && text[i] <= '9') ++i;
        return i;
    };
    std::size_t i = at;
    if (i < length && text[i] == '-') ++i;
    if (i >= length || text[i] < '0' || text[i] > '9') return at;
    i = text[i] == '0' ? i + 1 : digits(i);
    if (i + 1 < length && text[i] == '.' && text[i + 1] >= '0' && text[i + 1] <= '9') i = digits(i + 1);
    if (i < length && (text[i] == 'e' || text[i] == 'E')) {
        std::size_t e = i + 1;
        if (e < length && (text[e] == '+' || text[e] == '-')) ++e;
        if (e < length && text[e] >= '0' && text[e] <= '9') i = digits(e);
    }
    return i;
}

// RapidJSON refuses numbers beyond the range of a double, which JSON allows and which we keep
// as text. Each number outside strings that could be such is overwritten with a plain
// stand-in of the same length ("0.000"); the handler still gets the original text.
void StandInLargeNumbers(char* text, std::size_t length) {
    constexpr std::size_t LongNumber = 300;
    for (std::size_t i = 0; i < length;) {
        const char c = text[i];
        if (c == '"') {
            for (++i; i < length && text[i] != '"'; ++i)
                if (text[i] == '\\') ++i;
            ++i;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            const std::size_t end = NumberEnd(text, i, length);
            if (end == i) {
                ++i;
                continue;
            }
            const std::string_view number(text + i, end - i);
            if (number.size() >= 3 && (number.find_first_of("eE") != std::string_view::npos || number.size() >= LongNumber)) {
                text[i] = '0';
                text[i + 1] = '.';
                std::memset(text + i + 2, '0', number.size() - 2);
            }
            i = end;
        } else {
            ++i;
        }
    }
}

// RapidJSON reads up to a NUL and its vector scan loads whole aligned 16-byte blocks, so the
// text is read from a copy that ends in zeros.
struct Scratch {
    std::vector<char> buffer;
    rapidjson::Reader reader{nullptr, 1 << 16};
    bool busy = false;
};

constexpr std::size_t Padding = 32;
constexpr std::size_t KeptScratch = std::size_t(4) << 20;

}  // namespace

TextPosition JsonTokenizer::PositionOf(std::string_view text, std::size_t offset) noexcept {
    offset = std::min(offset, text.size());
    const std::string_view before = text.substr(0, offset);
    TextPosition position;
    position.Line = static_cast<std::int64_t>(std::count(before.begin(), before.end(), '\n'));
    const std::size_t lastFeed = before.rfind('\n');
    position.BytePositionInLine =
        static_cast<std::int64_t>(lastFeed == std::string_view::npos ? offset : offset - lastFeed - 1);
    return position;
}

std::string JsonTokenizer::PositionText(std::string_view text, std::size_t offset) {
    const TextPosition position = PositionOf(text, offset);
    std::string out = "LineNumber: ";
    out += std::to_string(position.Line);
    out += " | BytePositionInLine: ";
    out += std::to_string(position.BytePositionInLine);
    out += '.';
    return out;
}

void JsonTokenizer::Tokenize(std::string_view utf8, JsonTokenHandler& handler) {
    if (utf8.size() > std::numeric_limits<rapidjson::SizeType>::max() - Padding)
        ThrowMalformed(utf8, "JsonTextTooLarge", 0);
    const std::size_t invalid = Text::Utf8::FindInvalid(utf8);
    if (invalid != utf8.size()) ThrowMalformed(utf8, "InvalidUtf8", invalid);
    Tokenize(WellFormedUtf8{utf8}, handler);
}

void JsonTokenizer::Tokenize(WellFormedUtf8 checked, JsonTokenHandler& handler) {
    const std::string_view utf8 = checked.text;
    if (utf8.size() > std::numeric_limits<rapidjson::SizeType>::max() - Padding)
        ThrowMalformed(utf8, "JsonTextTooLarge", 0);

    thread_local Scratch shared;
    Scratch local;
    // The thread's scratch is kept for texts of ordinary size; a large text, or a handler that
    // tokenizes again from its callback, gets one that goes with the call.
    Scratch& scratch = shared.busy || utf8.size() > KeptScratch ? local : shared;
    struct Release {
        Scratch& s;
        ~Release() { s.busy = false; }
    } release{scratch};
    scratch.busy = true;

    const auto copyText = [&] {
        if (!utf8.empty()) std::memcpy(scratch.buffer.data(), utf8.data(), utf8.size());
    };
    scratch.buffer.resize(utf8.size() + Padding);
    copyText();
    std::memset(scratch.buffer.data() + utf8.size(), 0, Padding);

    rapidjson::InsituStringStream stream(scratch.buffer.data());
    Adapter adapter(utf8, stream, handler);
    rapidjson::ParseResult result = scratch.reader.Parse<ParseFlags>(stream, adapter);
    if (result.Code() == rapidjson::kParseErrorNumberTooBig) {
        // The first reading has changed the copy in place.
        copyText();
        StandInLargeNumbers(scratch.buffer.data(), utf8.size());
        handler.Restart();
        adapter.Restart();
        stream = rapidjson::InsituStringStream(scratch.buffer.data());
        result = scratch.reader.Parse<ParseFlags>(stream, adapter);
    }
    if (result.IsError()) {
        const std::size_t offset = result.Offset();
        // RapidJSON takes a NUL byte for the end of the text.
        const bool atEnd = offset >= utf8.size();
        if (!atEnd && utf8[offset] == '\0') ThrowMalformed(utf8, "InvalidCharacter", offset);
        ThrowMalformed(utf8, ComplaintOf(result.Code(), atEnd), offset);
    }
    std::size_t end = stream.Tell();
    while (end < utf8.size() && (utf8[end] == ' ' || utf8[end] == '\t' || utf8[end] == '\n' || utf8[end] == '\r'))
        ++end;
    if (end != utf8.size()) ThrowMalformed(utf8, "ExpectedEndAfterSingleJson", end);
}

}  // namespace Quillmark::Platform::Json
