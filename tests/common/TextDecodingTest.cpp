#include "Common/TextDecoding.hpp"

#include <gtest/gtest.h>

using namespace Quillmark::Common;

TEST(TextDecodingTest, IllFormedUtf8BecomesReplacementCharacters) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case { std::string in; std::string out; };
    const Case cases[] = {
        {"plain ascii", "plain ascii"},
        {"t\xE1\xBA\xA1i \xF0\x9F\x93\x84", "t\xE1\xBA\xA1i \xF0\x9F\x93\x84"},
        {"a\xFF" "b", "a" + fffd + "b"},
        {"\xC0\xAF", fffd + fffd},                       // overlong
        {"\xED\xA0\x80", fffd + fffd + fffd},            // encoded surrogate
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd}, // past U+10FFFF
        {"\xE1\xBA", fffd},                              // cut short at the end
        {"\xE1\xBA" "x", fffd + "x"},
        {std::string("nul\0in", 6), std::string("nul\0in", 6)},
    };
    for (const auto& c : cases) EXPECT_EQ(ToValidUtf8(c.in), c.out) << c.in;
}

TEST(TextDecodingTest, ByteOrderMarkChoosesTheEncoding) {
    using namespace std::string_literals;
    const std::string text = "{\"a\":\"t\xE1\xBA\xA1i \xF0\x9F\x93\x84\"}";
    struct Case { const char* title; std::string bytes; std::string decoded; };
    const Case cases[] = {
        {"no mark", text, text},
        {"UTF-8 mark", "\xEF\xBB\xBF" + text, text},
        {"UTF-16 LE", "\xFF\xFE{\0\"\0a\0\"\0:\0\"\0t\0\xA1\x1E" "i\0 \0=\xD8\xC4\xDC\"\0}\0"s, text},
        {"UTF-16 BE", "\xFE\xFF\0{\0\"\0a\0\"\0:\0\"\0t\x1E\xA1\0i\0 \xD8=\xDC\xC4\0\"\0}"s, text},
        {"UTF-32 LE", "\xFF\xFE\0\0{\0\0\0\xC4\xF4\x01\0"s, "{\xF0\x9F\x93\x84"},
        {"UTF-32 BE", "\0\0\xFE\xFF\0\0\0{\0\x01\xF4\xC4"s, "{\xF0\x9F\x93\x84"},
        {"lone surrogate and odd byte", "\xFF\xFE\x00\xD8x\0y"s, "\xEF\xBF\xBDx\xEF\xBF\xBD"},
        {"only a mark", "\xEF\xBB\xBF", ""},
        {"bad UTF-8 after mark", "\xEF\xBB\xBF\xFF", "\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeTextFile(c.bytes), c.decoded) << c.title;
}
