#include "Platform/Encoding/Sha256.hpp"

#include "Platform/Encoding/Hex.hpp"

#include <gtest/gtest.h>

#include <random>

using Quillmark::Platform::Encoding::Hex;
using Quillmark::Platform::Encoding::Sha256;

namespace {
std::span<const std::uint8_t> Span(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
}  // namespace

TEST(Sha256, KnownAnswersInUpperCaseHex) {
    const struct {
        std::string input, digest;
    } cases[] = {
        {"", "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855"},
        {"abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
        {std::string(1000000, 'a'), "CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0"},
    };
    for (const auto& c : cases) EXPECT_EQ(Hex::ToUpper(Sha256::Hash(Span(c.input))), c.digest);
}

TEST(Sha256, PiecesGiveTheDigestOfTheWholeAndFinishStartsAfresh) {
    std::mt19937 random(11);
    std::string data(100000, '\0');
    for (char& c : data) c = static_cast<char>(random());
    Sha256 hash;
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t piece = std::min<std::size_t>(random() % 5000, data.size() - at);
        hash.Update(Span(std::string_view(data).substr(at, piece)));
        at += piece;
    }
    EXPECT_EQ(hash.Finish(), Sha256::Hash(Span(data)));
    hash.Update(Span("abc"));
    EXPECT_EQ(hash.Finish(), Sha256::Hash(Span("abc")));
}

TEST(Hex, TwoUpperCaseDigitsPerByte) {
    const std::uint8_t bytes[] = {0x00, 0x0F, 0xA5, 0xFF};
    EXPECT_EQ(Hex::ToUpper(bytes), "000FA5FF");
    EXPECT_EQ(Hex::ToUpper({}), "");
}
