#include "Platform/Text/Integer.hpp"

#include <gtest/gtest.h>

using namespace Quillmark::Platform::Text;

namespace {

using std::nullopt;

struct Case {
    std::string_view text;
    std::optional<std::int32_t> asInt32;
    std::optional<std::uint16_t> asUInt16;
};

std::string Shown(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F) {
            out += c;
        } else {
            constexpr char Hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += Hex[byte >> 4];
            out += Hex[byte & 15];
        }
    }
    return out + "\"";
}

}  // namespace

TEST(Integer, StandardFormWithinTheTargetRange) {
    const Case cases[] = {
        {"0", 0, 0},
        {"-0", 0, 0},
        {"+0", 0, 0},
        {"8080", 8080, 8080},
        {"+8080", 8080, 8080},
        {"007", 7, 7},
        {"00000000000000000000000000000065535", 65535, 65535},
        {" \t\n\v\f\r42 \t\n\v\f\r", 42, 42},
        {"65536", 65536, nullopt},
        {"-1", -1, nullopt},
        {"-65535", -65535, nullopt},
        {"2147483647", 2147483647, nullopt},
        {"-2147483648", INT32_MIN, nullopt},
        {"2147483648", nullopt, nullopt},
        {"-2147483649", nullopt, nullopt},
        {"4294967296", nullopt, nullopt},
        {"99999999999999999999999999", nullopt, nullopt},
        {"-99999999999999999999999999", nullopt, nullopt},
        // Not the form.
        {"", nullopt, nullopt},
        {" \t ", nullopt, nullopt},
        {"+", nullopt, nullopt},
        {"-", nullopt, nullopt},
        {"+-1", nullopt, nullopt},
        {"--1", nullopt, nullopt},
        {"+ 1", nullopt, nullopt},
        {"1 2", nullopt, nullopt},
        {"1+", nullopt, nullopt},
        {"0x10", nullopt, nullopt},
        {"1.0", nullopt, nullopt},
        {"1e3", nullopt, nullopt},
        {"1_000", nullopt, nullopt},
        {"1,000", nullopt, nullopt},
        {"\xEF\xBC\x91", nullopt, nullopt},        // a full-width digit one
        {"\xC2\xA0" "1", nullopt, nullopt},        // a no-break space
        {std::string_view("1\0", 2), nullopt, nullopt},
        {"/", nullopt, nullopt},
        {":", nullopt, nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseInteger<std::int32_t>(c.text), c.asInt32) << Shown(c.text);
        EXPECT_EQ(ParseInteger<std::uint16_t>(c.text), c.asUInt16) << Shown(c.text);
    }
}

TEST(Integer, WidestAndNarrowRanges) {
    EXPECT_EQ(ParseInteger<std::int64_t>("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(ParseInteger<std::int64_t>("-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(ParseInteger<std::int64_t>("9223372036854775808"), nullopt);
    EXPECT_EQ(ParseInteger<std::int64_t>("-9223372036854775809"), nullopt);
    EXPECT_EQ(ParseInteger<std::int64_t>("18446744073709551616"), nullopt);
    EXPECT_EQ(ParseInteger<std::uint32_t>("4294967295"), 4294967295u);
    EXPECT_EQ(ParseInteger<std::int8_t>("-128"), -128);
    EXPECT_EQ(ParseInteger<std::int8_t>("128"), nullopt);

    EXPECT_EQ(ParseIntegerInRange("3", 1, 5), 3);
    EXPECT_EQ(ParseIntegerInRange("0", 1, 5), nullopt);
    EXPECT_EQ(ParseIntegerInRange("-0", 1, 5), nullopt);
    EXPECT_EQ(ParseIntegerInRange("-3", -5, -1), -3);
    EXPECT_EQ(ParseIntegerInRange("3", -5, -1), nullopt);
    EXPECT_EQ(ParseIntegerInRange("-6", -5, -1), nullopt);
}
