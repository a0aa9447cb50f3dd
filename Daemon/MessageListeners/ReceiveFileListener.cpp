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
#include "Platform/File/File.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "Platform/Path.hpp"
#include "Platform/Runtime/BlockingPool.hpp"
#include "Platform/Text/Ascii.hpp"

#include <algorithm>
#include <cstring>
#include <span>
#include <utility>

namespace Quillmark::Daemon::MessageListeners {
namespace {

using Platform::Json::JsonNode;

using Platform::Encoding::Base64;

// Pieces smaller than this are gathered and written together.
constexpr std::size_t WriteBatchBytes = 64 * 1024;
// The most bytes of the region handed to the system in one write.
constexpr std::size_t WriteRunBytes = 8 * 1024 * 1024;

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

// Writes the file's pieces in order with as few calls as it can: pieces that lie next to each
// other in the region go out together, small ones through a buffer.
class PieceWriter {
public:
    explicit PieceWriter(Platform::File& file) : file_(file) {}

    void Add(std::span<const std::uint8_t> piece) {
        if (run_.data() + run_.size() == piece.data() && run_.size() + piece.size() <= WriteRunBytes) {
            run_ = {run_.data(), run_.size() + piece.size()};
            return;
        }
        Put(run_);
        run_ = piece;
    }
    void Finish() {
        Put(run_);
        run_ = {};
        file_.Write(pending_);
        pending_.clear();
    }

private:
    void Put(std::span<const std::uint8_t> run) {
        if (pending_.size() + run.size() > WriteBatchBytes) {
            file_.Write(pending_);
            pending_.clear();
        }
        if (run.size() >= WriteBatchBytes) {
            file_.Write(run);
        } else {
            pending_.insert(pending_.end(), run.begin(), run.end());
        }
    }

    Platform::File& file_;
    std::span<const std::uint8_t> run_;
    std::vector<std::uint8_t> pending_;
};

}  // namespace

std::int32_t ReceiveFileListener::Action() const { return ActionCode::ReceiveFile; }

Platform::Task<Models::Message> ReceiveFileListener::ProcessAsync(Models::Message request, Platform::CancellationToken) {
    const auto object = RequestData::Parse(request.Data);
    if (RequestData::SelectStep(object) == 0) {
        metadata_ = Config::AppJsonCtx::DecodeFileMetadata(object);
        std::vector<ChunkRecord>().swap(chunks_);
        bytes_.Release();
        chunkCount_ = 0;
        receivedBytes_ = 0;
        co_return ListenerReply(Action(), "OK");
    }

    if (!metadata_) throw Platform::InvalidOperationFailure("Metadata must be received before chunks");
    Models::FileChunk record;
    const auto chunk = ReadChunk(object, record);
    ChunkRecord stored;
    stored.ChunkIndex = chunk.index;
    stored.Offset = bytes_.Size();
    // Decoded into the region where the room for any text of its length is left there; near
    // the bound, beside it, since the text may still fit once its blanks are skipped.
    std::vector<std::uint8_t> beside;
    if (!chunk.data) {
        stored.Content = ChunkRecord::State::NullData;
    } else {
        try {
            if (Base64::DecodeRoom(chunk.data->size()) <= bytes_.Bound() - stored.Offset) {
                stored.Length = Base64::DecodeInto(*chunk.data, bytes_.Extend(Base64::DecodeRoom(chunk.data->size())));
                bytes_.Truncate(stored.Offset + stored.Length);
            } else {
                beside = Base64::Decode(*chunk.data);
                stored.Length = beside.size();
            }
        } catch (const Platform::FormatFailure&) {
            bytes_.Truncate(stored.Offset);
            stored.Content = ChunkRecord::State::BadBase64;
        }
    }
    // Once the count has reached the announced total nothing can complete again, so later
    // chunks are counted but not kept.
    const bool keep = chunkCount_ < metadata_->TotalChunks;
    const auto cost = static_cast<std::int64_t>(stored.Length) + (keep ? ChunkOverheadBytes : 0);
    if (!keep || cost > maxUploadBytes_ - receivedBytes_) bytes_.Truncate(stored.Offset);
    if (cost > maxUploadBytes_ - receivedBytes_) {
        throw Platform::InvalidOperationFailure("Upload exceeds " + std::to_string(maxUploadBytes_) + " bytes");
    }
    if (keep) {
        try {
            if (!beside.empty()) std::memcpy(bytes_.Extend(beside.size()).data(), beside.data(), beside.size());
            chunks_.push_back(stored);
        } catch (...) {
            bytes_.Truncate(stored.Offset);
            throw;
        }
    }
    receivedBytes_ += cost;
    ++chunkCount_;
    if (chunkCount_ == metadata_->TotalChunks) co_return co_await MakeFileAsync();
    co_return ListenerReply(Action(), "OK");
}

Platform::Task<Models::Message> ReceiveFileListener::MakeFileAsync() {
    auto& metadata = *metadata_;
    metadata.FileName = Common::Utils::RandomString(16) + "_" + Extension(metadata.OriginalFileName);
    std::stable_sort(chunks_.begin(), chunks_.end(),
                     [](const ChunkRecord& a, const ChunkRecord& b) { return a.ChunkIndex < b.ChunkIndex; });
    const auto& name = *metadata.FileName;
    // The chunks are not needed after this attempt, whatever its outcome.
    const auto chunks = std::move(chunks_);
    chunks_.clear();
    struct Release {
        Platform::Process::ByteRegion& region;
        ~Release() { region.Release(); }
    } release{bytes_};

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
        const auto hash = co_await Platform::Runtime::BlockingPool::Shared().RunAsync(
            [&chunks, &file, bytes = std::as_const(bytes_).Bytes()] {
                Platform::Encoding::Sha256 sha;
                PieceWriter writer(file);
                for (const auto& chunk : chunks) {
                    if (chunk.Content == ChunkRecord::State::NullData) throw Platform::ArgumentNullFailure("s");
                    if (chunk.Content == ChunkRecord::State::BadBase64) throw Platform::FormatFailure("Format_BadBase64Char");
                    const auto piece = bytes.subspan(chunk.Offset, chunk.Length);
                    writer.Add(piece);
                    sha.Update(piece);
                }
                writer.Finish();
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
