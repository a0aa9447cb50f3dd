#include "Daemon/Config/AppJsonCtx.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Json/JsonNode.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "Platform/Json/JsonTokenizer.hpp"
#include "Platform/Json/JsonWriter.hpp"

#include <limits>

namespace Quillmark::Daemon::Config {

namespace {

using Platform::Json::JsonNode;
using Platform::Json::JsonObject;
using Platform::Json::JsonTokenizer;
using Platform::Json::JsonValueKind;
using Platform::Json::JsonWriter;

constexpr std::string_view Int32Type = "System.Int32";
constexpr std::string_view Int64Type = "System.Int64";
constexpr std::string_view StringType = "System.String";

[[noreturn]] void ThrowUnconvertible(std::string_view text, std::size_t end, std::string_view typeName,
                                     std::string_view memberName) {
    std::string message = Platform::PlatformText("DeserializeUnableToConvertValue", {typeName});
    message += " Path: $";
    if (!memberName.empty()) {
        message += '.';
        message += memberName;
    }
    message += " | ";
    message += JsonTokenizer::PositionText(text, end);
    throw Platform::DecodeFailure(std::move(message));
}

std::optional<std::int64_t> IntegerIn(std::string_view numberText, std::int64_t min, std::int64_t max) {
    const auto value = JsonNode::IntegerOf(numberText);
    if (value && *value >= min && *value <= max) return value;
    return std::nullopt;
}

// One record member as the reading rules see it.
struct Field {
    std::string_view name;
    enum class Type { Text, Int32, Int64 } type;

    std::string_view TypeName() const {
        return type == Type::Text ? StringType : type == Type::Int32 ? Int32Type : Int64Type;
    }
    std::int64_t Min() const {
        return type == Type::Int32 ? std::numeric_limits<std::int32_t>::min() : std::numeric_limits<std::int64_t>::min();
    }
    std::int64_t Max() const {
        return type == Type::Int32 ? std::numeric_limits<std::int32_t>::max() : std::numeric_limits<std::int64_t>::max();
    }
};

// Reads one Message straight from the token stream.
class MessageReader final : public Platform::Json::JsonTokenHandler {
public:
    explicit MessageReader(std::string_view text) : text_(text) {}

    std::optional<Models::Message> Take() { return std::move(message_); }

    void Null(const Platform::Json::TokenEnd& end) override {
        if (depth_ == 0) return;  // the literal null: no record
        if (Field* field = Pending()) {
            if (field->type != Field::Type::Text) Fail(*field, end.Offset());
            Text(*field) = std::nullopt;
        }
    }
    void Boolean(bool, const Platform::Json::TokenEnd& end) override {
        if (depth_ == 0) FailWhole(end.Offset());
        if (Field* field = Pending()) Fail(*field, end.Offset());
    }
    void Number(std::string_view text, const Platform::Json::TokenEnd& end) override {
        if (depth_ == 0) FailWhole(end.Offset());
        if (Field* field = Pending()) {
            if (field->type == Field::Type::Text) Fail(*field, end.Offset());
            const auto value = IntegerIn(text, field->Min(), field->Max());
            if (!value) Fail(*field, end.Offset());
            (field == &Fields[2] ? message_->_action : message_->_errorCode) = static_cast<std::int32_t>(*value);
        }
    }
    void String(std::string_view value, const Platform::Json::TokenEnd& end) override {
        if (depth_ == 0) FailWhole(end.Offset());
        if (Field* field = Pending()) {
            if (field->type != Field::Type::Text) Fail(*field, end.Offset());
            Text(*field).emplace(value);
        }
    }
    void Key(std::string_view name, const Platform::Json::TokenEnd&) override {
        if (depth_ != 1) return;
        for (Field& field : Fields)
            if (field.name == name) {
                pending_ = &field;
                return;
            }
    }
    void StartObject(const Platform::Json::TokenEnd& end) override {
        if (depth_ == 0) message_.emplace();
        else if (Field* field = Pending()) Fail(*field, end.Offset());
        ++depth_;
    }
    void EndObject(const Platform::Json::TokenEnd&) override { --depth_; }
    void StartArray(const Platform::Json::TokenEnd& end) override {
        if (depth_ == 0) FailWhole(end.Offset());
        if (Field* field = Pending()) Fail(*field, end.Offset());
        ++depth_;
    }
    void EndArray(const Platform::Json::TokenEnd&) override { --depth_; }
    void Restart() override {
        depth_ = 0;
        pending_ = nullptr;
        message_.reset();
    }

private:
    static inline Field Fields[] = {
        {"errorMessage", Field::Type::Text},
        {"data", Field::Type::Text},
        {"action", Field::Type::Int32},
        {"errorCode", Field::Type::Int32},
    };

    // The record member that the value now read belongs to, if any.
    Field* Pending() {
        if (depth_ != 1) return nullptr;
        return std::exchange(pending_, nullptr);
    }
    std::optional<std::string>& Text(const Field& field) {
        return &field == &Fields[0] ? message_->ErrorMessage : message_->Data;
    }
    [[noreturn]] void Fail(const Field& field, std::size_t end) {
        ThrowUnconvertible(text_, end, field.TypeName(), field.name);
    }
    [[noreturn]] void FailWhole(std::size_t end) {
        ThrowUnconvertible(text_, end, "Quillmark.Daemon.Models.Message", {});
    }

    std::string_view text_;
    int depth_ = 0;
    Field* pending_ = nullptr;
    std::optional<Models::Message> message_;
};

// Reads record members from an object as if from its compact text: a failure's position is
// that of the value in the text the object writes.
class ObjectReader {
public:
    explicit ObjectReader(const JsonObject& object) : object_(object) {}

    template <class OnText, class OnInteger>
    void Read(std::span<const Field> fields, OnText onText, OnInteger onInteger) {
        const auto& members = object_.Members();
        for (std::size_t i = 0; i < members.size(); ++i) {
            const auto& [name, node] = members[i];
            for (const Field& field : fields) {
                if (field.name != name) continue;
                if (field.type == Field::Type::Text) {
                    if (node.Kind() == JsonValueKind::String)
                        onText(field, std::optional<std::string>(node.GetString()));
                    else if (node.Kind() == JsonValueKind::Null)
                        onText(field, std::optional<std::string>());
                    else
                        Fail(i, field);
                } else {
                    std::optional<std::int64_t> value;
                    if (node.Kind() == JsonValueKind::Number) value = IntegerIn(node.RawNumber(), field.Min(), field.Max());
                    if (!value) Fail(i, field);
                    onInteger(field, *value);
                }
                break;
            }
        }
    }

private:
    [[noreturn]] void Fail(std::size_t index, const Field& field) const {
        const auto& members = object_.Members();
        std::string text = "{";
        for (std::size_t i = 0; i < index; ++i) {
            JsonWriter::AppendString(members[i].first, text);
            text += ':';
            members[i].second.WriteTo(text);
            text += ',';
        }
        JsonWriter::AppendString(members[index].first, text);
        text += ':';
        const JsonNode& node = members[index].second;
        if (node.Kind() == JsonValueKind::Object)
            text += '{';
        else if (node.Kind() == JsonValueKind::Array)
            text += '[';
        else
            node.WriteTo(text);
        ThrowUnconvertible(text, text.size(), field.TypeName(), field.name);
    }

    const JsonObject& object_;
};

constexpr Field MetadataFields[] = {
    {"fileName", Field::Type::Text},
    {"originalFileName", Field::Type::Text},
    {"fileSize", Field::Type::Int64},
    {"totalChunks", Field::Type::Int64},
    {"fileHash", Field::Type::Text},
};

constexpr Field ChunkFields[] = {
    {"chunkIndex", Field::Type::Int64},
    {"chunkData", Field::Type::Text},
};

template <class Buffer>
void Raw(Buffer& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

// The member names are written as they stand: plain ASCII words.
template <class Buffer>
Buffer WriteMessage(const Models::Message& message) {
    Buffer out;
    // The members' texts with an eighth more for escapes, and the room the string writer asks
    // for beyond that, so that a large reply is not copied into a buffer twice its size.
    out.reserve((message.ErrorMessage ? message.ErrorMessage->size() : 0) + (message.Data ? message.Data->size() : 0) +
                (message.Data ? message.Data->size() / 8 : 0) + 256);
    Raw(out, "{");
    if (message.ErrorMessage) {
        Raw(out, "\"errorMessage\":");
        JsonWriter::AppendString(*message.ErrorMessage, out);
        Raw(out, ",");
    }
    if (message.Data) {
        Raw(out, "\"data\":");
        JsonWriter::AppendString(*message.Data, out);
        Raw(out, ",");
    }
    Raw(out, "\"action\":");
    JsonWriter::AppendInt64(message._action, out);
    Raw(out, ",\"errorCode\":");
    JsonWriter::AppendInt64(message._errorCode, out);
    Raw(out, "}");
    return out;
}

}  // namespace

std::optional<Models::Message> AppJsonCtx::DecodeMessage(std::span<const std::uint8_t> utf8) {
    return DecodeMessage(std::string_view(reinterpret_cast<const char*>(utf8.data()), utf8.size()));
}

std::optional<Models::Message> AppJsonCtx::DecodeMessage(std::string_view text) {
    MessageReader reader(text);
    JsonTokenizer::Tokenize(text, reader);
    return reader.Take();
}

std::optional<Models::Message> AppJsonCtx::DecodeMessage(Platform::Json::WellFormedUtf8 text) {
    MessageReader reader(text.text);
    JsonTokenizer::Tokenize(text, reader);
    return reader.Take();
}

std::string AppJsonCtx::EncodeMessage(const Models::Message& message) { return WriteMessage<std::string>(message); }

std::string AppJsonCtx::EncodeMessage(std::nullopt_t) { return "null"; }

std::shared_ptr<const std::string> AppJsonCtx::TakeWireText(Models::Message message) {
    if (message.Encoded) return std::move(message.Encoded);
    return std::make_shared<const std::string>(EncodeMessage(message));
}

std::vector<std::uint8_t> AppJsonCtx::EncodeMessageUtf8(const Models::Message& message) {
    return WriteMessage<std::vector<std::uint8_t>>(message);
}

std::vector<std::uint8_t> AppJsonCtx::EncodeMessageUtf8(std::nullopt_t) { return {'n', 'u', 'l', 'l'}; }

Models::FileMetadata AppJsonCtx::DecodeFileMetadata(const JsonObject& object) {
    Models::FileMetadata metadata;
    ObjectReader(object).Read(
        MetadataFields,
        [&](const Field& field, std::optional<std::string> value) {
            (field.name == "fileName"           ? metadata.FileName
             : field.name == "originalFileName" ? metadata.OriginalFileName
                                                : metadata.FileHash) = std::move(value);
        },
        [&](const Field& field, std::int64_t value) {
            (field.name == "fileSize" ? metadata.FileSize : metadata.TotalChunks) = value;
        });
    return metadata;
}

Models::FileChunk AppJsonCtx::DecodeFileChunk(const JsonObject& object) {
    Models::FileChunk chunk;
    ObjectReader(object).Read(
        ChunkFields, [&](const Field&, std::optional<std::string> value) { chunk.ChunkData = std::move(value); },
        [&](const Field&, std::int64_t value) { chunk.ChunkIndex = value; });
    return chunk;
}

std::string AppJsonCtx::EncodeFileChunk(const Models::FileChunk& chunk) {
    std::string out = "{\"chunkIndex\":";
    JsonWriter::AppendInt64(chunk.ChunkIndex, out);
    out += ",\"chunkData\":";
    if (chunk.ChunkData)
        JsonWriter::AppendString(*chunk.ChunkData, out);
    else
        out += "null";
    out += '}';
    return out;
}

}  // namespace Quillmark::Daemon::Config
