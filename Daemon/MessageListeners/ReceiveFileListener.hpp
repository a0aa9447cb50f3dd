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
    ReceiveFileListener() = default;

    std::int32_t Action() const override;
    Platform::Task<Models::Message> ProcessAsync(Models::Message request, Platform::CancellationToken token) override;

    // An upload holds at most this much decoded chunk data.
    static constexpr std::int64_t MaxUploadBytes = std::int64_t{1} << 30;

private:
    // A received chunk, held decoded; a chunk whose text cannot be decoded keeps only why, so
    // that it fails at assembly as its text would.
    struct StoredChunk {
        enum class State : std::uint8_t { Bytes, NullData, BadBase64 };
        std::int64_t ChunkIndex = 0;
        State Content = State::Bytes;
        std::vector<std::uint8_t> Bytes;
    };

    Platform::Task<Models::Message> MakeFileAsync();
    void ReleaseChunks();

    std::optional<Models::FileMetadata> metadata_;
    std::vector<StoredChunk> chunks_;
    // Chunks appended since the last metadata step, kept or not.
    std::int64_t chunkCount_ = 0;
    std::int64_t heldBytes_ = 0;
};

}  // namespace Quillmark::Daemon::MessageListeners
