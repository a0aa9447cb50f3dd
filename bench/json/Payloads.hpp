#pragma once
// The payloads of the upload and download hot paths: full 524,288-byte chunks.

#include <cstdint>
#include <random>
#include <vector>

namespace Quillmark::Bench {

inline constexpr std::size_t ChunkSize = 524'288;

inline std::vector<std::uint8_t> RandomBytes(std::size_t size) {
    std::mt19937_64 random(42);
    std::vector<std::uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    return bytes;
}

}  // namespace Quillmark::Bench
