#pragma once
// Native-messaging framing as a test writes it: header-only, for in-process tests on both systems.

#include <cstdint>
#include <string>
#include <string_view>

namespace Quillmark::TestSupport {

// A length prefix alone, e.g. LengthPrefix(-1) for "FF FF FF FF".
inline std::string LengthPrefix(std::int32_t length) {
    const auto value = static_cast<std::uint32_t>(length);
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}

// The 4-byte little-endian length followed by the payload.
inline std::string Frame(std::string_view payload) {
    return LengthPrefix(static_cast<std::int32_t>(payload.size())) + std::string(payload);
}

}  // namespace Quillmark::TestSupport
