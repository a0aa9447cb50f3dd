#pragma once

#include "Daemon/MessageListeners/IMessageListener.hpp"
#include "Daemon/Models/FileMetadata.hpp"
#include "Platform/Process/ByteRegion.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace Quillmark::Daemon::MessageListeners {

// Uploads: a metadata step announces a file, chunk steps bring its Base64 pieces, and the
// chunk that completes the count assembles and checks the file in the temporary folder.
// Main loop only, one request at a time; the token is not observed.
class ReceiveFileListener final : public IMessageListener {
public:
    // An upload holds at most this much: its decoded chunk data and the charge for each chunk
    // it keeps, so that many small or empty chunks meet the bound as large ones do.
    static constexpr std::int64_t MaxUploadBytes = std::int64_t{1} << 30;

    ReceiveFileListener();
    // With a smaller bound, for tests.
    explicit ReceiveFileListener(std::int64_t maxUploadBytes);
    // Waits for a hash under way on a worker to stop.
    ~ReceiveFileListener() override;
    ReceiveFileListener(const ReceiveFileListener&) = delete;
    ReceiveFileListener& operator=(const ReceiveFileListener&) = delete;

    std::int32_t Action() const override;
    Platform::Task<Models::Message> ProcessAsync(Models::Message request, Platform::CancellationToken token) override;

private:
    // A received chunk: its decoded bytes are a slice of the region, in arrival order; a chunk
    // whose text cannot be decoded keeps only why, so that it fails at assembly as its text would.
    struct ChunkRecord {
        enum class State : std::uint8_t { Bytes, NullData, BadBase64 };
        std::int64_t ChunkIndex = 0;
        std::size_t Offset = 0;
        std::size_t Length = 0;
        State Content = State::Bytes;
    };

public:
    // What each kept chunk costs besides its bytes: its record twice over (a growing list keeps
    // as much spare room again).
    static constexpr std::int64_t ChunkOverheadBytes = 2 * sizeof(ChunkRecord);

private:
    class AheadWork;
    class WriteAhead;

    // A chunk request in its usual spelling, decoded onto the end of the region; nothing, with
    // the region as it was, for any other request, or where the document may read it otherwise.
    std::optional<ChunkRecord> DecodePlainChunk(const std::optional<std::string>& data);
    // A chunk request in its usual spelling whose reply does not depend on its decoding: kept
    // with room for its bytes, charged as if it decoded whole, and its text taken over, to be
    // decoded by RunDeferred. False, with nothing changed, for any other request.
    bool DeferPlainChunk(Models::Message& request);
    // Decodes the chunk put off, if any, and settles what its decoding decides: its length and
    // charge, and the work ahead. Runs before the next request changes anything.
    void RunDeferred() noexcept;
    // What a kept chunk changes beyond the list: the order, and the work for the chunks to come.
    // `countBefore` is the count of chunks before this one.
    void TrackKept(const ChunkRecord& stored, std::int64_t countBefore);
    // The upload's file, created to be written while its chunks come in; nothing when it
    // cannot be created now.
    std::unique_ptr<WriteAhead> BeginFile() const;
    // The first bytes of an upload in order that are both hashed and in its file, not given
    // back yet, which are now counted as given back: their memory goes back to the system for
    // the bytes still to come, since recycled memory costs far less than fresh. Should the
    // upload fall back to being written afresh, they are read back from that file.
    std::span<std::uint8_t> Settled();
    Platform::Task<Models::Message> MakeFileAsync();
    Platform::Task<Models::Message> WriteFileAsync();
    // Forgets the kept chunks, once no worker reads them any more.
    Platform::Task<void> DiscardChunksAsync();

    std::optional<Models::FileMetadata> metadata_;
    std::vector<ChunkRecord> chunks_;
    // The decoded bytes of the kept chunks, one after another.
    Platform::Process::ByteRegion bytes_{static_cast<std::size_t>(MaxUploadBytes)};
    // Backs memory for the chunks to come and, while they arrive in index order, hashes the
    // kept bytes, on a worker; an upload out of order is hashed at its assembly.
    std::unique_ptr<AheadWork> ahead_;
    bool inOrder_ = true;
    // The file of an upload in order, begun at its first chunk.
    std::unique_ptr<WriteAhead> writeAhead_;
    // How many of the region's first bytes are given back, their memory returned to the system.
    std::size_t givenBack_ = 0;
    // Chunks appended since the last metadata step, kept or not.
    std::int64_t chunkCount_ = 0;
    // What the chunks appended since the last metadata step cost against the bound.
    std::int64_t receivedBytes_ = 0;
    std::int64_t maxUploadBytes_ = MaxUploadBytes;
    // The chunk whose decoding is put off until its reply is on its way: its record, its text,
    // where the text stands in it, what it was charged, and the count before it.
    struct DeferredChunk {
        std::size_t chunk = 0;
        std::string data;
        std::size_t textAt = 0;
        std::size_t textLength = 0;
        std::int64_t charged = 0;
        std::int64_t countBefore = 0;
    };
    std::optional<DeferredChunk> deferred_;
    // What the loop's deferred decoding finds while the listener lives.
    std::shared_ptr<ReceiveFileListener*> alive_;
};

}  // namespace Quillmark::Daemon::MessageListeners
