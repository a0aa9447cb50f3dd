#pragma once
// The JSON contract of the three wire records. Stateless once made; any thread.

#include "Daemon/Models/FileChunk.hpp"
#include "Daemon/Models/FileMetadata.hpp"
#include "Daemon/Models/Message.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::Platform::Json {
class JsonObject;
struct WellFormedUtf8;
}

namespace Quillmark::Daemon::Config {

class AppJsonCtx {
public:
    // A Message from UTF-8 bytes; nothing for the literal null; DecodeFailure otherwise.
    static std::optional<Models::Message> DecodeMessage(std::span<const std::uint8_t> utf8);
    // The same from text.
    static std::optional<Models::Message> DecodeMessage(std::string_view text);
    // The same from text its caller has checked already: the check is not repeated.
    static std::optional<Models::Message> DecodeMessage(Platform::Json::WellFormedUtf8 text);
    // Compact JSON text; ArgumentFailure "ValueTooLarge, N" for a text over 166,666,666 UTF-16 units.
    static std::string EncodeMessage(const Models::Message& message);
    static std::string EncodeMessage(std::nullopt_t);  // "null"
    static std::vector<std::uint8_t> EncodeMessageUtf8(const Models::Message& message);
    static std::vector<std::uint8_t> EncodeMessageUtf8(std::nullopt_t);  // "null"
    // The text that goes out for the message, which is given up for it, so that its members
    // take no memory while the text goes out: the text it carries, made beforehand, else its
    // encoding now.
    static std::shared_ptr<const std::string> TakeWireText(Models::Message message);
    // Records read from a parsed request object (written back by the contract and read again).
    static Models::FileMetadata DecodeFileMetadata(const Platform::Json::JsonObject& object);
    static Models::FileChunk DecodeFileChunk(const Platform::Json::JsonObject& object);
    static std::string EncodeFileChunk(const Models::FileChunk& chunk);
};

}  // namespace Quillmark::Daemon::Config
