#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Quillmark::Daemon::Models {

// One piece of a transferred file.
struct FileChunk {
    std::int64_t ChunkIndex = 0;                           // "chunkIndex"
    std::optional<std::string> ChunkData = std::string();  // "chunkData": Base64; written as null when null

    bool operator==(const FileChunk&) const = default;
};

}  // namespace Quillmark::Daemon::Models
