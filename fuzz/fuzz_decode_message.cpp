// Bytes from a page or an extension decoded as a Message: every input either yields a record
// or a Failure, and a record survives its own encoding unchanged. The same bytes as a text to
// write, well-formed or not, give ASCII JSON that reads back to a text written the same way.
#include "Daemon/Config/AppJsonCtx.hpp"
#include "Platform/Failure.hpp"

#include <cstdint>
#include <cstdlib>
#include <span>

using Quillmark::Daemon::Config::AppJsonCtx;

namespace {
void WriteAsText(const std::uint8_t* data, std::size_t size) {
    Quillmark::Daemon::Models::Message written;
    written.Data.emplace(reinterpret_cast<const char*>(data), size);
    const auto text = AppJsonCtx::EncodeMessage(written);
    for (const unsigned char c : text)
        if (c < 0x20 || c >= 0x7F) std::abort();
    const auto read = AppJsonCtx::DecodeMessage(std::string_view(text));
    if (!read || !read->Data || AppJsonCtx::EncodeMessage(*read) != text) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WriteAsText(data, size);
    std::optional<Quillmark::Daemon::Models::Message> message;
    try {
        message = AppJsonCtx::DecodeMessage(std::span<const std::uint8_t>(data, size));
    } catch (const Quillmark::Platform::Failure&) {
        return 0;
    }
    if (!message) return 0;
    const auto text = AppJsonCtx::EncodeMessage(*message);
    const auto again = AppJsonCtx::DecodeMessage(std::string_view(text));
    if (!again || !(*again == *message)) std::abort();
    const auto bytes = AppJsonCtx::EncodeMessageUtf8(*message);
    if (std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()) != text) std::abort();
    return 0;
}
