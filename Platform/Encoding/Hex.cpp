#include "Platform/Encoding/Hex.hpp"

namespace Quillmark::Platform::Encoding {

std::string Hex::ToUpper(std::span<const std::uint8_t> bytes) {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string out(bytes.size() * 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = Digits[bytes[i] >> 4];
        out[2 * i + 1] = Digits[bytes[i] & 0xF];
    }
    return out;
}

}  // namespace Quillmark::Platform::Encoding
