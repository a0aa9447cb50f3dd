#include "Daemon/Infrastructure/LogMessage.hpp"

#include "Platform/Failure.hpp"

#include <gtest/gtest.h>

using namespace Quillmark::Daemon::Infrastructure;

TEST(LogMessageTest, FailureBecomesItsFullDescription) {
    try {
        throw Quillmark::Platform::InvalidOperationFailure(
            "outer", std::make_exception_ptr(Quillmark::Platform::FormatFailure("inner")));
    } catch (const std::exception& failure) {
        LogMessage fromFailure(failure);
        LogMessage fromPointer(std::current_exception());
        EXPECT_EQ(fromFailure.Text(), Quillmark::Platform::DescribeFailure(failure));
        EXPECT_EQ(fromPointer.Text(), fromFailure.Text());
        EXPECT_NE(fromFailure.Text().find("InvalidOperationFailure: outer"), std::string::npos);
        EXPECT_NE(fromFailure.Text().find("FormatFailure: inner"), std::string::npos);
    }
    EXPECT_EQ(LogMessage(nullptr).Text(), "");
    EXPECT_EQ(LogMessage(static_cast<const char*>(nullptr)).Text(), "");
}

namespace {
std::string Repeat(std::string_view piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
}

std::string Marker(std::size_t total) { return "... [truncated: " + std::to_string(total) + " bytes in all]"; }
}  // namespace

TEST(LogMessageTest, LongTextIsCutAtACharacterBoundaryWithAMarker) {
    constexpr std::size_t Max = LogMessage::MaxTextBytes;
    static_assert(Max == 8192);
    const std::string e = "\xC3\xA9", smiley = "\xF0\x9F\x98\x80", replacement = "\xEF\xBF\xBD";
    struct Case { std::string title, text, expected; };
    const Case cases[] = {
        {"short", "hello", "hello"},
        {"exactly the bound", std::string(Max, 'a'), std::string(Max, 'a')},
        {"one byte over", std::string(Max + 1, 'a'), std::string(Max, 'a') + Marker(Max + 1)},
        {"megabytes", std::string(5'000'000, 'x'), std::string(Max, 'x') + Marker(5'000'000)},
        {"two-byte letter across the bound", "a" + Repeat(e, 5000), "a" + Repeat(e, 4095) + Marker(10001)},
        {"four-byte letter across the bound", "ab" + Repeat(smiley, 3000), "ab" + Repeat(smiley, 2047) + Marker(12002)},
        {"letter cut by the text's own end just past the bound", std::string(Max + 3, 'a') + smiley.substr(0, 2),
         std::string(Max, 'a') + Marker(Max + 5)},
        // Repair makes each bad byte three, so the bound holds for the repaired text.
        {"bad bytes", std::string(Max, '\xFF'), Repeat(replacement, 2730) + Marker(Max)},
        {"bad byte under the bound", "\xFF" + std::string(Max - 2, 'a'), replacement + std::string(Max - 3, 'a') + Marker(Max - 1)},
        {"bad byte within", "x\xFFy", "x" + replacement + "y"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LogMessage(c.text).Text(), c.expected) << c.title;
        EXPECT_EQ(LogMessage(std::string_view(c.text)).Text(), c.expected) << c.title;
        EXPECT_EQ(LogMessage(c.text.c_str()).Text().size(), c.expected.size()) << c.title;
    }
}

TEST(LogMessageTest, FailureWithAHugeMessageIsCutToo) {
    const std::string name(1'000'000, 'n');
    const LogMessage message(Quillmark::Platform::IoFailure("Could not find file '" + name + "'"));
    EXPECT_EQ(message.Text().rfind("IoFailure: Could not find file 'nnn", 0), 0u) << message.Text().substr(0, 80);
    EXPECT_LE(message.Text().size(), LogMessage::MaxTextBytes + Marker(SIZE_MAX).size());
    EXPECT_NE(message.Text().find("... [truncated: "), std::string::npos);
}
