#include "Daemon/MessageListeners/SendFileListener.hpp"

#include "Daemon/MessageListeners/ActionCode.hpp"
#include "Daemon/MessageListeners/ListenerReply.hpp"
#include "Daemon/MessageListeners/RequestData.hpp"
#include "Daemon/MessageListeners/TempFolder.hpp"
#include "Daemon/MessageListeners/WorkerSlot.hpp"
#include "Platform/Encoding/Base64.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "Platform/Runtime/BlockingPool.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>
#include <utility>

namespace Quillmark::Daemon::MessageListeners {
namespace {

// Bytes encoded at a time: a multiple of 3, so that the pieces of the text join without padding.
constexpr std::size_t EncodeBlockBytes = 48 * 1024;

// The contract's JSON text of the chunk: of all Base64 symbols only "+" is escaped. The
// Base64 text goes block by block through a small buffer kept between calls, which stays in
// the cache between its writing and its reading.
std::string ChunkReply(std::int32_t index, std::span<const std::uint8_t> bytes, std::string& base64) {
    std::string reply = R"({"chunkIndex":)" + std::to_string(index) + R"(,"chunkData":")";
    // Room for the escapes that one symbol in 64 needs on average; skewed data just grows.
    const auto encoded = Platform::Encoding::Base64::EncodedLength(bytes.size());
    reply.reserve(reply.size() + encoded + encoded / 8 + 2);
    for (std::size_t at = 0; at < bytes.size(); at += EncodeBlockBytes) {
        base64.clear();
        Platform::Encoding::Base64::AppendEncoded(bytes.subspan(at, std::min(EncodeBlockBytes, bytes.size() - at)), base64);
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
    }
    reply.append("\"}", 2);
    return reply;
}

[[noreturn]] void ThrowTooLarge(const std::string& name) {
    throw Platform::InvalidOperationFailure("File " + name + " is too large to send");
}

}  // namespace

// One worker at a time makes the reply to one chunk; the chunk's bytes must stay in place
// until the worker is idle.
class SendFileListener::NextReply final : public WorkerSlot {
public:
    // Starts a worker on the reply to the chunk at index, unless one is busy.
    void Start(std::int32_t index, std::span<const std::uint8_t> bytes) {
        {
            const std::lock_guard lock(mutex_);
            if (!Claim()) return;
            index_ = index;
            reply_.reset();
        }
        Post([this, index, bytes] { Make(index, bytes); });
    }
    // Whether a reply to the chunk at index is made or under way.
    bool Holds(std::int32_t index) {
        const std::lock_guard lock(mutex_);
        return index_ == index && (Busy() || reply_);
    }
    // The reply made to the chunk at index, if the worker is done with it; it is handed out once.
    std::optional<std::string> Take(std::int32_t index) {
        const std::lock_guard lock(mutex_);
        if (Busy() || index_ != index) return std::nullopt;
        return std::exchange(reply_, std::nullopt);
    }
    // Forgets a reply made; the worker must be idle.
    void Forget() {
        const std::lock_guard lock(mutex_);
        index_ = -1;
        reply_.reset();
    }

private:
    void Make(std::int32_t index, std::span<const std::uint8_t> bytes) noexcept {
        std::optional<std::string> reply;
        try {
            reply = ChunkReply(index, bytes, scratch_);
        } catch (...) {
            // The chunk step makes it itself.
        }
        const std::lock_guard lock(mutex_);
        reply_ = std::move(reply);
        EndJob();
    }

    std::int32_t index_ = -1;
    std::optional<std::string> reply_;
    // The worker's own.
    std::string scratch_;
};

SendFileListener::SendFileListener() : nextReply_(std::make_unique<NextReply>()) {}

SendFileListener::SendFileListener(std::int64_t maxFileBytes)
    : bytes_(static_cast<std::size_t>(maxFileBytes)), maxFileBytes_(maxFileBytes), nextReply_(std::make_unique<NextReply>()) {}

SendFileListener::~SendFileListener() { nextReply_->WaitIdle(); }

std::int32_t SendFileListener::Action() const { return ActionCode::SendFile; }

std::span<const std::uint8_t> SendFileListener::Chunk(std::size_t index) const {
    const auto start = index * static_cast<std::size_t>(ChunkSize);
    return bytes_.Bytes().subspan(start, std::min<std::size_t>(ChunkSize, bytes_.Size() - start));
}

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
        // A worker still making a reply from the old chunks ends within that one reply.
        co_await nextReply_->WaitIdleAsync();
        nextReply_->Forget();
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
    std::optional<std::string> reply;
    if (nextReply_->Holds(index)) {
        if (nextReply_->Running()) {
            try {
                co_await Platform::Runtime::BlockingPool::Shared().RunAsync([next = nextReply_.get()] { next->WaitIdle(); });
            } catch (const Platform::Failure&) {
                // A pool that takes no more work: the reply is made here.
            }
        }
        reply = nextReply_->Take(index);
    }
    if (!reply) reply = ChunkReply(index, Chunk(static_cast<std::size_t>(index)), base64Scratch_);
    if (static_cast<std::size_t>(index) + 1 < chunkCount_) nextReply_->Start(index + 1, Chunk(static_cast<std::size_t>(index) + 1));
    co_return ListenerReply(Action(), std::move(*reply));
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
