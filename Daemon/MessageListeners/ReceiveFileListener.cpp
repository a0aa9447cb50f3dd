#include "Daemon/MessageListeners/ReceiveFileListener.hpp"

#include "Common/Utils.hpp"
#include "Daemon/Config/AppJsonCtx.hpp"
#include "Daemon/MessageListeners/ActionCode.hpp"
#include "Daemon/MessageListeners/ListenerReply.hpp"
#include "Daemon/MessageListeners/RequestData.hpp"
#include "Daemon/MessageListeners/TempFolder.hpp"
#include "Daemon/MessageListeners/WorkerSlot.hpp"
#include "Platform/Encoding/Base64.hpp"
#include "Platform/Encoding/Hex.hpp"
#include "Platform/Encoding/Sha256.hpp"
#include "Platform/Failure.hpp"
#include "Platform/File/File.hpp"
#include "Platform/File/Folder.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "Platform/Path.hpp"
#include "Platform/Runtime/BlockingPool.hpp"
#include "Platform/Text/Ascii.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace Quillmark::Daemon::MessageListeners {
namespace {

using Platform::Encoding::Base64;
using Platform::Json::JsonNode;

// Pieces smaller than this are gathered and written together.
constexpr std::size_t WriteBatchBytes = 64 * 1024;
// The most bytes of the region handed to the system in one write.
constexpr std::size_t WriteRunBytes = 8 * 1024 * 1024;
// The most bytes a worker hashes before it looks whether it should stop.
constexpr std::size_t HashPieceBytes = 1024 * 1024;
// The smallest upload whose file is written while it comes in; a smaller one is written at
// its assembly in a moment.
constexpr std::int64_t WriteAheadFileBytes = 4 * 1024 * 1024;
// How far beyond an upload's bytes memory is backed ahead of them.
constexpr std::size_t FillAheadBytes = 8 * 1024 * 1024;

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

// A fresh name for an upload's file: random, keeping the original name's extension.
std::string NewFileName(const Models::FileMetadata& metadata) {
    return Common::Utils::RandomString(16) + "_" + Extension(metadata.OriginalFileName);
}

// A chunk request as browsers write it, {"action":1,"chunkIndex":N,"chunkData":"..."}, with a
// plain index and nothing else: its index and the text between the quotes, which may still
// hold anything. Any other spelling answers nothing and goes through the document, which
// reads it the same way or fails as the contract says.
struct PlainChunk {
    std::int64_t index = 0;
    std::string_view text;
};

std::optional<PlainChunk> PlainChunkRequest(std::string_view data) {
    constexpr std::string_view head = R"({"action":1,"chunkIndex":)";
    constexpr std::string_view middle = R"(,"chunkData":")";
    constexpr std::string_view tail = R"("})";
    if (!data.starts_with(head)) return std::nullopt;
    std::size_t at = head.size();
    // No sign and no leading zero, and few enough digits that no reading can overflow.
    const std::size_t digitsEnd = std::min(data.find_first_not_of("0123456789", at), data.size());
    const std::size_t digits = digitsEnd - at;
    if (digits == 0 || digits > 18 || (digits > 1 && data[at] == '0')) return std::nullopt;
    std::int64_t index = 0;
    for (; at < digitsEnd; ++at) index = index * 10 + (data[at] - '0');
    if (data.substr(at, middle.size()) != middle) return std::nullopt;
    at += middle.size();
    if (data.size() < at + tail.size() || !data.ends_with(tail)) return std::nullopt;
    return PlainChunk{index, data.substr(at, data.size() - tail.size() - at)};
}

// The bytes that a text of Base64 symbols alone decodes to; any other length means the decoder
// skipped characters, some of which (tab, CR, LF) JSON refuses in a string.
std::size_t PlainDecodedLength(std::string_view text) {
    if (text.size() % 4 != 0) return std::string_view::npos;
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
    return text.size() / 4 * 3 - padding;
}

// Whether JSON would read the text, between quotes, as it stands: no quote, backslash or control
// character in it.
bool IsPlainString(std::string_view text) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'), controls = _mm_set1_epi8(0x1F);
    for (; i + 16 <= text.size(); i += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
        const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(block, controls), block);
        const __m128i special =
            _mm_or_si128(control, _mm_or_si128(_mm_cmpeq_epi8(block, quote), _mm_cmpeq_epi8(block, backslash)));
        if (_mm_movemask_epi8(special) != 0) return false;
    }
#endif
    for (; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == '"' || c == '\\') return false;
    }
    return true;
}

// Writes the file's pieces, slices of the region, in order with as few calls as it can: pieces
// that lie next to each other go out together, small ones through a buffer. What has gone out
// is dropped from the region at once, so that the file's cache can take that memory rather
// than fresh pages, whose first touch costs far more than the copy.
class PieceWriter {
public:
    PieceWriter(Platform::File& file, Platform::Process::ByteRegion& region) : file_(file), region_(region) {}

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
            region_.Drop(static_cast<std::size_t>(run.data() - std::as_const(region_).Bytes().data()), run.size());
        } else {
            pending_.insert(pending_.end(), run.begin(), run.end());
        }
    }

    Platform::File& file_;
    Platform::Process::ByteRegion& region_;
    std::span<const std::uint8_t> run_;
    std::vector<std::uint8_t> pending_;
};

}  // namespace

// Work for the chunks still to come, done on a worker, one job at a time, while the loop waits
// for them: memory that their bytes will take is backed beforehand, from what the bytes no
// longer needed give back where there are such, and while the chunks come in index order, the
// bytes so far are hashed. The loop offers all three; the memory offered must stay committed,
// and the bytes in place, until the worker is idle.
class ReceiveFileListener::AheadWork final : public WorkerSlot {
public:
    // Adds to what there is to hash (the run begins with the bytes offered before), to give
    // back and to back, and starts a worker unless one runs already. A pool that takes no more
    // work leaves the backing to the loop's first touches and the hashing to the assembly.
    void Offer(std::span<const std::uint8_t> run, std::span<std::uint8_t> fresh, std::span<std::uint8_t> spent) {
        {
            const std::lock_guard lock(mutex_);
            run_ = run;
            if (!fresh.empty()) {
                fresh_ = fresh_.empty() ? fresh : std::span(fresh_.data(), fresh.data() + fresh.size());
            }
            if (!spent.empty()) {
                spent_ = spent_.empty() ? spent : std::span(spent_.data(), spent.data() + spent.size());
            }
            if (abandoned_ || !Claim()) return;
        }
        Post([this] { Work(); });
    }
    // The chunks are out of order: nothing more is hashed.
    void StopHashing() {
        const std::lock_guard lock(mutex_);
        hashing_ = false;
    }
    // The worker stops at the end of its piece; nothing more is done.
    void Abandon() {
        const std::lock_guard lock(mutex_);
        abandoned_ = true;
    }
    // How many of the first bytes offered are hashed for good, so far.
    std::size_t Hashed() {
        const std::lock_guard lock(mutex_);
        return broken_ ? 0 : hashed_;
    }
    // The digest of all the bytes, whose first ones are those offered: the worker's digest
    // continued over the rest; nothing when the worker's hashing failed, and all of them must
    // be hashed afresh. Blocks until the worker is idle.
    std::optional<Platform::Encoding::Sha256::Digest> Finish(std::span<const std::uint8_t> all) {
        WaitIdle();
        if (broken_) return std::nullopt;
        if (sha_ == nullptr) sha_ = std::make_unique<Platform::Encoding::Sha256>();
        sha_->Update(all.subspan(hashed_));
        return sha_->Finish();
    }

private:
    void Work() noexcept {
        for (;;) {
            std::span<std::uint8_t> spent, fresh;
            std::span<const std::uint8_t> piece;
            {
                const std::lock_guard lock(mutex_);
                if (abandoned_) break;
                // Backing first, the loop is about to write there; and before it, giving back on
                // this same thread, so that the backing takes up that memory rather than fresh.
                if (!spent_.empty()) {
                    spent = std::exchange(spent_, {});
                } else if (!fresh_.empty()) {
                    fresh = fresh_.first(std::min(Platform::Process::ByteRegion::CommitStep, fresh_.size()));
                    fresh_ = fresh_.subspan(fresh.size());
                } else if (hashing_ && !broken_ && hashed_ < run_.size()) {
                    piece = run_.subspan(hashed_, std::min(HashPieceBytes, run_.size() - hashed_));
                } else {
                    break;
                }
            }
            if (!spent.empty()) {
                Platform::Process::ByteRegion::GiveBack(spent);
                continue;
            }
            if (!fresh.empty()) {
                Platform::Process::ByteRegion::Populate(fresh);
                continue;
            }
            try {
                // Made only once there is something to hash: the hashing library's start-up
                // costs memory that a daemon which never receives a file need not spend.
                if (sha_ == nullptr) sha_ = std::make_unique<Platform::Encoding::Sha256>();
                sha_->Update(piece);
            } catch (...) {
                // The assembly hashes everything afresh.
                const std::lock_guard lock(mutex_);
                broken_ = true;
                continue;
            }
            const std::lock_guard lock(mutex_);
            hashed_ += piece.size();
        }
        const std::lock_guard lock(mutex_);
        EndJob();
    }

    std::span<const std::uint8_t> run_;
    std::span<std::uint8_t> fresh_;
    std::span<std::uint8_t> spent_;
    std::size_t hashed_ = 0;
    bool hashing_ = true;
    bool abandoned_ = false;
    bool broken_ = false;
    std::unique_ptr<Platform::Encoding::Sha256> sha_;
};

// The file of an upload that arrives in index order, written on a worker while the chunks still
// come in, so that its assembly has only the last bytes left to write. The bytes offered must
// stay in place until the worker is idle. A file begun here that does not become the upload's
// is removed.
class ReceiveFileListener::WriteAhead final : public WorkerSlot {
public:
    WriteAhead(Platform::Folder folder, std::string name, Platform::File file)
        : folder_(std::move(folder)), name_(std::move(name)), file_(std::move(file)) {}

    // The upload's bytes so far, from its first one; writes those not written yet, unless a
    // worker runs already.
    void Offer(std::span<const std::uint8_t> run) {
        {
            const std::lock_guard lock(mutex_);
            run_ = run;
            if (stopped_ || broken_ || !Claim()) return;
        }
        Post([this] { Work(); });
    }
    // The worker stops at the end of its piece; nothing more is written.
    void Stop() {
        const std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    // Once the worker is idle: how many of the first bytes the file holds, if it can go on.
    std::optional<std::size_t> Written() {
        const std::lock_guard lock(mutex_);
        if (broken_ || Busy()) return std::nullopt;
        return written_;
    }
    // How many of the first bytes the file holds for good, so far, whatever comes of it.
    std::size_t WrittenSoFar() {
        const std::lock_guard lock(mutex_);
        return written_;
    }
    const std::string& Name() const { return name_; }
    // Once the worker is idle: the file as it is, to read back from.
    const Platform::File& FileSoFar() const { return file_; }
    // Once the worker is idle: the file, to go on with.
    Platform::File TakeFile() { return std::move(file_); }
    // Once the worker is idle: closes and removes the file, as far as that can be done.
    void Remove() noexcept {
        try {
            file_.Close();
        } catch (...) {
        }
        try {
            folder_.Remove(name_);
        } catch (...) {
        }
    }

private:
    void Work() noexcept {
        for (;;) {
            std::span<const std::uint8_t> piece;
            {
                const std::lock_guard lock(mutex_);
                if (stopped_ || broken_ || written_ >= run_.size()) break;
                piece = run_.subspan(written_, std::min(WriteRunBytes, run_.size() - written_));
            }
            bool failed = false;
            try {
                file_.Write(piece);
            } catch (...) {
                // The assembly writes the whole file afresh, and reports what fails then.
                failed = true;
            }
            const std::lock_guard lock(mutex_);
            if (failed) broken_ = true;
            else written_ += piece.size();
        }
        const std::lock_guard lock(mutex_);
        EndJob();
    }

    Platform::Folder folder_;
    std::string name_;
    Platform::File file_;
    std::span<const std::uint8_t> run_;
    std::size_t written_ = 0;
    bool stopped_ = false;
    bool broken_ = false;
};

ReceiveFileListener::ReceiveFileListener() : ReceiveFileListener(MaxUploadBytes) {}

ReceiveFileListener::ReceiveFileListener(std::int64_t maxUploadBytes)
    : bytes_(static_cast<std::size_t>(maxUploadBytes)),
      ahead_(std::make_unique<AheadWork>()),
      maxUploadBytes_(maxUploadBytes),
      alive_(std::make_shared<ReceiveFileListener*>(this)) {}

ReceiveFileListener::~ReceiveFileListener() {
    ahead_->Abandon();
    ahead_->WaitIdle();
    if (writeAhead_) {
        writeAhead_->Stop();
        writeAhead_->WaitIdle();
        writeAhead_->Remove();
    }
}

std::int32_t ReceiveFileListener::Action() const { return ActionCode::ReceiveFile; }

Platform::Task<void> ReceiveFileListener::DiscardChunksAsync() {
    ahead_->Abandon();
    co_await ahead_->WaitIdleAsync();
    if (writeAhead_) {
        writeAhead_->Stop();
        co_await writeAhead_->WaitIdleAsync();
        writeAhead_->Remove();
        writeAhead_.reset();
    }
    std::vector<ChunkRecord>().swap(chunks_);
    bytes_.Release();
    givenBack_ = 0;
    ahead_ = std::make_unique<AheadWork>();
    inOrder_ = true;
}

std::optional<ReceiveFileListener::ChunkRecord> ReceiveFileListener::DecodePlainChunk(const std::optional<std::string>& data) {
    if (!data) return std::nullopt;
    const auto plain = PlainChunkRequest(*data);
    if (!plain) return std::nullopt;
    ChunkRecord stored;
    stored.ChunkIndex = plain->index;
    stored.Offset = bytes_.Size();
    const auto room = Base64::DecodeRoom(plain->text.size());
    if (room > bytes_.Bound() - stored.Offset) return std::nullopt;
    bool decoded = true;
    try {
        stored.Length = Base64::DecodeInto(plain->text, bytes_.Extend(room));
    } catch (const Platform::FormatFailure&) {
        // Quotes, escapes or other symbols: the document decides what the text is.
        decoded = false;
    }
    if (!decoded || stored.Length != PlainDecodedLength(plain->text)) {
        bytes_.Truncate(stored.Offset);
        return std::nullopt;
    }
    bytes_.Truncate(stored.Offset + stored.Length);
    return stored;
}

bool ReceiveFileListener::DeferPlainChunk(Models::Message& request) {
    if (!request.Data) return false;
    const auto plain = PlainChunkRequest(*request.Data);
    // The chunk that completes the count is assembled at once, and one past it is not kept.
    if (!plain || chunkCount_ + 1 >= metadata_->TotalChunks) return false;
    // Its reply must not depend on the decoding: the document would read the text as it stands,
    // and whatever the decoding makes of it, its bytes stay within the bound.
    const auto nominal = PlainDecodedLength(plain->text);
    if (nominal == std::string_view::npos || !IsPlainString(plain->text)) return false;
    const auto offset = bytes_.Size();
    const auto room = Base64::DecodeRoom(plain->text.size());
    const auto charged = static_cast<std::int64_t>(nominal) + ChunkOverheadBytes;
    if (room > bytes_.Bound() - offset || charged > maxUploadBytes_ - receivedBytes_) return false;
    bytes_.Extend(room);
    try {
        chunks_.push_back(ChunkRecord{plain->index, offset, 0, ChunkRecord::State::Bytes});
    } catch (...) {
        bytes_.Truncate(offset);
        throw;
    }
    const auto textAt = static_cast<std::size_t>(plain->text.data() - request.Data->data());
    deferred_ = DeferredChunk{chunks_.size() - 1, std::move(*request.Data), textAt, plain->text.size(), charged, chunkCount_};
    receivedBytes_ += charged;
    ++chunkCount_;
    return true;
}

void ReceiveFileListener::RunDeferred() noexcept {
    if (!deferred_) return;
    const auto work = std::move(*deferred_);
    deferred_.reset();
    auto& stored = chunks_[work.chunk];
    const auto text = std::string_view(work.data).substr(work.textAt, work.textLength);
    try {
        stored.Length = Base64::DecodeInto(text, bytes_.Bytes().subspan(stored.Offset, Base64::DecodeRoom(text.size())));
    } catch (const Platform::FormatFailure&) {
        stored.Content = ChunkRecord::State::BadBase64;
    }
    bytes_.Truncate(stored.Offset + stored.Length);
    receivedBytes_ -= work.charged - (static_cast<std::int64_t>(stored.Length) + ChunkOverheadBytes);
    TrackKept(stored, work.countBefore);
}

void ReceiveFileListener::TrackKept(const ChunkRecord& stored, std::int64_t countBefore) {
    // In order so far, the region holds the file's first bytes as they will be written.
    const bool following = chunks_.size() == 1 || chunks_[chunks_.size() - 2].ChunkIndex <= stored.ChunkIndex;
    if (inOrder_ && (stored.Content != ChunkRecord::State::Bytes || !following)) {
        inOrder_ = false;
        ahead_->StopHashing();
        if (writeAhead_) writeAhead_->Stop();
    }
    // Memory for the chunks to come is backed as far ahead as the upload has come, up to a
    // limit and never past the announced size; memory that cannot be had now is left to the
    // chunks' own growth.
    const auto size = bytes_.Size();
    const auto announced = static_cast<std::size_t>(std::max<std::int64_t>(metadata_->FileSize, 0));
    std::span<std::uint8_t> fresh;
    try {
        if (announced > size) fresh = bytes_.CommitAhead(std::min(size + std::min(FillAheadBytes, size), announced));
    } catch (const Platform::Failure&) {
    }
    ahead_->Offer(std::as_const(bytes_).Bytes(), fresh, Settled());
    // The chunk that completes the count is written by the assembly anyway.
    if (inOrder_ && countBefore + 1 < metadata_->TotalChunks && metadata_->FileSize >= WriteAheadFileBytes) {
        if (!writeAhead_ && chunks_.size() == 1) writeAhead_ = BeginFile();
        if (writeAhead_) writeAhead_->Offer(std::as_const(bytes_).Bytes());
    }
}

Platform::Task<Models::Message> ReceiveFileListener::ProcessAsync(Models::Message request, Platform::CancellationToken) {
    // A chunk whose decoding was put off is decoded before anything else changes.
    RunDeferred();
    // The common spelling of a chunk is decoded straight from the request's text, which is most
    // of what an upload carries; the document would copy it twice more. One whose reply is
    // known beforehand is answered first, and decoded once that reply is on its way, while the
    // client readies the next chunk.
    if (metadata_ && DeferPlainChunk(request)) {
        const auto executor = co_await boost::asio::this_coro::executor;
        boost::asio::post(executor, [alive = std::weak_ptr(alive_)] {
            if (const auto self = alive.lock()) (*self)->RunDeferred();
        });
        co_return ListenerReply(Action(), "OK");
    }
    std::optional<ChunkRecord> plain;
    if (metadata_) plain = DecodePlainChunk(request.Data);
    ChunkRecord stored;
    // Decoded into the region where the room for any text of its length is left there; near
    // the bound, beside it, since the text may still fit once its blanks are skipped.
    std::vector<std::uint8_t> beside;
    if (plain) {
        stored = *plain;
    } else {
        const auto object = RequestData::Parse(request.Data);
        if (RequestData::SelectStep(object) == 0) {
            auto metadata = Config::AppJsonCtx::DecodeFileMetadata(object);
            co_await DiscardChunksAsync();
            metadata_ = std::move(metadata);
            chunkCount_ = 0;
            receivedBytes_ = 0;
            co_return ListenerReply(Action(), "OK");
        }

        if (!metadata_) throw Platform::InvalidOperationFailure("Metadata must be received before chunks");
        Models::FileChunk record;
        const auto chunk = ReadChunk(object, record);
        stored.ChunkIndex = chunk.index;
        stored.Offset = bytes_.Size();
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
        TrackKept(stored, chunkCount_);
    }
    receivedBytes_ += cost;
    ++chunkCount_;
    if (chunkCount_ == metadata_->TotalChunks) co_return co_await MakeFileAsync();
    co_return ListenerReply(Action(), "OK");
}

std::span<std::uint8_t> ReceiveFileListener::Settled() {
    if (!inOrder_ || !writeAhead_) return {};
    // Whole steps, which the system backs with large pages.
    constexpr auto step = Platform::Process::ByteRegion::CommitStep;
    const auto settled = std::min(ahead_->Hashed(), writeAhead_->WrittenSoFar()) / step * step;
    if (settled <= givenBack_) return {};
    const auto spent = bytes_.Bytes().subspan(givenBack_, settled - givenBack_);
    givenBack_ = settled;
    return spent;
}

std::unique_ptr<ReceiveFileListener::WriteAhead> ReceiveFileListener::BeginFile() const {
    // Anything in the way leaves the file to the assembly, which reports it.
    try {
        auto folder = TempFolder::Open();
        if (!folder) return nullptr;
        auto name = NewFileName(*metadata_);
        auto file = folder->Create(name);
        return std::make_unique<WriteAhead>(std::move(*folder), std::move(name), std::move(file));
    } catch (...) {
        return nullptr;
    }
}

Platform::Task<Models::Message> ReceiveFileListener::MakeFileAsync() {
    // The chunks are not needed after this attempt, whatever its outcome.
    std::optional<Models::Message> reply;
    std::exception_ptr failure;
    try {
        reply = co_await WriteFileAsync();
    } catch (...) {
        failure = std::current_exception();
    }
    co_await DiscardChunksAsync();
    if (failure) std::rethrow_exception(failure);
    co_return std::move(*reply);
}

Platform::Task<Models::Message> ReceiveFileListener::WriteFileAsync() {
    auto& metadata = *metadata_;
    // A file begun while the chunks came in order holds their first bytes; it is the upload's
    // only while it still stands in the folder.
    std::optional<std::size_t> written;
    if (writeAhead_) {
        co_await writeAhead_->WaitIdleAsync();
        if (inOrder_) written = writeAhead_->Written();
    }
    const auto folder = TempFolder::Open();
    if (written && (!folder || folder->KindOf(writeAhead_->Name()) != Platform::Folder::EntryKind::RegularFile)) {
        written.reset();
    }
    metadata.FileName = written ? writeAhead_->Name() : NewFileName(metadata);
    std::stable_sort(chunks_.begin(), chunks_.end(),
                     [](const ChunkRecord& a, const ChunkRecord& b) { return a.ChunkIndex < b.ChunkIndex; });
    const auto& name = *metadata.FileName;
    const auto chunks = std::move(chunks_);
    chunks_.clear();

    if (!folder) {
        const auto path = Platform::Path::Join(TempFolder::UsualPath(), name);
        throw Platform::IoFailure(Platform::PlatformText("IO_PathNotFound_Path", {path}));
    }
    std::string digest;
    bool created = false;
    try {
        auto file = written ? writeAhead_->TakeFile() : folder->Create(name);
        created = true;
        // Where the bytes given back are read from if they are needed again.
        const Platform::File* firstFile = givenBack_ == 0 ? nullptr : written ? &file : &writeAhead_->FileSoFar();
        // The file is the upload's now: what removes it is the failure below, not the discarding.
        if (written) writeAhead_.reset();
        // Writing and hashing block on the system for as long as the upload is large: they run on
        // a worker. The digest is taken over exactly the bytes written, each before it is written
        // (and dropped): those of an upload sent in order were hashed as they came, the others
        // are hashed here, while they are hot.
        const auto hash = co_await Platform::Runtime::BlockingPool::Shared().RunAsync(
            [ahead = ahead_.get(), inOrder = inOrder_, skipped = written.value_or(0), givenBack = givenBack_, firstFile,
             &chunks, &file, &region = bytes_] {
                const auto bytes = std::as_const(region).Bytes();
                std::optional<Platform::Encoding::Sha256::Digest> hashed;
                if (inOrder) hashed = ahead->Finish(bytes);
                // Nothing is backed any more once the writing starts.
                ahead->WaitIdle();
                // Bytes given back are needed again to be hashed afresh or written to a fresh file.
                // What is read back is hashed as it is written: the file may have changed meanwhile.
                if (givenBack != 0 && (!hashed || skipped < givenBack)) {
                    // A file shorter than that has been cut by someone else meanwhile.
                    if (firstFile->ReadAt(0, region.Bytes().first(givenBack)) != givenBack) {
                        throw Platform::EndOfStreamFailure();
                    }
                    hashed.reset();
                }
                region.Drop(0, skipped);
                Platform::Encoding::Sha256 sha;
                PieceWriter writer(file, region);
                for (const auto& chunk : chunks) {
                    if (chunk.Content == ChunkRecord::State::NullData) throw Platform::ArgumentNullFailure("s");
                    if (chunk.Content == ChunkRecord::State::BadBase64) throw Platform::FormatFailure("Format_BadBase64Char");
                    const auto piece = bytes.subspan(chunk.Offset, chunk.Length);
                    if (!hashed) sha.Update(piece);
                    // In order, the file already holds the first bytes of the region.
                    const auto done = std::min(piece.size(), skipped - std::min(skipped, chunk.Offset));
                    writer.Add(piece.subspan(done));
                }
                writer.Finish();
                return hashed ? *hashed : sha.Finish();
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
