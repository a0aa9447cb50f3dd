#pragma once
// A parsed or built JSON value. A plain value type: copies are deep, no sharing, no locking.
// One thread at a time per tree, reads included (an object's first lookup fills a cache).

#include "Platform/Json/JsonValueKind.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::Platform::Json {

class JsonObject;

class JsonNode {
public:
    // The JSON null.
    JsonNode();
    JsonNode(const JsonNode& other);
    JsonNode(JsonNode&& other) noexcept;
    JsonNode& operator=(const JsonNode& other);
    JsonNode& operator=(JsonNode&& other) noexcept;
    ~JsonNode();

    // A tree takes tens of bytes per value, so a parsed document holds at most this many values
    // (containers included): a few megabytes of "[0,0,...]" must not take gigabytes.
    static constexpr std::size_t MaxValues = 1'000'000;

    // One strict RFC 8259 value (blanks around it allowed), at most 64 levels deep. Malformed
    // text is a DecodeFailure "<Complaint> LineNumber: <line> | BytePositionInLine: <pos>.",
    // both zero-based ("ExpectedJsonTokens LineNumber: 0 | BytePositionInLine: 0." for the
    // empty text); so is a document of more than MaxValues values ("TooManyValues ..."). The
    // text must be UTF-8; invalid sequences are malformed text.
    static JsonNode Parse(std::string_view utf8);

    static JsonNode String(std::string value);
    static JsonNode Number(std::int64_t value);
    // A number kept as the given JSON number text, which must be well-formed.
    static JsonNode NumberText(std::string text);
    static JsonNode Boolean(bool value);
    static JsonNode Null();
    static JsonNode Object(JsonObject value);
    static JsonNode Array(std::vector<JsonNode> items);

    JsonValueKind Kind() const noexcept;

    // Else InvalidOperationFailure "NodeWrongType, JsonObject".
    const JsonObject& AsObject() const;
    JsonObject& AsObject();
    // Else InvalidOperationFailure "NodeWrongType, JsonArray".
    const std::vector<JsonNode>& AsArray() const;

    // Conversions of a value node. An object or array fails with "NodeWrongType, JsonValue";
    // another kind with "NodeUnableToConvertElement, <Kind>, <type>" (e.g. "..., Number,
    // System.String"), as does a number that is not an integer in range.
    const std::string& GetString() const;
    std::int32_t GetInt32() const;
    std::int64_t GetInt64() const;
    bool GetBoolean() const;
    // The received text of a number node (empty for other kinds).
    const std::string& RawNumber() const noexcept;
    // The value of a JSON number text written as an integer (no fraction, no exponent) within
    // the signed 64-bit range; nothing otherwise.
    static std::optional<std::int64_t> IntegerOf(std::string_view numberText) noexcept;

    // Compact JSON with the wire contract's escaping; numbers as received.
    std::string ToJsonString() const;
    void WriteTo(std::string& out) const;

private:
    JsonValueKind kind_ = JsonValueKind::Null;
    std::string text_;  // a string's value, or a number's text
    std::unique_ptr<JsonObject> object_;
    std::unique_ptr<std::vector<JsonNode>> array_;
};

}  // namespace Quillmark::Platform::Json
