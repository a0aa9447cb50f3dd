#include "Daemon/MessageListeners/RequestData.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Json/JsonNode.hpp"

namespace Quillmark::Daemon::MessageListeners {

Platform::Json::JsonObject RequestData::Parse(const std::optional<std::string>& data) {
    Platform::Json::JsonNode node = Platform::Json::JsonNode::Parse(data ? std::string_view(*data) : std::string_view());
    if (node.Kind() == Platform::Json::JsonValueKind::Null) throw Platform::ArgumentNullFailure("Data");
    return std::move(node.AsObject());
}

std::int32_t RequestData::SelectStep(const Platform::Json::JsonObject& request) {
    const Platform::Json::JsonNode* action = request.Find("action");
    if (action == nullptr) throw Platform::ArgumentFailure("Invalid action", "Data");
    const std::int32_t step = action->GetInt32();
    if (step != 0 && step != 1) throw Platform::ArgumentFailure("Invalid action", "Data");
    return step;
}

}  // namespace Quillmark::Daemon::MessageListeners
