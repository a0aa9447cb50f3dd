#include "Daemon/MessageListeners/RequestData.hpp"

#include "tests/json/FailureText.hpp"

#include <gtest/gtest.h>

using Quillmark::Daemon::MessageListeners::RequestData;
using Quillmark::Platform::FailureKind;
using Quillmark::Tests::FailureOf;

namespace {
struct FailureCase {
    std::optional<std::string> data;
    FailureKind kind;
    std::string expected;
};
}  // namespace

TEST(RequestData, ParsesTheRequestObject) {
    const auto object = RequestData::Parse(std::string(R"( {"action":1,"fileName":"a.pdf"} )"));
    EXPECT_EQ(object.Find("fileName")->GetString(), "a.pdf");

    const FailureCase cases[] = {
        {std::nullopt, FailureKind::Decode, "ExpectedJsonTokens LineNumber: 0 | BytePositionInLine: 0."},
        {"", FailureKind::Decode, "ExpectedJsonTokens LineNumber: 0 | BytePositionInLine: 0."},
        {"{\"action\":0,}", FailureKind::Decode,
         "ExpectedStartOfPropertyOrValueNotFound LineNumber: 0 | BytePositionInLine: 12."},
        {"null", FailureKind::ArgumentNull, "ArgumentNull_Generic Arg_ParamName_Name, Data"},
        {"[]", FailureKind::InvalidOperation, "NodeWrongType, JsonObject"},
        {"5", FailureKind::InvalidOperation, "NodeWrongType, JsonObject"},
        {"\"{}\"", FailureKind::InvalidOperation, "NodeWrongType, JsonObject"},
        {"true", FailureKind::InvalidOperation, "NodeWrongType, JsonObject"},
    };
    for (const FailureCase& c : cases) {
        const auto failure = FailureOf([&] { RequestData::Parse(c.data); });
        ASSERT_TRUE(failure.has_value()) << c.data.value_or("(absent)");
        EXPECT_EQ(failure->kind, c.kind) << c.data.value_or("(absent)");
        EXPECT_EQ(failure->message, c.expected) << c.data.value_or("(absent)");
    }
}

TEST(RequestData, SelectsStepZeroOrOne) {
    const struct {
        std::string data;
        std::int32_t step;
    } steps[] = {
        {R"({"action":0})", 0},
        {R"({"action":1})", 1},
        {R"({"action":-0})", 0},
        {R"({"fileName":"x","action":1,"chunkIndex":"ignored"})", 1},
    };
    for (const auto& c : steps) EXPECT_EQ(RequestData::SelectStep(RequestData::Parse(c.data)), c.step) << c.data;

    const std::string invalid = "Invalid action Arg_ParamName_Name, Data";
    const FailureCase cases[] = {
        {"{}", FailureKind::Argument, invalid},
        {R"({"action":null})", FailureKind::Argument, invalid},
        {R"({"Action":0})", FailureKind::Argument, invalid},
        {R"({"action":2})", FailureKind::Argument, invalid},
        {R"({"action":-1})", FailureKind::Argument, invalid},
        {R"({"action":"0"})", FailureKind::InvalidOperation, "NodeUnableToConvertElement, String, System.Int32"},
        {R"({"action":1.0})", FailureKind::InvalidOperation, "NodeUnableToConvertElement, Number, System.Int32"},
        {R"({"action":0e0})", FailureKind::InvalidOperation, "NodeUnableToConvertElement, Number, System.Int32"},
        {R"({"action":2147483648})", FailureKind::InvalidOperation,
         "NodeUnableToConvertElement, Number, System.Int32"},
        {R"({"action":1e400})", FailureKind::InvalidOperation, "NodeUnableToConvertElement, Number, System.Int32"},
        {R"({"action":true})", FailureKind::InvalidOperation, "NodeUnableToConvertElement, True, System.Int32"},
        {R"({"action":false})", FailureKind::InvalidOperation, "NodeUnableToConvertElement, False, System.Int32"},
        {R"({"action":[0]})", FailureKind::InvalidOperation, "NodeWrongType, JsonValue"},
        {R"({"action":{}})", FailureKind::InvalidOperation, "NodeWrongType, JsonValue"},
        {R"({"action":0,"action":0})", FailureKind::Argument,
         "Argument_AddingDuplicate, action Arg_ParamName_Name, key"},
        {R"({"action":0,"x":1,"x":2})", FailureKind::Argument, "Argument_AddingDuplicate, x Arg_ParamName_Name, key"},
    };
    for (const FailureCase& c : cases) {
        const auto object = RequestData::Parse(c.data);
        const auto failure = FailureOf([&] { RequestData::SelectStep(object); });
        ASSERT_TRUE(failure.has_value()) << *c.data;
        EXPECT_EQ(failure->kind, c.kind) << *c.data;
        EXPECT_EQ(failure->message, c.expected) << *c.data;
    }
}
