#include "Platform/Json/JsonNode.hpp"

#include "Platform/Json/JsonObject.hpp"
#include "tests/json/FailureText.hpp"

#include <gtest/gtest.h>

using Quillmark::Platform::FailureKind;
using Quillmark::Platform::Json::JsonNode;
using Quillmark::Platform::Json::JsonObject;
using Quillmark::Platform::Json::JsonValueKind;
using Quillmark::Tests::FailureOf;

TEST(JsonNode, MalformedTextNamesComplaintLineAndPosition) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"", "ExpectedJsonTokens LineNumber: 0 | BytePositionInLine: 0."},
        {" \n  ", "ExpectedJsonTokens LineNumber: 1 | BytePositionInLine: 2."},
        {"{\"a\":1", "ExpectedEndOfObjectNotFound LineNumber: 0 | BytePositionInLine: 6."},
        {"{\n\"a\":1,\n}", "ExpectedStartOfPropertyOrValueNotFound LineNumber: 2 | BytePositionInLine: 0."},
        {"[1,2] 3", "ExpectedEndAfterSingleJson LineNumber: 0 | BytePositionInLine: 6."},
        {"\xEF\xBB\xBF{}", "ExpectedStartOfValueNotFound LineNumber: 0 | BytePositionInLine: 0."},
        {"{\"a\":\"\xC0\xAF\"}", "InvalidUtf8 LineNumber: 0 | BytePositionInLine: 6."},
        {std::string("[1,\0]", 5), "InvalidCharacter LineNumber: 0 | BytePositionInLine: 3."},
        {std::string(65, '[') + std::string(65, ']'), "ArrayDepthTooLarge LineNumber: 0 | BytePositionInLine: 65."},
    };
    for (const Case& c : cases) {
        const auto failure = FailureOf([&] { JsonNode::Parse(c.text); });
        ASSERT_TRUE(failure.has_value()) << c.text;
        EXPECT_EQ(failure->kind, FailureKind::Decode);
        EXPECT_EQ(failure->message, c.expected);
    }
    EXPECT_NO_THROW(JsonNode::Parse(std::string(64, '[') + std::string(64, ']')));
    std::string mixed = std::string(32, '[');
    for (int i = 0; i < 32; ++i) mixed += "{\"a\":";
    mixed += "1" + std::string(32, '}') + std::string(32, ']');
    EXPECT_NO_THROW(JsonNode::Parse(mixed));
    EXPECT_EQ(FailureOf([&] { JsonNode::Parse("[" + mixed + "]"); })->message,
              "ObjectDepthTooLarge LineNumber: 0 | BytePositionInLine: 189.");
}

namespace {

// An array of count zeros: count + 1 values, the array itself being one of them. The two sides
// of the bound are tests of their own, so that they run side by side.
std::string Zeros(std::size_t count) {
    std::string text = "[";
    text.reserve(2 * count + 2);
    for (std::size_t i = 0; i < count; ++i) text += i == 0 ? "0" : ",0";
    return text + "]";
}

}  // namespace

TEST(JsonNode, ReadsADocumentOfExactlyTheBoundInValues) {
    EXPECT_EQ(JsonNode::Parse(Zeros(JsonNode::MaxValues - 1)).AsArray().size(), JsonNode::MaxValues - 1);
}

TEST(JsonNode, RefusesDocumentsOfMoreValuesThanTheBound) {
    const std::string over = Zeros(JsonNode::MaxValues);
    EXPECT_EQ(FailureOf([&] { JsonNode::Parse(over); })->message,
              "TooManyValues LineNumber: 0 | BytePositionInLine: " + std::to_string(over.size() - 1) + ".");
}

TEST(JsonNode, KeepsMembersInOrderAndNumbersAsReceived) {
    const JsonNode node = JsonNode::Parse(
        " { \"b\" : [ 1.50e+3 , -0, true, false, null, {} , [] ], \"a\":\"\\u00e9\\n\", \"\":12345678901234567890123 } ");
    ASSERT_EQ(node.Kind(), JsonValueKind::Object);
    const JsonObject& object = node.AsObject();
    ASSERT_EQ(object.Size(), 3u);
    EXPECT_EQ(object.Members()[0].first, "b");
    EXPECT_EQ(object.Members()[2].first, "");
    EXPECT_EQ(object.Find("b")->AsArray()[0].RawNumber(), "1.50e+3");
    EXPECT_EQ(node.ToJsonString(),
              R"({"b":[1.50e+3,-0,true,false,null,{},[]],"a":"\u00E9\n","":12345678901234567890123})");

    const std::string large = "[1e400,\"1e400\",-0.5E-999,1" + std::string(400, '7') + "]";
    EXPECT_EQ(JsonNode::Parse(large).ToJsonString(), large);
    EXPECT_EQ(FailureOf([] { JsonNode::Parse("[1e400,1e]"); })->message,
              "RequiredDigitNotFoundAfterSign LineNumber: 0 | BytePositionInLine: 9.");

    JsonObject built;
    built.Add("status", JsonNode::String("SUCCESS"));
    built.Add("originalFileName", JsonNode::Null());
    built.Add("fileSize", JsonNode::Number(-42));
    built.Add("nested", JsonNode::Object(JsonObject(object)));
    EXPECT_EQ(built.ToJsonString(),
              R"({"status":"SUCCESS","originalFileName":null,"fileSize":-42,"nested":)" + node.ToJsonString() + "}");
}

TEST(JsonNode, CopiesAreIndependent) {
    JsonNode original = JsonNode::Parse(R"({"a":{"b":[1]}})");
    JsonNode copy = original;
    copy.AsObject().Add("c", JsonNode::Boolean(true));
    EXPECT_EQ(original.ToJsonString(), R"({"a":{"b":[1]}})");
    EXPECT_EQ(copy.ToJsonString(), R"({"a":{"b":[1]},"c":true})");
}

TEST(JsonNode, ConversionsNameTheKindAndTheType) {
    struct Case {
        std::string value;
        std::string asString, asInt32, asInt64;  // a value, or the failure text after "!"
    };
    const Case cases[] = {
        {R"("x")", "x", "!NodeUnableToConvertElement, String, System.Int32",
         "!NodeUnableToConvertElement, String, System.Int64"},
        {"7", "!NodeUnableToConvertElement, Number, System.String", "7", "7"},
        {"-0", "!NodeUnableToConvertElement, Number, System.String", "0", "0"},
        {"1.0", "!NodeUnableToConvertElement, Number, System.String",
         "!NodeUnableToConvertElement, Number, System.Int32", "!NodeUnableToConvertElement, Number, System.Int64"},
        {"1E2", "!NodeUnableToConvertElement, Number, System.String",
         "!NodeUnableToConvertElement, Number, System.Int32", "!NodeUnableToConvertElement, Number, System.Int64"},
        {"-2147483648", "!NodeUnableToConvertElement, Number, System.String", "-2147483648", "-2147483648"},
        {"2147483648", "!NodeUnableToConvertElement, Number, System.String",
         "!NodeUnableToConvertElement, Number, System.Int32", "2147483648"},
        {"-9223372036854775809", "!NodeUnableToConvertElement, Number, System.String",
         "!NodeUnableToConvertElement, Number, System.Int32", "!NodeUnableToConvertElement, Number, System.Int64"},
        {"true", "!NodeUnableToConvertElement, True, System.String",
         "!NodeUnableToConvertElement, True, System.Int32", "!NodeUnableToConvertElement, True, System.Int64"},
        {"false", "!NodeUnableToConvertElement, False, System.String",
         "!NodeUnableToConvertElement, False, System.Int32", "!NodeUnableToConvertElement, False, System.Int64"},
        {"[0]", "!NodeWrongType, JsonValue", "!NodeWrongType, JsonValue", "!NodeWrongType, JsonValue"},
        {"{}", "!NodeWrongType, JsonValue", "!NodeWrongType, JsonValue", "!NodeWrongType, JsonValue"},
    };
    const auto outcome = [](auto call) {
        try {
            return call();
        } catch (const Quillmark::Platform::Failure& failure) {
            EXPECT_EQ(failure.Kind(), FailureKind::InvalidOperation);
            return "!" + failure.Message();
        }
    };
    for (const Case& c : cases) {
        const JsonNode node = JsonNode::Parse(c.value);
        EXPECT_EQ(outcome([&] { return node.GetString(); }), c.asString) << c.value;
        EXPECT_EQ(outcome([&] { return std::to_string(node.GetInt32()); }), c.asInt32) << c.value;
        EXPECT_EQ(outcome([&] { return std::to_string(node.GetInt64()); }), c.asInt64) << c.value;
    }
    EXPECT_EQ(FailureOf([] { JsonNode::Parse("[]").AsObject(); })->message, "NodeWrongType, JsonObject");
    EXPECT_EQ(FailureOf([] { JsonNode::Parse("{}").AsArray(); })->message, "NodeWrongType, JsonArray");
}

TEST(JsonObject, FindsMembersAndRefusesRepeatedNames) {
    const JsonNode node = JsonNode::Parse(R"({"a":1,"n":null,"A":2})");
    const JsonObject& object = node.AsObject();
    EXPECT_EQ(object.Find("a")->RawNumber(), "1");
    EXPECT_EQ(object.Find("A")->RawNumber(), "2");
    EXPECT_EQ(object.Find("n"), nullptr);
    EXPECT_TRUE(object.Contains("n"));
    EXPECT_EQ(object.Find("b"), nullptr);
    EXPECT_FALSE(object.Contains("b"));

    std::string many = "{";
    for (int i = 0; i < 40; ++i) many += "\"m" + std::to_string(i) + "\":0,";
    const struct {
        std::string text;
        std::string repeated;
    } cases[] = {
        {R"({"action":0,"action":0})", "action"},
        {R"({"b":1,"a":1,"a":2,"b":2})", "a"},
        {R"({"x":{"y":1,"y":2},"q":1,"q":1})", "q"},
        {many + R"("m7":1,"m3":1})", "m7"},
    };
    for (const auto& c : cases) {
        const JsonNode parsed = JsonNode::Parse(c.text);
        for (int attempt = 0; attempt < 2; ++attempt) {
            const auto failure = FailureOf([&] { parsed.AsObject().Find("unrelated"); });
            ASSERT_TRUE(failure.has_value()) << c.text;
            EXPECT_EQ(failure->kind, FailureKind::Argument);
            EXPECT_EQ(failure->message, "Argument_AddingDuplicate, " + c.repeated + " Arg_ParamName_Name, key");
        }
    }
    // A repeat deeper down fails only where it is looked up.
    const JsonNode inner = JsonNode::Parse(R"({"x":{"y":1,"y":2}})");
    const JsonNode* x = inner.AsObject().Find("x");
    ASSERT_NE(x, nullptr);
    EXPECT_TRUE(FailureOf([&] { x->AsObject().Find("y"); }).has_value());
}
