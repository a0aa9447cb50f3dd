#include "Platform/Text/Utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace Utf8 = Quillmark::Platform::Text::Utf8;

constexpr std::size_t None = std::string::npos;

struct Case {
    const char* name;
    std::string text;
    std::size_t invalidAt;  // what FindInvalid answers (the length when well-formed)
    std::size_t refusedAt;  // the byte that no continuation can save, or None
};

std::string Vietnamese() {
    std::string text;
    for (int i = 0; i < 10; ++i) text += "Ti\xE1\xBA\xBFng Vi\xE1\xBB\x87t \xF0\x9F\x98\x80 ";
    return text;
}

const std::vector<Case>& Cases() {
    static const std::vector<Case> cases{
        {"ascii", "plain", 5, None},
        {"two bytes", "\xC3\xA9", 2, None},
        {"three bytes", "\xE2\x82\xAC", 3, None},
        {"four bytes", "\xF0\x9F\x98\x80", 4, None},
        {"long mixed", Vietnamese(), Vietnamese().size(), None},
        {"cut two", "a\xC3", 1, None},
        {"cut four", "\xF0\x9F\x98", 0, None},
        {"continuation first", "\x80", 0, 0},
        {"overlong two", "\xC0\xAF", 0, 0},
        {"overlong three", "\xE0\x80\x80", 0, 1},
        {"surrogate", "\xED\xA0\x80", 0, 1},
        {"above U+10FFFF", "\xF4\x90\x80\x80", 0, 1},
        {"lead F5", "\xF5\x80\x80\x80", 0, 0},
        {"third byte wrong", "ab\xE2\x82(", 2, 4},
        {"bad byte after a block", std::string(40, 'a') + "\xFF" + std::string(40, 'b'), 40, 40},
        {"bad byte late in a block", std::string(31, 'a') + "\xC3" + std::string(40, 'b'), 31, 32},
    };
    return cases;
}

TEST(Utf8, FindInvalidNamesTheFirstBadSequence) {
    for (const auto& c : Cases()) {
        EXPECT_EQ(Utf8::FindInvalid(c.text), c.invalidAt) << c.name;
        EXPECT_EQ(Utf8::IsValid(c.text), c.invalidAt == c.text.size()) << c.name;
    }
}

TEST(Utf8, DecodeSequenceAnswersCodePointsAndMaximalIllFormedParts) {
    struct Decoded {
        std::string bytes;
        std::uint32_t code;
        std::size_t length;
    };
    const std::vector<Decoded> cases{
        {"\xC3\xA9", 0xE9, 2},
        {"\xE2\x82\xAC", 0x20AC, 3},
        {"\xF0\x9F\x98\x80", 0x1F600, 4},
        {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
        {"\xE2\x82(", Utf8::Malformed, 2},
        {"\xED\xA0\x80", Utf8::Malformed, 1},
        {"\xF0\x9F\x98", Utf8::Malformed, 3},
        {"\xC3", Utf8::Malformed, 1},
        {"\xFF", Utf8::Malformed, 1},
    };
    for (const auto& c : cases) {
        std::size_t length = 0;
        const auto code = Utf8::DecodeSequence(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), length);
        EXPECT_EQ(code, c.code) << c.bytes;
        EXPECT_EQ(length, c.length) << c.bytes;
    }
}

std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Utf8, ValidatorAgreesWithTheWholeTextWhereverItIsSplit) {
    for (const auto& c : Cases()) {
        const bool whole = c.invalidAt == c.text.size();
        for (std::size_t split = 0; split <= c.text.size(); ++split) {
            Utf8::Validator validator;
            const bool first = validator.Feed(Bytes(c.text).first(split));
            const bool second = validator.Feed(Bytes(c.text).subspan(split));
            EXPECT_EQ(first && second, c.refusedAt == None) << c.name << " split at " << split;
            EXPECT_EQ(validator.Complete(), whole) << c.name << " split at " << split;
        }
    }
}

TEST(Utf8, ValidatorRefusesAtTheFirstByteThatCannotContinue) {
    for (const auto& c : Cases()) {
        Utf8::Validator validator;
        std::size_t refused = None;
        for (std::size_t i = 0; i < c.text.size(); ++i) {
            if (!validator.Feed(Bytes(c.text).subspan(i, 1))) {
                refused = i;
                break;
            }
        }
        EXPECT_EQ(refused, c.refusedAt) << c.name;
        // Once refused, nothing makes it well-formed again.
        if (refused != None) {
            EXPECT_FALSE(validator.Feed(Bytes("a")));
            EXPECT_FALSE(validator.Complete());
        }
    }
}

}  // namespace
