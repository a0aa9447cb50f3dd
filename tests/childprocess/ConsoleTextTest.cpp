#include "Platform/Process/ConsoleText.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace {

using Quillmark::Platform::Process::ConsoleText;

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(ConsoleTextTest, DecodesByMarkElseByCodeset) {
    struct Case {
        std::string_view bytes;
        const char* codeset;
        std::string_view expected;
    };
    using namespace std::string_view_literals;
    const Case cases[] = {
        {"", "UTF-8", ""},
        {"plain\r\n", "UTF-8", "plain\r\n"},
        {"caf\xC3\xA9", "utf8", "caf\xC3\xA9"},
        {"\xEF\xBB\xBF" "caf\xC3\xA9", "ISO-8859-1", "caf\xC3\xA9"},
        {"\xFF\xFE" "a\0\xE9\0"sv, "UTF-8", "a\xC3\xA9"},
        {"\xFE\xFF" "\0a\xD8\x3D\xDE\x00"sv, "UTF-8", "a\xF0\x9F\x98\x80"},
        {"\xFF\xFE\0\0" "a\0\0\0\x00\xF6\x01\0"sv, "UTF-8", "a\xF0\x9F\x98\x80"},
        {"\0\0\xFE\xFF" "\0\0\0a"sv, "UTF-8", "a"},
        // Malformed input never fails: each bad piece becomes U+FFFD.
        {"a\xFF" "b\xC3", "UTF-8", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD"},
        {"\xED\xA0\x80", "UTF-8", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\xFF\xFE" "\x00\xD8"sv, "UTF-8", "\xEF\xBF\xBD"},
        {"caf\xE9", "ISO-8859-1", "caf\xC3\xA9"},
        {"\x80", "CP1252", "\xE2\x82\xAC"},
        {"\x81", "CP1252", "\xEF\xBF\xBD"},
        {"caf\xC3\xA9", "NO-SUCH-CODESET", "caf\xC3\xA9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ConsoleText::Decode(Bytes(c.bytes), c.codeset), c.expected) << c.codeset << " " << c.bytes;
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
