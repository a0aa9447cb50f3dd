#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace Quillmark::Daemon::Models {

// The description of an upload, read from its metadata step.
struct FileMetadata {
    std::optional<std::string> FileName;          // "fileName"; left out when null
    std::optional<std::string> OriginalFileName;  // "originalFileName"; left out when null
    std::int64_t FileSize = 0;                    // "fileSize"
    std::int64_t TotalChunks = 0;                 // "totalChunks"
    std::optional<std::string> FileHash = std::string();  // "fileHash"; written as null when null

    bool operator==(const FileMetadata&) const = default;
};

}  // namespace Quillmark::Daemon::Models
