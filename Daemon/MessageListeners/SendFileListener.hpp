#pragma once

#include "Daemon/MessageListeners/IMessageListener.hpp"

#include <cstdint>
#include <fstream>
#include <memory>
#include <vector>

namespace Quillmark::Daemon::MessageListeners {

// Downloads: a prepare step reads a file of the temporary folder into chunks, and chunk steps
// hand them out by index, Base64-encoded when asked for. Main loop only, one request at a time.
class SendFileListener final : public IMessageListener {
public:
    SendFileListener();
    ~SendFileListener() override;

    std::int32_t Action() const override;
    Platform::Task<Models::Message> ProcessAsync(Models::Message request, Platform::CancellationToken token) override;

    // The most file bytes in one chunk.
    static constexpr std::int64_t ChunkSize = 524288;
    // The largest file a prepare step accepts.
    static constexpr std::int64_t MaxFileBytes = std::int64_t{1} << 30;

private:
    Platform::Task<void> MakeChunksAsync(Platform::CancellationToken token);

    std::vector<std::vector<std::uint8_t>> chunks_;
    // Open only while a prepare step cuts it, or after a cut that failed.
    std::unique_ptr<std::ifstream> fileStream_;
};

}  // namespace Quillmark::Daemon::MessageListeners
