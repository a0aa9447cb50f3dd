#include "Platform/Text/Ascii.hpp"

#include <gtest/gtest.h>

using namespace Quillmark::Platform::Text;

TEST(Ascii, EqualsIgnoreCaseFoldsOnlyLatinLetters) {
    struct Case { std::string_view a, b; bool equal; };
    const Case cases[] = {
        {"", "", true},
        {"start-ws", "START-WS", true},
        {"Quillmark", "qUILLMARK", true},
        {"start", "start-ws", false},
        {"start-ws", "start", false},
        {"a", "b", false},
        // Bytes that differ by the case bit but are not letters.
        {"[", "{", false},
        {"@", "`", false},
        {"^", "~", false},
        {"1", "\x11", false},
        // Only ASCII folds: an accented capital in UTF-8 stays apart from its small letter.
        {"\xC3\x89", "\xC3\xA9", false},
        {"\xC3\xA9", "\xC3\xA9", true},
        {std::string_view("a\0b", 3), std::string_view("A\0B", 3), true},
        {std::string_view("a\0", 2), "a", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EqualsIgnoreCase(c.a, c.b), c.equal) << c.a << " | " << c.b;
        EXPECT_EQ(EqualsIgnoreCase(c.b, c.a), c.equal) << c.b << " | " << c.a;
    }
}

TEST(Ascii, StartsAndEndsWithIgnoreCase) {
    EXPECT_TRUE(StartsWithIgnoreCase("QUILLMARK://start", "quillmark://"));
    EXPECT_TRUE(StartsWithIgnoreCase("x", ""));
    EXPECT_TRUE(StartsWithIgnoreCase("chrome-extension://", "Chrome-Extension://"));
    EXPECT_FALSE(StartsWithIgnoreCase("quillmark:/", "quillmark://"));
    EXPECT_FALSE(StartsWithIgnoreCase("xquillmark://", "quillmark://"));

    EXPECT_TRUE(EndsWithIgnoreCase("4.LOG", ".log"));
    EXPECT_TRUE(EndsWithIgnoreCase(".log", ".log"));
    EXPECT_TRUE(EndsWithIgnoreCase("x", ""));
    EXPECT_FALSE(EndsWithIgnoreCase("log", ".log"));
    EXPECT_FALSE(EndsWithIgnoreCase("1.log.bak", ".log"));
    EXPECT_FALSE(EndsWithIgnoreCase("1.lo", ".log"));
}
