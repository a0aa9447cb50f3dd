#include "Platform/Failure.hpp"

#include <gtest/gtest.h>

using namespace Quillmark::Platform;

TEST(Failure, ComposesClientTexts) {
    struct Case { std::string text; std::string expected; };
    const Case cases[] = {
        {ArgumentNullFailure("Data").Message(), "ArgumentNull_Generic Arg_ParamName_Name, Data"},
        {ArgumentFailure("Invalid action", "Data").Message(), "Invalid action Arg_ParamName_Name, Data"},
        {ArgumentFailure("ValueTooLarge, 166666667").Message(), "ValueTooLarge, 166666667"},
        {ArgumentOutOfRangeFailure("chunkIndex", "Chunk index is out of range").Message(),
         "Chunk index is out of range Arg_ParamName_Name, chunkIndex"},
        {ArgumentFailure(PlatformText("Argument_AddingDuplicate", {"action"}), "key").Message(),
         "Argument_AddingDuplicate, action Arg_ParamName_Name, key"},
        {InvalidOperationFailure(PlatformText("NodeUnableToConvertElement", {"String", "System.Int32"})).Message(),
         "NodeUnableToConvertElement, String, System.Int32"},
        {OverflowFailure().Message(), "Arg_OverflowException"},
        {NotImplementedFailure().Message(), "Arg_NotImplementedException"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.text, c.expected);
}

TEST(Failure, DescriptionNamesKindMessageInnerAndStack) {
    std::exception_ptr inner = std::make_exception_ptr(FormatFailure("Format_BadBase64Char"));
    auto text = DescribeFailure(std::make_exception_ptr(InvalidOperationFailure("outer", inner)));
    EXPECT_EQ(text.rfind("InvalidOperationFailure: outer\n ---> FormatFailure: Format_BadBase64Char", 0), 0u) << text;
    EXPECT_NE(text.find("   at "), std::string::npos) << text;
    EXPECT_NE(text.find("--- End of inner failure ---"), std::string::npos);
}

TEST(Failure, KindsOfForeignExceptions) {
    EXPECT_EQ(KindOf(std::bad_alloc()), FailureKind::OutOfMemory);
    EXPECT_EQ(KindOf(std::runtime_error("x")), FailureKind::Plain);
    EXPECT_EQ(MessageOf(std::make_exception_ptr(std::runtime_error("boom"))), "boom");
}
