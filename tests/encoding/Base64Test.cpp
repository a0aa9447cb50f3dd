#include "Platform/Encoding/Base64.hpp"

#include "Platform/Failure.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <random>

using Quillmark::Platform::Encoding::Base64;

namespace {
std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }
}  // namespace

TEST(Base64, KnownAnswers) {
    const struct {
        std::string plain, encoded;
    } cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xFB\xFF\xBE", "+/++"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Base64::Encode(Bytes(c.plain)), c.encoded);
        EXPECT_EQ(Base64::Decode(c.encoded), Bytes(c.plain)) << c.encoded;
    }
}

TEST(Base64, SkipsBlanksTabsAndLineBreaksAnywhere) {
    const struct {
        std::string text, plain;
    } cases[] = {
        {"Zm9v\r\nYmFy", "foobar"}, {" Z m 9 v ", "foo"}, {"Zg= =", "f"}, {"\tZm8=\n", "fo"}, {" \r\n\t", ""},
        {"Zm9vYmFyZm9vYmFy Zm9v", "foobarfoobarfoo"},
    };
    for (const auto& c : cases) EXPECT_EQ(Base64::Decode(c.text), Bytes(c.plain)) << c.text;
}

TEST(Base64, RefusesTextThatIsNotBase64AndAppendsNothing) {
    const std::string cases[] = {
        "Zm9", "Zm9v*", "Zm9vYmFy*AAA", "Z===", "Zg=a", "=Zg=", "Zm9v=", "Zm==9v", "Zg==Zg==", "====",
        "Zm9v\vYmFy", "Zm9-", "Zm9_", std::string("Zm9\0", 4), "\xC3\xA9Zm9",
    };
    for (const std::string& text : cases) {
        std::vector<std::uint8_t> out = {1, 2, 3};
        try {
            Base64::AppendDecoded(text, out);
            ADD_FAILURE() << "decoded: " << text;
        } catch (const Quillmark::Platform::FormatFailure& failure) {
            EXPECT_EQ(failure.Message(), "Format_BadBase64Char");
        }
        EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2, 3})) << text;
    }
}

TEST(Base64, RandomBytesSurviveEncodeAndDecode) {
    std::mt19937 random(7);
    for (std::size_t length = 0; length < 300; ++length) {
        std::vector<std::uint8_t> bytes(length);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        std::string text = "prefix:";
        Base64::AppendEncoded(bytes, text);
        ASSERT_EQ(text.size(), 7 + Base64::EncodedLength(length));
        std::vector<std::uint8_t> decoded = {9};
        Base64::AppendDecoded(std::string_view(text).substr(7), decoded);
        decoded.erase(decoded.begin());
        EXPECT_EQ(decoded, bytes) << length;
    }
}

TEST(Base64, LongInputsEncodeAsTheirTriplesDo) {
    // Long inputs are encoded in blocks; a triple alone is too short for that.
    std::mt19937 random(5);
    for (const std::size_t length : {27u, 28u, 29u, 51u, 52u, 53u, 100u, 1000u, 4099u}) {
        std::vector<std::uint8_t> bytes(length);
        for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
        // Every value in every position of a block.
        for (std::size_t i = 0; i < std::min<std::size_t>(length, 256); ++i) bytes[i] = static_cast<std::uint8_t>(i * 3 + i / 85);
        std::string triples;
        for (std::size_t i = 0; i < length; i += 3)
            Base64::AppendEncoded(std::span(bytes).subspan(i, std::min<std::size_t>(3, length - i)), triples);
        EXPECT_EQ(Base64::Encode(bytes), triples) << length;
    }
}

TEST(Base64, LongTextsJudgeEverySymbolAsShortOnesDo) {
    // Long texts are decoded in blocks; each quartet alone is too short for that, so decoding
    // quartet by quartet is the reading the blocks must agree with, symbol value by value.
    std::mt19937 random(11);
    std::vector<std::uint8_t> bytes(600);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
    const std::string text = Base64::Encode(bytes);
    for (int value = 0; value < 256; ++value) {
        for (const std::size_t at : {0u, 5u, 31u, 32u, 63u, 100u, 413u, 700u}) {
            std::string changed = text;
            changed[at] = static_cast<char>(value);
            std::optional<std::vector<std::uint8_t>> quartets(std::in_place);
            try {
                for (std::size_t i = 0; i < changed.size(); i += 4) Base64::AppendDecoded(changed.substr(i, 4), *quartets);
            } catch (const Quillmark::Platform::FormatFailure&) {
                quartets.reset();
            }
            // A blank in place of a symbol leaves a length that is no multiple of 4, and padding
            // ends the text, which goes on here.
            if (value == ' ' || value == '\t' || value == '\r' || value == '\n' || value == '=') quartets.reset();
            try {
                EXPECT_EQ(Base64::Decode(changed), quartets) << value << " at " << at;
            } catch (const Quillmark::Platform::FormatFailure&) {
                EXPECT_FALSE(quartets) << value << " at " << at;
            }
        }
    }
}
