#pragma once
// Hexadecimal text of bytes. Stateless; any thread.

#include <cstdint>
#include <span>
#include <string>

namespace Quillmark::Platform::Encoding {

class Hex {
public:
    // Two upper-case digits per byte, no separators.
    static std::string ToUpper(std::span<const std::uint8_t> bytes);
};

}  // namespace Quillmark::Platform::Encoding
