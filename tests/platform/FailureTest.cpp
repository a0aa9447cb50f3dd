#include "Platform/Failure.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <set>
#include <string_view>
#include <utility>

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
    EXPECT_EQ(MessageOf(std::make_exception_ptr(std::bad_alloc())), OutOfMemoryFailure().Message());
}

TEST(Failure, EveryKindIsItsOwnClassAndNamesItselfInTheDescription) {
    const std::pair<std::exception_ptr, FailureKind> cases[] = {
        {std::make_exception_ptr(ArgumentFailure("m", "n")), FailureKind::Argument},
        {std::make_exception_ptr(ArgumentNullFailure("n")), FailureKind::ArgumentNull},
        {std::make_exception_ptr(ArgumentOutOfRangeFailure("n")), FailureKind::ArgumentOutOfRange},
        {std::make_exception_ptr(InvalidOperationFailure()), FailureKind::InvalidOperation},
        {std::make_exception_ptr(PlainFailure()), FailureKind::Plain},
        {std::make_exception_ptr(FormatFailure()), FailureKind::Format},
        {std::make_exception_ptr(DecodeFailure()), FailureKind::Decode},
        {std::make_exception_ptr(OverflowFailure()), FailureKind::Overflow},
        {std::make_exception_ptr(EndOfStreamFailure()), FailureKind::EndOfStream},
        {std::make_exception_ptr(NotImplementedFailure()), FailureKind::NotImplemented},
        {std::make_exception_ptr(CancellationFailure()), FailureKind::Cancellation},
        {std::make_exception_ptr(WebSocketFailure()), FailureKind::WebSocket},
        {std::make_exception_ptr(OutOfMemoryFailure()), FailureKind::OutOfMemory},
        {std::make_exception_ptr(IoFailure()), FailureKind::InputOutput},
    };
    std::set<std::string_view> names;
    for (const auto& [failure, kind] : cases) {
        names.insert(KindName(kind));
        try {
            std::rethrow_exception(failure);
        } catch (const Failure& caught) {
            EXPECT_EQ(caught.Kind(), kind) << KindName(kind);
            EXPECT_EQ(DescribeFailure(failure).rfind(std::string(KindName(kind)) + ": " + caught.Message(), 0), 0u)
                << KindName(kind);
        }
    }
    EXPECT_EQ(names.size(), std::size(cases));
    // Missing-argument and out-of-range failures are argument failures to whoever catches those.
    EXPECT_THROW(throw ArgumentNullFailure("n"), ArgumentFailure);
    EXPECT_THROW(throw ArgumentOutOfRangeFailure("n"), ArgumentFailure);
}
