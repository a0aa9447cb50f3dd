#include "Platform/Json/JsonNode.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "Platform/Json/JsonTokenizer.hpp"
#include "Platform/Json/JsonWriter.hpp"

#include <charconv>
#include <limits>

namespace Quillmark::Platform::Json {

namespace {

std::string_view KindText(JsonValueKind kind) {
    switch (kind) {
    case JsonValueKind::Object: return "Object";
    case JsonValueKind::Array: return "Array";
    case JsonValueKind::String: return "String";
    case JsonValueKind::Number: return "Number";
    case JsonValueKind::True: return "True";
    case JsonValueKind::False: return "False";
    case JsonValueKind::Null: return "Null";
    }
    return "Undefined";
}

[[noreturn]] void ThrowUnconvertible(JsonValueKind kind, std::string_view typeName) {
    if (kind == JsonValueKind::Object || kind == JsonValueKind::Array)
        throw InvalidOperationFailure(PlatformText("NodeWrongType", {"JsonValue"}));
    throw InvalidOperationFailure(PlatformText("NodeUnableToConvertElement", {KindText(kind), typeName}));
}

// Builds the tree of one parsed value.
class TreeBuilder final : public JsonTokenHandler {
public:
    explicit TreeBuilder(std::string_view text) : text_(text) {}

    JsonNode Take() { return std::move(root_); }

    void Null(const TokenEnd& end) override { Count(end), Place(JsonNode::Null()); }
    void Boolean(bool value, const TokenEnd& end) override { Count(end), Place(JsonNode::Boolean(value)); }
    void Number(std::string_view text, const TokenEnd& end) override {
        Count(end), Place(JsonNode::NumberText(std::string(text)));
    }
    void String(std::string_view value, const TokenEnd& end) override {
        Count(end), Place(JsonNode::String(std::string(value)));
    }
    void Key(std::string_view name, const TokenEnd&) override { frames_.back().key.assign(name); }
    void StartObject(const TokenEnd& end) override { Count(end), frames_.emplace_back().isObject = true; }
    void EndObject(const TokenEnd&) override { Close(); }
    void StartArray(const TokenEnd& end) override { Count(end), frames_.emplace_back().isObject = false; }
    void EndArray(const TokenEnd&) override { Close(); }
    void Restart() override {
        values_ = 0;
        frames_.clear();
        root_ = JsonNode();
    }

private:
    void Count(const TokenEnd& end) {
        if (++values_ > JsonNode::MaxValues)
            throw DecodeFailure("TooManyValues " + JsonTokenizer::PositionText(text_, end.Offset()));
    }

    struct Frame {
        bool isObject = false;
        JsonObject object;
        std::vector<JsonNode> items;
        std::string key;
    };

    void Place(JsonNode value) {
        if (frames_.empty()) {
            root_ = std::move(value);
            return;
        }
        Frame& top = frames_.back();
        if (top.isObject)
            top.object.Add(std::move(top.key), std::move(value));
        else
            top.items.push_back(std::move(value));
    }

    void Close() {
        Frame frame = std::move(frames_.back());
        frames_.pop_back();
        Place(frame.isObject ? JsonNode::Object(std::move(frame.object)) : JsonNode::Array(std::move(frame.items)));
    }

    std::string_view text_;
    std::size_t values_ = 0;
    std::vector<Frame> frames_;
    JsonNode root_;
};

}  // namespace

JsonNode::JsonNode() = default;
JsonNode::JsonNode(JsonNode&& other) noexcept = default;
JsonNode& JsonNode::operator=(JsonNode&& other) noexcept = default;
JsonNode::~JsonNode() = default;

JsonNode::JsonNode(const JsonNode& other)
    : kind_(other.kind_),
      text_(other.text_),
      object_(other.object_ ? std::make_unique<JsonObject>(*other.object_) : nullptr),
      array_(other.array_ ? std::make_unique<std::vector<JsonNode>>(*other.array_) : nullptr) {}

JsonNode& JsonNode::operator=(const JsonNode& other) {
    if (this != &other) *this = JsonNode(other);
    return *this;
}

JsonNode JsonNode::Parse(std::string_view utf8) {
    TreeBuilder builder(utf8);
    JsonTokenizer::Tokenize(utf8, builder);
    return builder.Take();
}

JsonNode JsonNode::String(std::string value) {
    JsonNode node;
    node.kind_ = JsonValueKind::String;
    node.text_ = std::move(value);
    return node;
}

JsonNode JsonNode::Number(std::int64_t value) {
    std::string text;
    JsonWriter::AppendInt64(value, text);
    return NumberText(std::move(text));
}

JsonNode JsonNode::NumberText(std::string text) {
    JsonNode node;
    node.kind_ = JsonValueKind::Number;
    node.text_ = std::move(text);
    return node;
}

JsonNode JsonNode::Boolean(bool value) {
    JsonNode node;
    node.kind_ = value ? JsonValueKind::True : JsonValueKind::False;
    return node;
}

JsonNode JsonNode::Null() { return JsonNode(); }

JsonNode JsonNode::Object(JsonObject value) {
    JsonNode node;
    node.kind_ = JsonValueKind::Object;
    node.object_ = std::make_unique<JsonObject>(std::move(value));
    return node;
}

JsonNode JsonNode::Array(std::vector<JsonNode> items) {
    JsonNode node;
    node.kind_ = JsonValueKind::Array;
    node.array_ = std::make_unique<std::vector<JsonNode>>(std::move(items));
    return node;
}

JsonValueKind JsonNode::Kind() const noexcept { return kind_; }

const JsonObject& JsonNode::AsObject() const {
    if (kind_ != JsonValueKind::Object) throw InvalidOperationFailure(PlatformText("NodeWrongType", {"JsonObject"}));
    return *object_;
}

JsonObject& JsonNode::AsObject() {
    return const_cast<JsonObject&>(static_cast<const JsonNode&>(*this).AsObject());
}

const std::vector<JsonNode>& JsonNode::AsArray() const {
    if (kind_ != JsonValueKind::Array) throw InvalidOperationFailure(PlatformText("NodeWrongType", {"JsonArray"}));
    return *array_;
}

const std::string& JsonNode::GetString() const {
    if (kind_ != JsonValueKind::String) ThrowUnconvertible(kind_, "System.String");
    return text_;
}

std::int32_t JsonNode::GetInt32() const {
    if (kind_ == JsonValueKind::Number) {
        const auto value = IntegerOf(text_);
        if (value && *value >= std::numeric_limits<std::int32_t>::min() &&
            *value <= std::numeric_limits<std::int32_t>::max())
            return static_cast<std::int32_t>(*value);
    }
    ThrowUnconvertible(kind_, "System.Int32");
}

std::int64_t JsonNode::GetInt64() const {
    if (kind_ == JsonValueKind::Number) {
        if (const auto value = IntegerOf(text_)) return *value;
    }
    ThrowUnconvertible(kind_, "System.Int64");
}

bool JsonNode::GetBoolean() const {
    if (kind_ == JsonValueKind::True) return true;
    if (kind_ == JsonValueKind::False) return false;
    ThrowUnconvertible(kind_, "System.Boolean");
}

const std::string& JsonNode::RawNumber() const noexcept {
    static const std::string empty;
    return kind_ == JsonValueKind::Number ? text_ : empty;
}

std::optional<std::int64_t> JsonNode::IntegerOf(std::string_view numberText) noexcept {
    if (numberText.empty() || numberText.find_first_of(".eE") != std::string_view::npos) return std::nullopt;
    std::int64_t value = 0;
    const char* end = numberText.data() + numberText.size();
    const auto result = std::from_chars(numberText.data(), end, value);
    if (result.ec != std::errc() || result.ptr != end) return std::nullopt;
    return value;
}

std::string JsonNode::ToJsonString() const {
    std::string out;
    WriteTo(out);
    return out;
}

void JsonNode::WriteTo(std::string& out) const {
    switch (kind_) {
    case JsonValueKind::Object: object_->WriteTo(out); break;
    case JsonValueKind::Array:
        out.push_back('[');
        for (std::size_t i = 0; i < array_->size(); ++i) {
            if (i != 0) out.push_back(',');
            (*array_)[i].WriteTo(out);
        }
        out.push_back(']');
        break;
    case JsonValueKind::String: JsonWriter::AppendString(text_, out); break;
    case JsonValueKind::Number: out += text_; break;
    case JsonValueKind::True: out += "true"; break;
    case JsonValueKind::False: out += "false"; break;
    case JsonValueKind::Null: out += "null"; break;
    }
}

}  // namespace Quillmark::Platform::Json
