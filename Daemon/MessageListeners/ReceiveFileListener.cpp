#include "Daemon/MessageListeners/ReceiveFileListener.hpp"

#include "Common/Utils.hpp"
#include "Daemon/Config/AppJsonCtx.hpp"
#include "Daemon/MessageListeners/ActionCode.hpp"
#include "Daemon/MessageListeners/ListenerReply.hpp"
#include "Daemon/MessageListeners/RequestData.hpp"
#include "Daemon/MessageListeners/TempFolder.hpp"
#include "Platform/Encoding/Base64.hpp"
#include "Platform/Encoding/Hex.hpp"
#include "Platform/Encoding/Sha256.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "Platform/Path.hpp"
#include "Platform/Runtime/BlockingPool.hpp"
#include "Platform/Text/Ascii.hpp"

#include <algorithm>

namespace Quillmark::Daemon::MessageListeners {
namespace {

using Platform::Json::JsonNode;

// Spare room a decoded chunk may keep; the overhead charged per chunk covers it.
constexpr std::size_t BufferSlack = 16;
// Chunks smaller than this are written together.
constexpr std::size_t WriteBatchBytes = 64 * 1024;

// From the last "." to the end, unless that dot ends the name or a separator follows it.
std::string Extension(const std::optional<std::string>& originalFileName) {
    if (!originalFileName) return {};
    const auto& name = *originalFileName;
    const auto dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 == name.size()) return {};
    if (name.find_first_of("/\\", dot) != std::string::npos) return {};
    return name.substr(dot);
}

// A chunk's index and text (nullptr for a JSON null), read straight from the parsed object when
// its members are of the kinds the contract reads, sparing copies of a large text; anything
// else goes through the contract, which raises its exact failure, into `record`.
struct ChunkText {
    std::int64_t index = 0;
    const std::string* data = nullptr;
};

ChunkText ReadChunk(const Platform::Json::JsonObject& object, Models::FileChunk& record) {
    static const std::string empty;
    const auto* index = object.Find("chunkIndex");
    const auto* data = object.Find("chunkData");
    // Find answers nullptr for null too, and a null index is the contract's failure.
    const bool indexPlain = index == nullptr ? !object.Contains("chunkIndex")
                                             : index->Kind() == Platform::Json::JsonValueKind::Number;
    const bool plain = indexPlain && (data == nullptr || data->Kind() == Platform::Json::JsonValueKind::String);
    if (plain) {
        const auto value = index == nullptr ? std::optional<std::int64_t>(0) : JsonNode::IntegerOf(index->RawNumber());
        if (value) {
            if (data != nullptr) return {*value, &data->GetString()};
            return {*value, object.Contains("chunkData") ? nullptr : &empty};
        }
    }
    record = Config::AppJsonCtx::DecodeFileChunk(object);
    return {record.ChunkIndex, record.ChunkData ? &*record.ChunkData : nullptr};
}

}  // namespace

std::int32_t ReceiveFileListener::Action() const { return ActionCode::ReceiveFile; }

Platform::Task<Models::Message> ReceiveFileListener::ProcessAsync(Models::Message request, Platform::CancellationToken) {
    const auto object = RequestData::Parse(request.Data);
    if (RequestData::SelectStep(object) == 0) {
        metadata_ = Config::AppJsonCtx::DecodeFileMetadata(object);
        std::vector<StoredChunk>().swap(chunks_);
        chunkCount_ = 0;
        receivedBytes_ = 0;
        co_return ListenerReply(Action(), "OK");
    }

    if (!metadata_) throw Platform::InvalidOperationFailure("Metadata must be received before chunks");
    Models::FileChunk record;
    const auto chunk = ReadChunk(object, record);
    StoredChunk stored;
    stored.ChunkIndex = chunk.index;
    if (!chunk.data) {
        stored.Content = StoredChunk::State::NullData;
    } else {
        try {
            stored.Bytes = Platform::Encoding::Base64::Decode(*chunk.data);
        } catch (const Platform::FormatFailure&) {
            stored.Content = StoredChunk::State::BadBase64;
        }
    }
    // Once the count has reached the announced total nothing can complete again, so later
    // chunks are counted but not kept.
    const bool keep = chunkCount_ < metadata_->TotalChunks;
    // Text padded with blanks decodes into a buffer with room to spare; a kept one gives it back.
    if (keep && stored.Bytes.capacity() - stored.Bytes.size() > BufferSlack) stored.Bytes.shrink_to_fit();
    const auto cost = static_cast<std::int64_t>(stored.Bytes.size()) + (keep ? ChunkOverheadBytes : 0);
    if (cost > maxUploadBytes_ - receivedBytes_) {
        throw Platform::InvalidOperationFailure("Upload exceeds " + std::to_string(maxUploadBytes_) + " bytes");
    }
    receivedBytes_ += cost;
    if (keep) chunks_.push_back(std::move(stored));
    ++chunkCount_;
    if (chunkCount_ == metadata_->TotalChunks) co_return co_await MakeFileAsync();
    co_return ListenerReply(Action(), "OK");
}

Platform::Task<Models::Message> ReceiveFileListener::MakeFileAsync() {
    auto& metadata = *metadata_;
    metadata.FileName = Common::Utils::RandomString(16) + "_" + Extension(metadata.OriginalFileName);
    std::stable_sort(chunks_.begin(), chunks_.end(),
                     [](const StoredChunk& a, const StoredChunk& b) { return a.ChunkIndex < b.ChunkIndex; });
    const auto& name = *metadata.FileName;
    // The chunks are not needed after this attempt, whatever its outcome.
    auto chunks = std::move(chunks_);
    chunks_.clear();

    const auto folder = TempFolder::Open();
    if (!folder) {
        const auto path = Platform::Path::Join(TempFolder::UsualPath(), name);
        throw Platform::IoFailure(Platform::PlatformText("IO_PathNotFound_Path", {path}));
    }
    std::string digest;
    bool created = false;
    try {
        auto file = folder->Create(name);
        created = true;
        // Writing and hashing block on the system for as long as the upload is large: they run on
        // a worker, and the digest is taken over exactly the bytes written, while they are hot.
        const auto hash = co_await Platform::Runtime::BlockingPool::Shared().RunAsync([&chunks, &file] {
            Platform::Encoding::Sha256 sha;
            // Small chunks are gathered so that each write reaches the system with a useful amount.
            std::vector<std::uint8_t> pending;
            for (const auto& chunk : chunks) {
                if (chunk.Content == StoredChunk::State::NullData) throw Platform::ArgumentNullFailure("s");
                if (chunk.Content == StoredChunk::State::BadBase64) throw Platform::FormatFailure("Format_BadBase64Char");
                if (pending.size() + chunk.Bytes.size() > WriteBatchBytes) {
                    file.Write(pending);
                    pending.clear();
                }
                if (chunk.Bytes.size() >= WriteBatchBytes) {
                    file.Write(chunk.Bytes);
                } else {
                    pending.insert(pending.end(), chunk.Bytes.begin(), chunk.Bytes.end());
                }
                sha.Update(chunk.Bytes);
            }
            file.Write(pending);
            return sha.Finish();
        });
        const auto length = file.Size();
        file.Close();
        if (length != metadata.FileSize) {
            throw Platform::InvalidOperationFailure("File size mismatch: expected " + std::to_string(metadata.FileSize) +
                                                    ", got " + std::to_string(length));
        }
        digest = Platform::Encoding::Hex::ToUpper(hash);
        const auto& expected = metadata.FileHash;
        if (!expected || expected->empty() || !Platform::Text::EqualsIgnoreCase(*expected, digest)) {
            throw Platform::InvalidOperationFailure("File hash mismatch: expected " + expected.value_or("") +
                                                    ", got " + digest);
        }
    } catch (...) {
        // The client never learns this name, so what was written is of no use to anyone.
        try {
            if (created) folder->Remove(name);
        } catch (...) {
        }
        throw;
    }

    Platform::Json::JsonObject reply;
    reply.Add("status", JsonNode::String("SUCCESS"));
    reply.Add("fileName", JsonNode::String(*metadata.FileName));
    reply.Add("originalFileName", metadata.OriginalFileName ? JsonNode::String(*metadata.OriginalFileName) : JsonNode::Null());
    reply.Add("fileSize", JsonNode::Number(metadata.FileSize));
    reply.Add("fileHash", JsonNode::String(*metadata.FileHash));
    co_return ListenerReply(Action(), reply.ToJsonString());
}

}  // namespace Quillmark::Daemon::MessageListeners
