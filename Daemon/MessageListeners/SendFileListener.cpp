#include "Daemon/MessageListeners/SendFileListener.hpp"

#include "Daemon/MessageListeners/ActionCode.hpp"
#include "Daemon/MessageListeners/ListenerReply.hpp"
#include "Daemon/MessageListeners/RequestData.hpp"
#include "Daemon/MessageListeners/TempFolder.hpp"
#include "Platform/Encoding/Base64.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Json/JsonObject.hpp"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

namespace Quillmark::Daemon::MessageListeners {
namespace {

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
        // A name leaving the folder is answered like a missing file: it tells nothing of what
        // lies outside. Only regular files reached without a link are served; the kind is
        // tested on the open file, so nothing swapped in after a look is read.
        const auto folder = TempFolder::IsSafeName(name) ? TempFolder::Open() : std::nullopt;
        std::optional<Platform::File> file;
        try {
            if (folder) file = folder->OpenForReading(name);
        } catch (...) {
            // A file there that cannot be opened counts as found, as below.
            fileStream_.reset();
            throw;
        }
        if (!file) throw Platform::PlainFailure("File " + name + " does not exist");
        // The file is found: one left open by an earlier failed cut goes now, whatever follows.
        fileStream_.reset();
        if (file->Size() > maxFileBytes_) ThrowTooLarge(name);
        fileStream_ = std::move(file);
        chunkCount_ = 0;
        bytes_.Release();
        co_await MakeChunksAsync(name, token);
        fileStream_.reset();
        co_return ListenerReply(Action(), "OK");
    }

    const auto* chunkIndex = object.Find("chunkIndex");
    if (chunkIndex == nullptr) throw Platform::ArgumentNullFailure("Data");
    const std::int32_t index = chunkIndex->GetInt32();
    if (chunkCount_ == 0) throw Platform::InvalidOperationFailure("No chunks available to send");
    if (index < 0 || static_cast<std::size_t>(index) >= chunkCount_) {
        throw Platform::ArgumentOutOfRangeFailure("chunkIndex", "Chunk index is out of range");
    }
    const auto start = static_cast<std::size_t>(index) * static_cast<std::size_t>(ChunkSize);
    const auto chunk = std::as_const(bytes_).Bytes().subspan(start, std::min<std::size_t>(ChunkSize, bytes_.Size() - start));
    co_return ListenerReply(Action(), ChunkReply(index, chunk, base64Scratch_));
}

Platform::Task<void> SendFileListener::MakeChunksAsync(const std::string& name, Platform::CancellationToken token) {
    const auto& file = *fileStream_;
    std::int64_t position = 0;
    // The length is asked anew for every chunk: the file may change while it is cut.
    for (std::int64_t length; position < (length = file.Size());) {
        if (token.stop_requested()) throw Platform::CancellationFailure();
        if (length > maxFileBytes_) ThrowTooLarge(name);
        const auto n = static_cast<std::size_t>(std::min(length - position, ChunkSize));
        // A chunk that is not read whole is not kept.
        const auto kept = bytes_.Size();
        try {
            if (file.ReadAt(position, bytes_.Extend(n)) != n) throw Platform::EndOfStreamFailure();
        } catch (...) {
            bytes_.Truncate(kept);
            throw;
        }
        ++chunkCount_;
        position += static_cast<std::int64_t>(n);
        co_await YieldToLoop();
    }
}

}  // namespace Quillmark::Daemon::MessageListeners
