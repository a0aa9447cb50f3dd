#include "Platform/Net/WebSocketProtocol.hpp"

#include "Platform/Text/Utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Quillmark::Platform::Net::WebSocketProtocol;

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

TEST(WebSocketProtocol, AcceptKeyOfTheRfcExample) {
    EXPECT_EQ(ComputeAcceptKey("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketProtocol, ClientKeyMustBeBase64OfSixteenBytes) {
    EXPECT_TRUE(IsValidClientKey("dGhlIHNhbXBsZSBub25jZQ=="));
    for (const char* key : {"", "abc", "dGhlIHNhbXBsZSBub25jZQ", "dGhlIHNhbXBsZSBub25jZSE=", "dGhlIHNhbXBsZSBub25j!Q=="})
        EXPECT_FALSE(IsValidClientKey(key)) << key;
}

TEST(WebSocketProtocol, ParsesMaskedHeadersOfEveryLengthForm) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        bool fin;
        Opcode code;
        std::uint64_t length;
        std::size_t headerLength;
    };
    const std::vector<Case> cases{
        {Bytes({0x81, 0x85, 1, 2, 3, 4}), true, Opcode::Text, 5, 6},
        {Bytes({0x02, 0xFE, 0x01, 0x00, 1, 2, 3, 4}), false, Opcode::Binary, 256, 8},
        {Bytes({0x80, 0xFF, 0, 0, 0, 1, 0, 0, 0, 0, 1, 2, 3, 4}), true, Opcode::Continuation, 1ull << 32, 14},
        {Bytes({0x89, 0xFD, 1, 2, 3, 4}), true, Opcode::Ping, 125, 6},
        {Bytes({0x88, 0x80, 1, 2, 3, 4}), true, Opcode::Close, 0, 6},
    };
    for (const auto& c : cases) {
        const auto parse = ParseClientHeader(c.bytes);
        ASSERT_TRUE(parse.Header);
        EXPECT_TRUE(parse.Violation.empty());
        const auto& header = parse.Header;
        EXPECT_EQ(header->Fin, c.fin);
        EXPECT_EQ(header->Code, c.code);
        EXPECT_EQ(header->PayloadLength, c.length);
        EXPECT_EQ(header->HeaderLength, c.headerLength);
        EXPECT_EQ(header->Mask, (std::array<std::uint8_t, 4>{1, 2, 3, 4}));
        // Any shorter prefix is incomplete, never wrong.
        for (std::size_t n = 0; n < c.bytes.size(); ++n) {
            const auto prefix = ParseClientHeader(std::span(c.bytes).first(n));
            EXPECT_FALSE(prefix.Header) << n;
            EXPECT_TRUE(prefix.Violation.empty()) << n;
        }
    }
}

TEST(WebSocketProtocol, RefusesFramesThatBreakTheRules) {
    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> cases{
        {"unmasked", Bytes({0x81, 0x05})},
        {"reserved bit 1", Bytes({0xC1, 0x80, 1, 2, 3, 4})},
        {"reserved bit 3", Bytes({0x91, 0x80, 1, 2, 3, 4})},
        {"opcode 3", Bytes({0x83, 0x80, 1, 2, 3, 4})},
        {"opcode 11", Bytes({0x8B, 0x80, 1, 2, 3, 4})},
        {"fragmented ping", Bytes({0x09, 0x80, 1, 2, 3, 4})},
        {"ping of 126 bytes", Bytes({0x89, 0xFE, 0x00, 0x7E, 1, 2, 3, 4})},
        {"top length bit", Bytes({0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4})},
    };
    for (const auto& [name, bytes] : cases) {
        const auto parse = ParseClientHeader(bytes);
        EXPECT_FALSE(parse.Header) << name;
        EXPECT_FALSE(parse.Violation.empty()) << name;
    }
}

TEST(WebSocketProtocol, ServerHeadersUseTheShortestLengthForm) {
    std::array<std::uint8_t, MaxHeaderLength> out{};
    EXPECT_EQ(WriteServerHeader(Opcode::Text, true, 125, out), 2u);
    EXPECT_EQ(out[0], 0x81);
    EXPECT_EQ(out[1], 125);
    EXPECT_EQ(WriteServerHeader(Opcode::Text, false, 126, out), 4u);
    EXPECT_EQ(out[0], 0x01);
    EXPECT_EQ(out[1], 126);
    EXPECT_EQ(out[3], 126);
    EXPECT_EQ(WriteServerHeader(Opcode::Binary, true, 65536, out), 10u);
    EXPECT_EQ(out[1], 127);
    EXPECT_EQ(out[7], 1);
    EXPECT_EQ(out[8], 0);
}

TEST(WebSocketProtocol, UnmaskContinuesTheMaskAcrossPieces) {
    const std::array<std::uint8_t, 4> mask{0xA1, 0xB2, 0xC3, 0xD4};
    std::vector<std::uint8_t> plain(37);
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 7);
    auto masked = plain;
    for (std::size_t i = 0; i < masked.size(); ++i) masked[i] ^= mask[i % 4];
    // Unmasked in three uneven pieces, as reads deliver them.
    Unmask(std::span(masked).subspan(0, 3), mask, 0);
    Unmask(std::span(masked).subspan(3, 21), mask, 3);
    Unmask(std::span(masked).subspan(24), mask, 24);
    EXPECT_EQ(masked, plain);
}

TEST(WebSocketProtocol, ClosePayloads) {
    EXPECT_FALSE(ParseClosePayload({}).Status);
    EXPECT_TRUE(ParseClosePayload({}).Violation.empty());
    const auto normal = Bytes({0x03, 0xE8, 'b', 'y', 'e'});
    EXPECT_EQ(ParseClosePayload(normal).Status, 1000);
    EXPECT_EQ(ParseClosePayload(normal).Description, "bye");
    EXPECT_TRUE(ParseClosePayload(normal).Violation.empty());
    EXPECT_EQ(ParseClosePayload(Bytes({0x0F, 0xA0})).Status, 4000);

    const std::vector<std::pair<const char*, std::vector<std::uint8_t>>> bad{
        {"one byte", Bytes({0x03})},
        {"1005 is never sent", Bytes({0x03, 0xED})},
        {"1006 is never sent", Bytes({0x03, 0xEE})},
        {"999", Bytes({0x03, 0xE7})},
        {"5000", Bytes({0x13, 0x88})},
        {"description not UTF-8", Bytes({0x03, 0xE8, 0xC3, 0x28})},
    };
    for (const auto& [name, payload] : bad) {
        const auto parsed = ParseClosePayload(payload);
        EXPECT_FALSE(parsed.Violation.empty()) << name;
        EXPECT_FALSE(parsed.Status) << name;
    }

    const auto made = MakeClosePayload(1000, "Client closed connection");
    EXPECT_EQ(std::string(made.begin() + 2, made.end()), "Client closed connection");
    EXPECT_EQ(made[0], 0x03);
    EXPECT_EQ(made[1], 0xE8);
    // A long description is cut to fit a control frame, never inside a character.
    std::string accents;
    for (int i = 0; i < 100; ++i) accents += "\xC3\xA9";
    const auto cutAccents = MakeClosePayload(1000, accents);
    EXPECT_LE(cutAccents.size(), MaxControlPayload);
    EXPECT_TRUE(Quillmark::Platform::Text::Utf8::IsValid(std::span(cutAccents).subspan(2)));
}

}  // namespace
