#pragma once

#include "Daemon/MessageListeners/IMessageListener.hpp"
#include "Daemon/Models/FileMetadata.hpp"

#include <cstdint>
#include <optional>
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

    ReceiveFileListener() = default;
    // With a smaller bound, for tests.
    explicit ReceiveFileListener(std::int64_t maxUploadBytes) : maxUploadBytes_(maxUploadBytes) {}

    std::int32_t Action() const override;
    Platform::Task<Models::Message> ProcessAsync(Models::Message request, Platform::CancellationToken token) override;

private:
    // A received chunk, held decoded; a chunk whose text cannot be decoded keeps only why, so
    // that it fails at assembly as its text would.
    struct StoredChunk {
        enum class State : std::uint8_t { Bytes, NullData, BadBase64 };
        std::int64_t ChunkIndex = 0;
        State Content = State::Bytes;
        std::vector<std::uint8_t> Bytes;
    };

public:
    // What each kept chunk costs besides its bytes: its entry twice over (a growing list keeps
    // as much spare room again), its heap block and a little slack in the block.
    static constexpr std::int64_t ChunkOverheadBytes = 2 * sizeof(StoredChunk) + 48;

private:

    Platform::Task<Models::Message> MakeFileAsync();

    std::optional<Models::FileMetadata> metadata_;
    std::vector<StoredChunk> chunks_;
    // Chunks appended since the last metadata step, kept or not.
    std::int64_t chunkCount_ = 0;
    // What the chunks appended since the last metadata step cost against the bound.
    std::int64_t receivedBytes_ = 0;
    std::int64_t maxUploadBytes_ = MaxUploadBytes;
};

}  // namespace Quillmark::Daemon::MessageListeners
