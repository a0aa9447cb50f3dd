#include "Platform/Process/ConsoleText.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

using Quillmark::Platform::Process::ConsoleText;

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(ConsoleTextTest, ConvertsLocaleCodesetsToUtf8) {
    struct Case {
        std::string_view bytes;
        const char* codeset;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"caf\xE9", "ISO-8859-1", "caf\xC3\xA9"},
        {"\x80 \xA4", "CP1252", "\xE2\x82\xAC \xC2\xA4"},
        {"\xC1\xC2", "KOI8-R", "\xD0\xB0\xD0\xB1"},
        // A byte the code set leaves undefined, and a sequence cut off at the end.
        {"a\x81" "b", "CP1252", "a\xEF\xBF\xBD" "b"},
        {"a\x82", "SHIFT_JIS", "a\xEF\xBF\xBD"},
        {"", "ISO-8859-1", ""},
        {"x", "NO-SUCH-CODESET", std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConsoleText::ConvertToUtf8(Bytes(c.bytes), c.codeset), c.expected) << c.codeset << " " << c.bytes;
    }
}

TEST(ConsoleTextTest, RecognisesUtf8NamesAndByteOrderMarks) {
    for (const char* name : {"UTF-8", "utf8", "Utf_8", "", "65001"}) EXPECT_TRUE(ConsoleText::IsUtf8(name)) << name;
    for (const char* name : {"ISO-8859-1", "UTF-16", "CP1252"}) EXPECT_FALSE(ConsoleText::IsUtf8(name)) << name;
    using namespace std::string_view_literals;
    for (auto marked : {"\xEF\xBB\xBFx"sv, "\xFF\xFEx\0"sv, "\xFE\xFF\0x"sv, "\xFF\xFE\0\0"sv, "\0\0\xFE\xFF"sv}) {
        EXPECT_TRUE(ConsoleText::StartsWithByteOrderMark(Bytes(marked)));
    }
    for (auto plain : {""sv, "\xEF\xBB"sv, "\xFF"sv, "\0\0\xFF\xFE"sv, "abc"sv}) {
        EXPECT_FALSE(ConsoleText::StartsWithByteOrderMark(Bytes(plain)));
    }
}

TEST(ConsoleTextTest, CodesetComesFromTheLocaleVariables) {
    struct Case {
        const char* lcAll;
        const char* lcCtype;
        const char* lang;
        const char* expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, "UTF-8"},
        {nullptr, nullptr, "C", "UTF-8"},
        {nullptr, nullptr, "de_DE.ISO-8859-15@euro", "ISO-8859-15"},
        {nullptr, "ru_RU.KOI8-R", "en_US.UTF-8", "KOI8-R"},
        {"vi_VN.CP1258", "ru_RU.KOI8-R", "en_US.UTF-8", "CP1258"},
        {"", nullptr, "en_US.utf8", "utf8"},
    };
    auto set = [](const char* name, const char* value) {
        if (value) ::setenv(name, value, 1); else ::unsetenv(name);
    };
    for (const auto& c : cases) {
        set("LC_ALL", c.lcAll);
        set("LC_CTYPE", c.lcCtype);
        set("LANG", c.lang);
        EXPECT_EQ(ConsoleText::OutputCodeset(), c.expected);
    }
}

}  // namespace
