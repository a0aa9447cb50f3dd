#include "Daemon/Infrastructure/LogMessage.hpp"

#include "Platform/Failure.hpp"

#include <gtest/gtest.h>

using namespace Quillmark::Daemon::Infrastructure;

TEST(LogMessageTest, IllFormedUtf8BecomesReplacementCharacters) {
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
