// The JSON document model that reads request objects and the update state file: any bytes end
// in a tree or a Failure, and a tree's own text parses back to the same text.
#include "Platform/Failure.hpp"
#include "Platform/Json/JsonNode.hpp"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using Quillmark::Platform::Json::JsonNode;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    JsonNode node;
    try {
        node = JsonNode::Parse(std::string_view(reinterpret_cast<const char*>(data), size));
    } catch (const Quillmark::Platform::Failure&) {
        return 0;
    }
    const auto written = node.ToJsonString();
    try {
        if (JsonNode::Parse(written).ToJsonString() != written) std::abort();
    } catch (const Quillmark::Platform::Failure&) {
        std::abort();
    }
    return 0;
}
