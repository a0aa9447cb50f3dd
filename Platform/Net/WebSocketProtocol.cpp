#include "Platform/Net/WebSocketProtocol.hpp"

#include "Platform/Encoding/Base64.hpp"
#include "Platform/Failure.hpp"
#include "Platform/Text/Utf8.hpp"

#include <boost/beast/core/detail/sha1.hpp>

#include <algorithm>
#include <cstring>

namespace Quillmark::Platform::Net::WebSocketProtocol {

namespace {
constexpr std::string_view AcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

bool IsKnownOpcode(std::uint8_t code) {
    switch (code) {
        case 0x0: case 0x1: case 0x2: case 0x8: case 0x9: case 0xA: return true;
        default: return false;
    }
}
}  // namespace

std::string ComputeAcceptKey(std::string_view clientKey) {
    std::string input(clientKey);
    input += AcceptGuid;
    // Beast's own SHA-1: the handshake needs no cryptographic library on any system.
    using boost::beast::detail::sha1_context;
    sha1_context context;
    boost::beast::detail::init(context);
    boost::beast::detail::update(context, input.data(), input.size());
    std::uint8_t digest[sha1_context::digest_size];
    boost::beast::detail::finish(context, digest);
    return Encoding::Base64::Encode(std::span<const std::uint8_t>(digest, sizeof digest));
}

bool IsValidClientKey(std::string_view clientKey) {
    if (clientKey.size() != 24) return false;
    try {
        return Encoding::Base64::Decode(clientKey).size() == 16;
    } catch (const FormatFailure&) {
        return false;
    }
}

HeaderParse ParseClientHeader(std::span<const std::uint8_t> bytes) {
    HeaderParse result;
    if (bytes.size() < 2) return result;
    const auto broken = [&result](std::string_view rule) {
        result.Violation = rule;
        return result;
    };
    FrameHeader header;
    const std::uint8_t first = bytes[0];
    const std::uint8_t second = bytes[1];
    if (first & 0x70) return broken("The client set reserved bits of a frame, but no extension was agreed.");
    if (!IsKnownOpcode(first & 0x0F)) return broken("The client sent a frame with an unknown opcode.");
    header.Fin = (first & 0x80) != 0;
    header.Code = static_cast<Opcode>(first & 0x0F);
    header.Masked = (second & 0x80) != 0;
    if (!header.Masked) return broken("The client sent an unmasked frame.");

    std::size_t offset = 2;
    std::uint64_t length = second & 0x7F;
    if (length == 126) {
        if (bytes.size() < offset + 2) return result;
        length = (std::uint64_t{bytes[2]} << 8) | bytes[3];
        offset += 2;
    } else if (length == 127) {
        if (bytes.size() < offset + 8) return result;
        length = 0;
        for (std::size_t i = 0; i < 8; ++i) length = (length << 8) | bytes[offset + i];
        if (length >> 63) return broken("The client sent a frame length with its most significant bit set.");
        offset += 8;
    }
    const bool control = (first & 0x08) != 0;
    if (control && !header.Fin) return broken("The client sent a fragmented control frame.");
    if (control && length > MaxControlPayload) return broken("The client sent a control frame longer than 125 bytes.");

    if (bytes.size() < offset + 4) return result;
    for (std::size_t i = 0; i < 4; ++i) header.Mask[i] = bytes[offset + i];
    offset += 4;
    header.PayloadLength = length;
    header.HeaderLength = offset;
    result.Header = header;
    return result;
}

std::size_t WriteServerHeader(Opcode code, bool fin, std::uint64_t payloadLength,
                              std::array<std::uint8_t, MaxHeaderLength>& out) {
    out[0] = static_cast<std::uint8_t>((fin ? 0x80 : 0x00) | static_cast<std::uint8_t>(code));
    if (payloadLength < 126) {
        out[1] = static_cast<std::uint8_t>(payloadLength);
        return 2;
    }
    if (payloadLength <= 0xFFFF) {
        out[1] = 126;
        out[2] = static_cast<std::uint8_t>(payloadLength >> 8);
        out[3] = static_cast<std::uint8_t>(payloadLength);
        return 4;
    }
    out[1] = 127;
    for (std::size_t i = 0; i < 8; ++i) out[2 + i] = static_cast<std::uint8_t>(payloadLength >> (56 - 8 * i));
    return 10;
}

void Unmask(std::span<std::uint8_t> payload, const std::array<std::uint8_t, 4>& mask, std::size_t offset) {
    std::size_t i = 0;
    // Byte-wise until aligned with the mask, then eight bytes at a time.
    for (; i < payload.size() && (offset + i) % 4 != 0; ++i) payload[i] ^= mask[(offset + i) % 4];
    std::uint64_t wide = 0;
    for (std::size_t k = 0; k < 8; ++k) wide |= std::uint64_t{mask[k % 4]} << (8 * k);
    for (; i + 8 <= payload.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, payload.data() + i, 8);
        word ^= wide;
        std::memcpy(payload.data() + i, &word, 8);
    }
    for (; i < payload.size(); ++i) payload[i] ^= mask[(offset + i) % 4];
}

bool IsValidCloseCode(std::uint16_t code) {
    if (code >= 3000 && code <= 4999) return true;
    switch (code) {
        case 1000: case 1001: case 1002: case 1003: case 1007: case 1008: case 1009:
        case 1010: case 1011: case 1012: case 1013: case 1014:
            return true;
        default:
            return false;
    }
}

ClosePayload ParseClosePayload(std::span<const std::uint8_t> payload) {
    ClosePayload result;
    if (payload.empty()) return result;
    if (payload.size() == 1) {
        result.Violation = "The client sent a close frame with a one-byte payload.";
        return result;
    }
    const auto status = static_cast<std::uint16_t>((payload[0] << 8) | payload[1]);
    if (!IsValidCloseCode(status)) {
        result.Violation = "The client sent an invalid close status " + std::to_string(status) + ".";
        return result;
    }
    const auto text = payload.subspan(2);
    if (!Text::Utf8::IsValid(text)) {
        result.Violation = "The client sent a close description that is not UTF-8.";
        return result;
    }
    result.Status = status;
    result.Description.assign(text.begin(), text.end());
    return result;
}

std::vector<std::uint8_t> MakeClosePayload(std::uint16_t status, std::string_view description) {
    std::size_t length = std::min(description.size(), MaxControlPayload - 2);
    // Never cut a UTF-8 sequence in half.
    while (length > 0 && length < description.size() &&
           (static_cast<std::uint8_t>(description[length]) & 0xC0) == 0x80)
        --length;
    std::vector<std::uint8_t> payload(2 + length);
    payload[0] = static_cast<std::uint8_t>(status >> 8);
    payload[1] = static_cast<std::uint8_t>(status);
    if (length > 0) std::memcpy(payload.data() + 2, description.data(), length);
    return payload;
}

}  // namespace Quillmark::Platform::Net::WebSocketProtocol
