#pragma once

#include "Daemon/MessageListeners/IMessageListener.hpp"
#include "Platform/File/File.hpp"
#include "Platform/Process/ByteRegion.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace Quillmark::Daemon::MessageListeners {

// Downloads: a prepare step reads a file of the temporary folder into chunks, and chunk steps
// hand them out by index, Base64-encoded when asked for. Main loop only, one request at a time.
class SendFileListener final : public IMessageListener {
public:
    // The most file bytes in one chunk.
    static constexpr std::int64_t ChunkSize = 524288;
    // The largest file a prepare step accepts.
    static constexpr std::int64_t MaxFileBytes = std::int64_t{1} << 30;

    SendFileListener();
    // With a smaller bound, for tests.
    explicit SendFileListener(std::int64_t maxFileBytes);
    // Waits for a reply under way on a worker.
    ~SendFileListener() override;
    SendFileListener(const SendFileListener&) = delete;
    SendFileListener& operator=(const SendFileListener&) = delete;

    std::int32_t Action() const override;
    Platform::Task<Models::Message> ProcessAsync(Models::Message request, Platform::CancellationToken token) override;

private:
    class NextReply;
    // How many chunks after the one served have their replies made ahead.
    static constexpr std::size_t AheadReplies = 3;

    Platform::Task<void> MakeChunksAsync(const std::string& name, Platform::CancellationToken token);
    std::span<const std::uint8_t> Chunk(std::size_t index) const;
    // Starts workers on the replies to the chunks after the one served that are not made or
    // under way, as far as there are workers free.
    void StartNextReplies(std::int32_t served);

    // The file bytes of the chunks cut so far, one after another, each but the last ChunkSize
    // long; encoded only when a chunk step asks for one.
    Platform::Process::ByteRegion bytes_{static_cast<std::size_t>(MaxFileBytes)};
    std::size_t chunkCount_ = 0;
    // Open only while a prepare step cuts it, or after a cut that failed.
    std::optional<Platform::File> fileStream_;
    std::int64_t maxFileBytes_ = MaxFileBytes;
    std::string base64Scratch_;
    // The replies to the chunks after the last one served, made on workers while that one goes
    // out: clients mostly fetch the chunks in order, and a reply takes longer to make than to send.
    std::array<std::unique_ptr<NextReply>, AheadReplies> nextReplies_;
};

}  // namespace Quillmark::Daemon::MessageListeners
