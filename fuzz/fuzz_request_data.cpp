// The "data" text of upload, download and sign requests: parsed into the request object, its
// step selected and its records read, as the listeners do. Every input ends in a value or a
// Failure, and the object's own text parses back to the same text.
#include "Daemon/Config/AppJsonCtx.hpp"
#include "Daemon/MessageListeners/RequestData.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Json/JsonNode.hpp"
#include "Platform/Json/JsonObject.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

using Quillmark::Daemon::Config::AppJsonCtx;
using Quillmark::Daemon::MessageListeners::RequestData;
using Quillmark::Platform::Failure;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Quillmark::Platform::Json::JsonObject request;
    try {
        request = RequestData::Parse(text);
    } catch (const Failure&) {
        return 0;
    }
    const auto written = request.ToJsonString();
    try {
        const auto reread = Quillmark::Platform::Json::JsonNode::Parse(written);
        if (reread.AsObject().ToJsonString() != written) std::abort();
    } catch (const Failure&) {
        std::abort();  // our own output must parse
    }
    try {
        (void)RequestData::SelectStep(request);
    } catch (const Failure&) {
    }
    try {
        (void)AppJsonCtx::DecodeFileMetadata(request);
    } catch (const Failure&) {
    }
    try {
        (void)AppJsonCtx::DecodeFileChunk(request);
    } catch (const Failure&) {
    }
    return 0;
}
