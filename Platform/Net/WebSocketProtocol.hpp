#pragma once
// The framing rules of RFC 6455 on the server side, free of any I/O so they can be checked
// byte by byte.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::Platform::Net::WebSocketProtocol {

enum class Opcode : std::uint8_t {
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xA,
};

struct FrameHeader {
    bool Fin = true;
    Opcode Code = Opcode::Text;
    std::uint64_t PayloadLength = 0;
    bool Masked = false;
    std::array<std::uint8_t, 4> Mask{};
    std::size_t HeaderLength = 0;  // bytes the header took on the wire
};

// The most a header can take: 2 bytes, 8 of extended length, 4 of mask.
inline constexpr std::size_t MaxHeaderLength = 14;
inline constexpr std::size_t MaxControlPayload = 125;

// The value of "Sec-WebSocket-Accept" for a client's key.
std::string ComputeAcceptKey(std::string_view clientKey);
// True when the key is Base64 of exactly 16 bytes.
bool IsValidClientKey(std::string_view clientKey);

// A client frame's header as far as the bytes go.
struct HeaderParse {
    std::optional<FrameHeader> Header;  // set once the header is complete and keeps the rules
    std::string_view Violation;         // the rule it breaks, when it breaks one
};
// Reads a client frame's header from the start of bytes. Neither member is set while more bytes
// are needed. Rules: masked, no reserved bits, a known opcode, control frames unfragmented and
// at most 125 bytes, a length without its top bit.
HeaderParse ParseClientHeader(std::span<const std::uint8_t> bytes);

// A server frame's header (never masked) for a payload of the given length.
std::size_t WriteServerHeader(Opcode code, bool fin, std::uint64_t payloadLength,
                              std::array<std::uint8_t, MaxHeaderLength>& out);

// XORs the payload with the mask, the first byte taking mask[offset % 4].
void Unmask(std::span<std::uint8_t> payload, const std::array<std::uint8_t, 4>& mask,
            std::size_t offset);

// A close code a peer may send (RFC 6455 section 7.4).
bool IsValidCloseCode(std::uint16_t code);

struct ClosePayload {
    std::optional<std::uint16_t> Status;
    std::string Description;
    std::string Violation;  // why the payload is malformed, when it is
};
// Reads a received close frame's payload.
ClosePayload ParseClosePayload(std::span<const std::uint8_t> payload);
// A close frame's payload: the status in network order, then the description (cut to fit).
std::vector<std::uint8_t> MakeClosePayload(std::uint16_t status, std::string_view description);

}  // namespace Quillmark::Platform::Net::WebSocketProtocol
