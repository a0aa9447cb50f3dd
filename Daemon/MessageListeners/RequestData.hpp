#pragma once
// Reading the request object carried as JSON text in the "data" of upload, download and sign
// requests. Stateless; any thread.

#include "Platform/Json/JsonObject.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace Quillmark::Daemon::MessageListeners {

class RequestData {
public:
    // The request object (absent data counts as the empty text). Failures: the parser's
    // DecodeFailure for text that is not one JSON value; ArgumentNullFailure("Data") for null;
    // InvalidOperationFailure "NodeWrongType, JsonObject" for another kind of value.
    static Platform::Json::JsonObject Parse(const std::optional<std::string>& data);
    // Step 0 or 1 from the object's "action"; ArgumentFailure("Invalid action", "Data") when it
    // is absent, null or another integer; the node's conversion failures for other kinds; a
    // repeated member name fails as JsonObject::Find does.
    static std::int32_t SelectStep(const Platform::Json::JsonObject& request);
};

}  // namespace Quillmark::Daemon::MessageListeners
