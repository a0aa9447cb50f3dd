#include "Daemon/MessageListeners/SendFileListener.hpp"

#include "Daemon/MessageListeners/ActionCode.hpp"
#include "Daemon/MessageListeners/ListenerReply.hpp"
#include "Daemon/MessageListeners/RequestData.hpp"
#include "Daemon/MessageListeners/TempFolder.hpp"
#include "Platform/Encoding/Base64.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "Platform/Path.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <span>

namespace Quillmark::Daemon::MessageListeners {
namespace {

// A file's length through its open stream; the position is kept.
std::int64_t LengthOf(std::FILE* file, const std::string& path) {
    const auto position = std::ftell(file);
    if (position < 0 || std::fseek(file, 0, SEEK_END) != 0) TempFolder::ThrowFileFailure(path, errno);
    const auto length = std::ftell(file);
    if (length < 0 || std::fseek(file, position, SEEK_SET) != 0) TempFolder::ThrowFileFailure(path, errno);
    return length;
}

// The contract's JSON text of the chunk: of all Base64 symbols only "+" is escaped. The
// Base64 text goes through a buffer kept between calls, sparing the fresh pages of a new one.
std::string ChunkReply(std::int32_t index, std::span<const std::uint8_t> bytes, std::string& base64) {
    base64.clear();
    Platform::Encoding::Base64::AppendEncoded(bytes, base64);
    std::string reply = R"({"chunkIndex":)" + std::to_string(index) + R"(,"chunkData":")";
    // Room for the escapes that one symbol in 64 needs on average; skewed data just grows.
    reply.reserve(reply.size() + base64.size() + base64.size() / 8 + 2);
    const char* from = base64.data();
    const char* const end = from + base64.size();
    while (from < end) {
        const auto* plus = static_cast<const char*>(std::memchr(from, '+', static_cast<std::size_t>(end - from)));
        if (plus == nullptr) plus = end;
        reply.append(from, plus);
        if (plus == end) break;
        reply.append("\\u002B", 6);
        from = plus + 1;
    }
    reply.append("\"}", 2);
    return reply;
}

[[noreturn]] void ThrowTooLarge(const std::string& name) {
    throw Platform::InvalidOperationFailure("File " + name + " is too large to send");
}

}  // namespace

std::int32_t SendFileListener::Action() const { return ActionCode::SendFile; }

Platform::Task<Models::Message> SendFileListener::ProcessAsync(Models::Message request, Platform::CancellationToken token) {
    const auto object = RequestData::Parse(request.Data);
    if (RequestData::SelectStep(object) == 0) {
        const auto* fileName = object.Find("fileName");
        if (fileName == nullptr) throw Platform::ArgumentNullFailure("Data");
        const auto name = fileName->GetString();
        const auto path = TempFolder::Join(name);
        const auto fsPath = Platform::Path::ToFsPath(path);
        std::error_code ec;
        // A name leaving the folder is answered like a missing file: it tells nothing of what
        // lies outside. Only regular files are served: opening a pipe or device could block.
        if (!TempFolder::IsSafeName(name) || !std::filesystem::is_regular_file(fsPath, ec)) {
            throw Platform::PlainFailure("File " + name + " does not exist");
        }
        // The file is found: one left open by an earlier failed cut goes now, whatever follows.
        fileStream_.reset();
        const auto size = std::filesystem::file_size(fsPath, ec);
        if (!ec && size > static_cast<std::uintmax_t>(maxFileBytes_)) ThrowTooLarge(name);

        fileStream_.reset(std::fopen(path.c_str(), "rb"));
        if (!fileStream_) TempFolder::ThrowFileFailure(path, errno);
        // Each chunk is read straight into its own buffer.
        std::setvbuf(fileStream_.get(), nullptr, _IONBF, 0);
        std::vector<std::vector<std::uint8_t>>().swap(chunks_);
        co_await MakeChunksAsync(name, path, token);
        fileStream_.reset();
        co_return ListenerReply(Action(), "OK");
    }

    const auto* chunkIndex = object.Find("chunkIndex");
    if (chunkIndex == nullptr) throw Platform::ArgumentNullFailure("Data");
    const std::int32_t index = chunkIndex->GetInt32();
    if (chunks_.empty()) throw Platform::InvalidOperationFailure("No chunks available to send");
    if (index < 0 || static_cast<std::size_t>(index) >= chunks_.size()) {
        throw Platform::ArgumentOutOfRangeFailure("chunkIndex", "Chunk index is out of range");
    }
    co_return ListenerReply(Action(), ChunkReply(index, chunks_[static_cast<std::size_t>(index)], base64Scratch_));
}

Platform::Task<void> SendFileListener::MakeChunksAsync(const std::string& name, const std::string& path,
                                                       Platform::CancellationToken token) {
    auto* file = fileStream_.get();
    if (std::fseek(file, 0, SEEK_SET) != 0) TempFolder::ThrowFileFailure(path, errno);
    std::int64_t position = 0;
    // The length is asked anew for every chunk: the file may change while it is cut.
    for (std::int64_t length; position < (length = LengthOf(file, path));) {
        if (token.stop_requested()) throw Platform::CancellationFailure();
        if (length > maxFileBytes_) ThrowTooLarge(name);
        const auto n = static_cast<std::size_t>(std::min(length - position, ChunkSize));
        std::vector<std::uint8_t> bytes(n);
        if (std::fread(bytes.data(), 1, n, file) != n) {
            if (std::ferror(file)) TempFolder::ThrowFileFailure(path, errno);
            throw Platform::EndOfStreamFailure();
        }
        chunks_.push_back(std::move(bytes));
        position += static_cast<std::int64_t>(n);
        co_await YieldToLoop();
    }
}

}  // namespace Quillmark::Daemon::MessageListeners
