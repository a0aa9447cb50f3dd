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
