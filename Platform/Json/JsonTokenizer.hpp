#pragma once
// The strict JSON tokenizer under the document model and the wire contract. Stateless for its
// callers; any thread.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace Quillmark::Platform::Json {

// Where the token being delivered ends: the offset of the byte just past it (just past the
// bracket for a start). Found on demand, since only failures need it.
class TokenEnd {
public:
    virtual std::size_t Offset() const = 0;

protected:
    ~TokenEnd() = default;
};

// Receives the tokens of one value in document order. Texts are unescaped UTF-8 and valid only
// during the call. A handler stops the reading by throwing.
class JsonTokenHandler {
public:
    virtual void Null(const TokenEnd& end) = 0;
    virtual void Boolean(bool value, const TokenEnd& end) = 0;
    virtual void Number(std::string_view text, const TokenEnd& end) = 0;
    virtual void String(std::string_view value, const TokenEnd& end) = 0;
    virtual void Key(std::string_view name, const TokenEnd& end) = 0;
    virtual void StartObject(const TokenEnd& end) = 0;
    virtual void EndObject(const TokenEnd& end) = 0;
    virtual void StartArray(const TokenEnd& end) = 0;
    virtual void EndArray(const TokenEnd& end) = 0;
    // The reading starts over from the first token: forget everything delivered so far.
    virtual void Restart() = 0;

protected:
    ~JsonTokenHandler() = default;
};

struct TextPosition {
    std::int64_t Line = 0;                // line feeds before the offset
    std::int64_t BytePositionInLine = 0;  // bytes from the line's start to the offset
};

// Text that its holder has already found to be well-formed UTF-8 throughout, so that it is not
// checked a second time.
struct WellFormedUtf8 {
    std::string_view text;
};

class JsonTokenizer {
public:
    // Objects and arrays nest at most this deep, the outermost counting as the first.
    static constexpr int MaxDepth = 64;

    // Reads exactly one RFC 8259 value, blanks around it allowed, and nothing else: no BOM, no
    // comments, no trailing commas, valid UTF-8 only. Malformed text is a DecodeFailure
    // "<Complaint> LineNumber: <line> | BytePositionInLine: <pos>.".
    static void Tokenize(std::string_view utf8, JsonTokenHandler& handler);
    // The same without the UTF-8 check.
    static void Tokenize(WellFormedUtf8 checked, JsonTokenHandler& handler);

    static TextPosition PositionOf(std::string_view text, std::size_t offset) noexcept;
    // "LineNumber: <line> | BytePositionInLine: <pos>." for the offset, the tail of every
    // failure text that places a fault in JSON text.
    static std::string PositionText(std::string_view text, std::size_t offset);
};

}  // namespace Quillmark::Platform::Json
