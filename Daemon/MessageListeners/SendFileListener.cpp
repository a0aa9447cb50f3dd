#include "Daemon/MessageListeners/SendFileListener.hpp"

#include "Daemon/Config/AppJsonCtx.hpp"
#include "Daemon/MessageListeners/ActionCode.hpp"
#include "Daemon/MessageListeners/ListenerReply.hpp"
#include "Daemon/MessageListeners/RequestData.hpp"
#include "Daemon/MessageListeners/TempFolder.hpp"
#include "Daemon/MessageListeners/WorkerSlot.hpp"
#include "Platform/Encoding/Base64.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "Platform/Json/JsonWriter.hpp"
#include "Platform/Runtime/BlockingPool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

namespace Quillmark::Daemon::MessageListeners {
namespace {

// Bytes encoded at a time: a multiple of 3, so that the pieces of the text join without padding.
constexpr std::size_t EncodeBlockBytes = 48 * 1024;

// The reply to the chunk: the contract's JSON text of the chunk; with `wire`, also the text that
// goes out for the reply, the message's encoding, whose escapes of the chunk's text are written
// piece by piece as each piece of that text is made. The Base64 text goes block by block
// through a small buffer kept between calls, which stays in the cache between its writing and
// its reading.
Models::Message ChunkReply(std::int32_t index, std::span<const std::uint8_t> bytes, std::string& base64,
                           std::string* wire = nullptr) {
    using Platform::Json::JsonWriter;
    auto reply = ListenerReply(ActionCode::SendFile, R"({"chunkIndex":)");
    auto& data = *reply.Data;
    JsonWriter::AppendInt64(index, data);
    data += R"(,"chunkData":")";
    // Room for the escapes of "+", one symbol in 64 on average, and for what the string writer
    // asks beyond a block's text; skewed data just grows.
    const auto encoded = Platform::Encoding::Base64::EncodedLength(bytes.size());
    data.reserve(data.size() + encoded + encoded / 8 + EncodeBlockBytes + 256);
    // The message around its data, which is escaped as it goes: its encoding with no data yet,
    // cut where the data's text begins.
    std::string tail;
    if (wire) {
        *wire = Config::AppJsonCtx::EncodeMessage(ListenerReply(ActionCode::SendFile, ""));
        const auto cut = wire->find(R"("data":")");
        if (cut == std::string::npos) throw Platform::InvalidOperationFailure();
        tail = wire->substr(cut + 8);
        wire->resize(cut + 8);
        wire->reserve(wire->size() + data.capacity() + data.capacity() / 16 + tail.size() + 256);
        JsonWriter::AppendStringPart(data, *wire);
    }
    for (std::size_t at = 0; at < bytes.size(); at += EncodeBlockBytes) {
        base64.clear();
        Platform::Encoding::Base64::AppendEncoded(bytes.subspan(at, std::min(EncodeBlockBytes, bytes.size() - at)), base64);
        const auto made = data.size();
        JsonWriter::AppendStringPart(base64, data);
        if (wire) JsonWriter::AppendStringPart(std::string_view(data).substr(made), *wire);
    }
    data += "\"}";
    if (wire) {
        JsonWriter::AppendStringPart("\"}", *wire);
        *wire += tail;
    }
    return reply;
}

[[noreturn]] void ThrowTooLarge(const std::string& name) {
    throw Platform::InvalidOperationFailure("File " + name + " is too large to send");
}

// Backs fresh memory on several workers at once, from its start on, in steps taken in turn, so
// that a reader who fills it from the start finds it backed sooner. The memory must stay
// committed until Stop has returned; a worker that starts later touches nothing.
class ParallelBacking {
public:
    explicit ParallelBacking(std::span<std::uint8_t> fresh) : state_(std::make_shared<State>(fresh)) {
        for (std::size_t i = 0; i < Workers && i * Step < fresh.size(); ++i) {
            try {
                Platform::Runtime::BlockingPool::Shared().Post([state = state_] { Work(*state); });
            } catch (const Platform::Failure&) {
                // Fewer workers, or none: the reader backs the rest by its first touches.
                break;
            }
        }
    }
    ParallelBacking(const ParallelBacking&) = delete;
    ParallelBacking& operator=(const ParallelBacking&) = delete;
    ~ParallelBacking() { Stop(); }

    // Waits for the steps under way, each short, and lets no other start.
    void Stop() noexcept {
        std::unique_lock lock(state_->mutex);
        state_->next.store(state_->fresh.size(), std::memory_order_relaxed);
        state_->idle.wait(lock, [this] { return state_->active == 0; });
    }

private:
    static constexpr std::size_t Workers = 4;
    static constexpr std::size_t Step = Platform::Process::ByteRegion::CommitStep;

    struct State {
        explicit State(std::span<std::uint8_t> bytes) : fresh(bytes) {}
        const std::span<std::uint8_t> fresh;
        std::atomic<std::size_t> next{0};
        std::mutex mutex;
        std::condition_variable idle;
        std::size_t active = 0;
    };

    static void Work(State& state) noexcept {
        {
            const std::lock_guard lock(state.mutex);
            if (state.next.load(std::memory_order_relaxed) >= state.fresh.size()) return;
            ++state.active;
        }
        for (;;) {
            const auto at = state.next.fetch_add(Step, std::memory_order_relaxed);
            if (at >= state.fresh.size()) break;
            Platform::Process::ByteRegion::Populate(state.fresh.subspan(at, std::min(Step, state.fresh.size() - at)));
        }
        const std::lock_guard lock(state.mutex);
        if (--state.active == 0) state.idle.notify_all();
    }

    std::shared_ptr<State> state_;
};

}  // namespace

// One worker at a time makes the reply to one chunk, with the text that goes out for it; the
// chunk's bytes must stay in place until the worker is idle.
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
    // Whether it is free to make another reply: idle, and holding none of the chunks in [from, to).
    bool FreeFor(std::int32_t from, std::int32_t to) {
        const std::lock_guard lock(mutex_);
        return !Busy() && (index_ < from || index_ >= to || !reply_);
    }
    // The reply made to the chunk at index, if the worker is done with it; it is handed out once.
    std::optional<Models::Message> Take(std::int32_t index) {
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
        std::optional<Models::Message> reply;
        try {
            auto wire = std::make_shared<std::string>();
            reply = ChunkReply(index, bytes, scratch_, wire.get());
            reply->Encoded = std::move(wire);
        } catch (...) {
            // The chunk step makes it itself.
        }
        const std::lock_guard lock(mutex_);
        reply_ = std::move(reply);
        EndJob();
    }

    std::int32_t index_ = -1;
    std::optional<Models::Message> reply_;
    // The worker's own.
    std::string scratch_;
};

SendFileListener::SendFileListener() : SendFileListener(MaxFileBytes) {}

SendFileListener::SendFileListener(std::int64_t maxFileBytes)
    : bytes_(static_cast<std::size_t>(maxFileBytes)), maxFileBytes_(maxFileBytes) {
    for (auto& slot : nextReplies_) slot = std::make_unique<NextReply>();
}

SendFileListener::~SendFileListener() {
    for (const auto& slot : nextReplies_) slot->WaitIdle();
}

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
        for (const auto& slot : nextReplies_) {
            co_await slot->WaitIdleAsync();
            slot->Forget();
        }
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
    std::optional<Models::Message> reply;
    for (const auto& slot : nextReplies_) {
        if (!slot->Holds(index)) continue;
        if (slot->Running()) {
            try {
                co_await Platform::Runtime::BlockingPool::Shared().RunAsync([next = slot.get()] { next->WaitIdle(); });
            } catch (const Platform::Failure&) {
                // A pool that takes no more work: the reply is made here.
            }
        }
        reply = slot->Take(index);
        break;
    }
    if (!reply) reply = ChunkReply(index, Chunk(static_cast<std::size_t>(index)), base64Scratch_);
    StartNextReplies(index);
    co_return std::move(*reply);
}

void SendFileListener::StartNextReplies(std::int32_t served) {
    const auto from = served + 1;
    const auto to = static_cast<std::int32_t>(std::min<std::size_t>(chunkCount_, static_cast<std::size_t>(from) + AheadReplies));
    for (auto index = from; index < to; ++index) {
        const auto holds = [index](const auto& slot) { return slot->Holds(index); };
        if (std::any_of(nextReplies_.begin(), nextReplies_.end(), holds)) continue;
        for (const auto& slot : nextReplies_) {
            if (!slot->FreeFor(from, to)) continue;
            slot->Start(index, Chunk(static_cast<std::size_t>(index)));
            break;
        }
    }
}

Platform::Task<void> SendFileListener::MakeChunksAsync(const std::string& name, Platform::CancellationToken token) {
    const auto& file = *fileStream_;
    // Memory for the file as long as it is now is backed on workers while the reading follows:
    // first touches of fresh memory cost more than the copies that fill it.
    std::span<std::uint8_t> fresh;
    try {
        fresh = bytes_.CommitAhead(static_cast<std::size_t>(std::clamp<std::int64_t>(file.Size(), 0, maxFileBytes_)));
    } catch (const Platform::Failure&) {
        // Committed as the chunks come, then.
    }
    ParallelBacking backing(fresh);
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
