#include "Daemon/Config/AppJsonCtx.hpp"

#include "Platform/Json/JsonNode.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "Platform/Json/JsonTokenizer.hpp"
#include "Platform/Json/JsonWriter.hpp"
#include "tests/json/FailureText.hpp"

#include <gtest/gtest.h>

#include <random>

using Quillmark::Daemon::Config::AppJsonCtx;
using Quillmark::Daemon::Models::FileChunk;
using Quillmark::Daemon::Models::FileMetadata;
using Quillmark::Daemon::Models::Message;
using Quillmark::Platform::FailureKind;
using Quillmark::Platform::Json::JsonNode;
using Quillmark::Tests::FailureOf;

namespace {

Message MakeMessage(std::optional<std::string> error, std::optional<std::string> data, std::int32_t action,
                    std::int32_t code) {
    Message message;
    message.ErrorMessage = std::move(error);
    message.Data = std::move(data);
    message._action = action;
    message._errorCode = code;
    return message;
}

std::string Nested(int arrays) { return std::string(arrays, '[') + std::string(arrays, ']'); }

std::string Unconvertible(std::string_view type, std::string_view path, int line, int position) {
    return "DeserializeUnableToConvertValue, " + std::string(type) + " Path: " + std::string(path) +
           " | LineNumber: " + std::to_string(line) + " | BytePositionInLine: " + std::to_string(position) + ".";
}

}  // namespace

TEST(AppJsonCtx, DecodesMessages) {
    struct Case {
        std::string text;
        Message expected;
    };
    const Case cases[] = {
        {"{}", MakeMessage({}, {}, 0, 0)},
        {" \r\n\t{ } \n", MakeMessage({}, {}, 0, 0)},
        {R"({"Action":3})", MakeMessage({}, {}, 0, 0)},
        {R"({"action":2147483647})", MakeMessage({}, {}, 2147483647, 0)},
        {R"({"action":-2147483648,"errorCode":-0})", MakeMessage({}, {}, -2147483647 - 1, 0)},
        {R"({"action":1,"action":2})", MakeMessage({}, {}, 2, 0)},
        {R"({"data":"a","data":null})", MakeMessage({}, {}, 0, 0)},
        {R"({"errorMessage":"","data":"x\u0022\u00e9\ud83d\ude00\"\\\/","action":3,"errorCode":2})",
         MakeMessage("", "x\"\xC3\xA9\xF0\x9F\x98\x80\"\\/", 3, 2)},
        {R"({"other":{"action":5,"data":[1,2.5e3,true,null,{"x":"\u0041"}]},"action":4})",
         MakeMessage({}, {}, 4, 0)},
        {R"({"action":3,"DATA":"skipped","data ":"skipped"})", MakeMessage({}, {}, 3, 0)},
        // Names are compared after unescaping.
        {R"({"\u0061ction":3,"d\u0061ta":"x"})", MakeMessage({}, "x", 3, 0)},
        {R"({"x":)" + Nested(63) + R"(,"action":1})", MakeMessage({}, {}, 1, 0)},
        // Numbers beyond a double's range are still JSON numbers.
        {R"({"x":[1e400,-1E+999,"1e999"],"data":"2e999","y":1)" + std::string(400, '0') + R"(,"action":4})",
         MakeMessage({}, "2e999", 4, 0)},
    };
    for (const Case& c : cases) {
        const auto decoded = AppJsonCtx::DecodeMessage(c.text);
        ASSERT_TRUE(decoded.has_value()) << c.text;
        EXPECT_EQ(*decoded, c.expected) << c.text;
    }
}

TEST(AppJsonCtx, NullTextGivesNoRecord) {
    EXPECT_FALSE(AppJsonCtx::DecodeMessage(std::string_view("null")).has_value());
    EXPECT_FALSE(AppJsonCtx::DecodeMessage(std::string_view(" null\n")).has_value());
    const std::uint8_t bytes[] = {'n', 'u', 'l', 'l'};
    EXPECT_FALSE(AppJsonCtx::DecodeMessage(std::span<const std::uint8_t>(bytes)).has_value());
}

TEST(AppJsonCtx, ValuesOfTheWrongKindNameTypePathAndPosition) {
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {R"({"action":"3"})", Unconvertible("System.Int32", "$.action", 0, 13)},
        {R"({"action":3.0})", Unconvertible("System.Int32", "$.action", 0, 13)},
        {R"({"action":1e2})", Unconvertible("System.Int32", "$.action", 0, 13)},
        {R"({"action":null})", Unconvertible("System.Int32", "$.action", 0, 14)},
        {R"({"action":true})", Unconvertible("System.Int32", "$.action", 0, 14)},
        {R"({"action":2147483648})", Unconvertible("System.Int32", "$.action", 0, 20)},
        {R"({"action":1e400})", Unconvertible("System.Int32", "$.action", 0, 15)},
        {R"({"action":-2147483649})", Unconvertible("System.Int32", "$.action", 0, 21)},
        {R"({"errorCode":[0]})", Unconvertible("System.Int32", "$.errorCode", 0, 14)},
        {R"({"data":{"action":0}})", Unconvertible("System.String", "$.data", 0, 9)},
        {R"({"data":5})", Unconvertible("System.String", "$.data", 0, 9)},
        {R"({"errorMessage":false})", Unconvertible("System.String", "$.errorMessage", 0, 21)},
        {"{\n  \"data\": \"ok\",\n  \"action\": \"3\"\n}", Unconvertible("System.Int32", "$.action", 2, 15)},
        // The first wrong value fails, before anything malformed after it is read.
        {R"({"action":"3",)", Unconvertible("System.Int32", "$.action", 0, 13)},
        // A value ends where its number ends, though more number-like characters follow.
        {R"({"action":2147483648-1})", Unconvertible("System.Int32", "$.action", 0, 20)},
        {R"({"data":1.5.5})", Unconvertible("System.String", "$.data", 0, 11)},
        {"[]", Unconvertible("Quillmark.Daemon.Models.Message", "$", 0, 1)},
        {R"(  "text")", Unconvertible("Quillmark.Daemon.Models.Message", "$", 0, 8)},
        {"\n42", Unconvertible("Quillmark.Daemon.Models.Message", "$", 1, 2)},
        {"5-3", Unconvertible("Quillmark.Daemon.Models.Message", "$", 0, 1)},
        {"true", Unconvertible("Quillmark.Daemon.Models.Message", "$", 0, 4)},
    };
    for (const Case& c : cases) {
        const auto failure = FailureOf([&] { AppJsonCtx::DecodeMessage(c.text); });
        ASSERT_TRUE(failure.has_value()) << c.text;
        EXPECT_EQ(failure->kind, FailureKind::Decode) << c.text;
        EXPECT_EQ(failure->message, c.expected) << c.text;
    }
}

TEST(AppJsonCtx, RefusesTextThatIsNotOneStrictValue) {
    const std::string cases[] = {
        "",
        "   ",
        "\xEF\xBB\xBF{}",
        R"({"action":1 /* stop */})",
        "{} // ping",
        R"({"action":1,})",
        R"({"x":[1,2,],"action":0})",
        "{}{}",
        "{} x",
        "null null",
        R"({"action":1)",
        R"({'action':1})",
        R"({"action":01})",
        R"({"action":+1})",
        R"({"x":NaN})",
        R"({"data":"tab	inside"})",
        R"({"data":"\x41"})",
        R"({"data":"\ud800"})",
        R"({"data":"\udc00"})",
        R"({"data":"a\ud83d\ude00\ude00"})",
        R"({"data":"\ud800\u0041"})",
        "{\"data\":\"\xC3\"}",
        "{\"x\":\"\xFF\",\"action\":1}",
        "{\"data\":\"\xED\xA0\x80\"}",
        std::string("{}\0", 3),
        std::string("{\"data\":\"a\0b\"}", 14),
        R"({"x":)" + Nested(64) + "}",
    };
    for (const std::string& text : cases) {
        const auto failure = FailureOf([&] { AppJsonCtx::DecodeMessage(text); });
        ASSERT_TRUE(failure.has_value()) << text;
        EXPECT_EQ(failure->kind, FailureKind::Decode) << text;
        EXPECT_NE(failure->message.find(" LineNumber: "), std::string::npos) << failure->message;
    }
    EXPECT_EQ(FailureOf([] { AppJsonCtx::DecodeMessage(std::string_view()); })->message,
              "ExpectedJsonTokens LineNumber: 0 | BytePositionInLine: 0.");
    EXPECT_EQ(FailureOf([] { AppJsonCtx::DecodeMessage(std::string_view("{}\n {}")); })->message,
              "ExpectedEndAfterSingleJson LineNumber: 1 | BytePositionInLine: 1.");
}

TEST(AppJsonCtx, TextCheckedAlreadyReadsAsAnyOtherText) {
    // The same record or the same failure, whichever way the text comes.
    const auto outcome = [](auto&& decode) -> std::string {
        try {
            const auto message = decode();
            return message ? AppJsonCtx::EncodeMessage(*message) : "no record";
        } catch (const Quillmark::Platform::Failure& failure) {
            return failure.Message();
        }
    };
    const std::string texts[] = {
        R"({"errorMessage":"","data":"x\u0022\u00e9\ud83d\ude00\"\\\/","action":3,"errorCode":2})",
        "{\"data\":\"caf\xC3\xA9 \xF0\x9F\x98\x80\"}",
        R"({"x":[1e400,-1E+999],"data":"2e999","action":4})",
        R"({"x":)" + Nested(63) + R"(,"action":1})",
        R"({"x":)" + Nested(64) + "}",
        " null ",
        "",
        "{} x",
        std::string("{\"data\":\"a\0b\"}", 14),
        R"({"data":"\udc00"})",
        R"({"action":"3",)",
        "\n42",
    };
    for (const std::string& text : texts) {
        EXPECT_EQ(outcome([&] { return AppJsonCtx::DecodeMessage(Quillmark::Platform::Json::WellFormedUtf8{text}); }),
                  outcome([&] { return AppJsonCtx::DecodeMessage(text); }))
            << text;
    }
}

TEST(AppJsonCtx, EncodesMessagesCompactlyInMemberOrder) {
    struct Case {
        Message message;
        std::string expected;
    };
    const Case cases[] = {
        {MakeMessage({}, "OK", 1, 0), R"({"data":"OK","action":1,"errorCode":0})"},
        {MakeMessage("Metadata must be received before chunks", {}, 1, 2),
         R"({"errorMessage":"Metadata must be received before chunks","action":1,"errorCode":2})"},
        {MakeMessage("", "", -7, 0), R"({"errorMessage":"","data":"","action":-7,"errorCode":0})"},
        {MakeMessage({}, {}, -2147483647 - 1, 2147483647), R"({"action":-2147483648,"errorCode":2147483647})"},
        {MakeMessage({}, R"({"fileName":"a b.pdf"})", 2, 0),
         R"({"data":"{\u0022fileName\u0022:\u0022a b.pdf\u0022}","action":2,"errorCode":0})"},
        {MakeMessage({}, "\xC3\xA9<&'>+`/\\", 0, 0),
         R"({"data":"\u00E9\u003C\u0026\u0027\u003E\u002B\u0060/\\","action":0,"errorCode":0})"},
        {MakeMessage({}, std::string("\b\t\n\f\r\x01\x1F\x7F\0~", 10), 0, 0),
         R"({"data":"\b\t\n\f\r\u0001\u001F\u007F\u0000~","action":0,"errorCode":0})"},
        {MakeMessage({}, "\xF0\x9F\x98\x80\xEF\xBF\xBF\xE2\x82\xAC", 0, 0),
         R"({"data":"\uD83D\uDE00\uFFFF\u20AC","action":0,"errorCode":0})"},
        // Each maximal ill-formed part (a cut sequence is one) stands as one replacement character.
        {MakeMessage({}, "a\xFF\xC3", 0, 0), R"({"data":"a\uFFFD\uFFFD","action":0,"errorCode":0})"},
        {MakeMessage({}, "\xE2\x82" "A\xF0\x9F\x98", 0, 0), R"({"data":"\uFFFDA\uFFFD","action":0,"errorCode":0})"},
        {MakeMessage({}, "\xED\xA0\x80\xC0\xAF\xF4\x90", 0, 0),
         R"({"data":"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD","action":0,"errorCode":0})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AppJsonCtx::EncodeMessage(c.message), c.expected);
        const auto bytes = AppJsonCtx::EncodeMessageUtf8(c.message);
        EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.expected);
    }
    EXPECT_EQ(AppJsonCtx::EncodeMessage(std::nullopt), "null");
    const auto nullBytes = AppJsonCtx::EncodeMessageUtf8(std::nullopt);
    EXPECT_EQ(std::string(nullBytes.begin(), nullBytes.end()), "null");
}

// Long texts take a faster path than short ones: each character that needs an escape, alone or
// beside another, gives the same text wherever it stands in a long run of plain ones.
TEST(AppJsonCtx, EscapesAlikeWhereverALongTextHoldsTheCharacter) {
    struct Piece {
        std::string raw;
        std::string escaped;
    };
    const Piece pieces[] = {
        {"+", "\\u002B"},  {"\"", "\\u0022"}, {"\\", "\\\\"},        {"\n", "\\n"},
        {"\x7F", "\\u007F"}, {std::string(1, '\0'), "\\u0000"},   {"\xC3\xA9", "\\u00E9"},
        {"\xF0\x9F\x98\x80", "\\uD83D\\uDE00"}, {"\xFF", "\\uFFFD"}, {"\xE2\x82", "\\uFFFD"},
        {"<+>", "\\u003C\\u002B\\u003E"},
    };
    // Plain text that differs from byte to byte, so that a byte taken from the wrong place shows.
    std::string plain;
    for (int i = 0; i < 200; ++i) plain += "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/="[i % 64];
    for (const Piece& piece : pieces) {
        for (std::size_t at = 0; at <= 200; ++at) {
            const std::string before = plain.substr(0, at), after = plain.substr(at);
            std::string written = "x";
            Quillmark::Platform::Json::JsonWriter::AppendString(before + piece.raw + after, written);
            const std::string expected = "x\"" + before + piece.escaped + after + "\"";
            ASSERT_EQ(written, expected) << "at " << at;
            std::vector<std::uint8_t> bytes{'x'};
            Quillmark::Platform::Json::JsonWriter::AppendString(before + piece.raw + after, bytes);
            ASSERT_EQ(std::string(bytes.begin(), bytes.end()), expected) << "at " << at;
            // Written in two parts, unquoted, split where the character begins.
            std::string parts = "x\"";
            Quillmark::Platform::Json::JsonWriter::AppendStringPart(before, parts);
            Quillmark::Platform::Json::JsonWriter::AppendStringPart(piece.raw + after, parts);
            ASSERT_EQ(parts + "\"", expected) << "in parts at " << at;
        }
    }
    // Every byte needing an escape, in a text far longer than the first guess at its size.
    const std::string controls(5000, '\x01');
    std::string written;
    Quillmark::Platform::Json::JsonWriter::AppendString(controls, written);
    std::string expected = "\"";
    for (std::size_t i = 0; i < controls.size(); ++i) expected += "\\u0001";
    EXPECT_EQ(written, expected + "\"");
}

TEST(AppJsonCtx, RefusesTextsLongerThanTheLimitInUtf16Units) {
    constexpr std::size_t limit = 166'666'666;
    // One text of this size, changed in place: it is too large to be copied for each case.
    Message message;
    std::string& data = message.Data.emplace();
    data.reserve(limit + 3);
    // A three-byte character is one unit: bytes over the limit, units at it.
    data.assign(limit + 2, 'a');
    data.replace(0, 3, "\xE2\x82\xAC");
    EXPECT_EQ(AppJsonCtx::EncodeMessage(message).size(),
              limit - 1 + 6 + std::string(R"({"data":"","action":0,"errorCode":0})").size());

    // A four-byte character is two units.
    data.push_back('a');
    data.replace(0, 4, "\xF0\x9F\x98\x80");
    const auto failure = FailureOf([&] { AppJsonCtx::EncodeMessage(message); });
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(failure->kind, FailureKind::Argument);
    EXPECT_EQ(failure->message, "ValueTooLarge, 166666667");
}

TEST(AppJsonCtx, EncodesFileChunks) {
    FileChunk chunk;
    EXPECT_EQ(AppJsonCtx::EncodeFileChunk(chunk), R"({"chunkIndex":0,"chunkData":""})");
    chunk.ChunkData.reset();
    EXPECT_EQ(AppJsonCtx::EncodeFileChunk(chunk), R"({"chunkIndex":0,"chunkData":null})");
    chunk.ChunkIndex = -1;
    chunk.ChunkData = "ab+/==";
    EXPECT_EQ(AppJsonCtx::EncodeFileChunk(chunk), R"({"chunkIndex":-1,"chunkData":"ab\u002B/=="})");
}

TEST(AppJsonCtx, ReadsRecordsFromObjects) {
    const auto object = [](std::string_view text) { return JsonNode::Parse(text).AsObject(); };

    FileChunk chunk = AppJsonCtx::DecodeFileChunk(object(R"({"action":1,"chunkIndex":0,"chunkData":null})"));
    EXPECT_EQ(chunk.ChunkIndex, 0);
    EXPECT_FALSE(chunk.ChunkData.has_value());

    chunk = AppJsonCtx::DecodeFileChunk(object(R"({"chunkData":"QQ==","x":[{}],"chunkIndex":-9223372036854775808})"));
    EXPECT_EQ(chunk, (FileChunk{std::numeric_limits<std::int64_t>::min(), "QQ=="}));

    chunk = AppJsonCtx::DecodeFileChunk(object(R"({"action":1})"));
    EXPECT_EQ(chunk, FileChunk{});

    const FileMetadata metadata =
        AppJsonCtx::DecodeFileMetadata(object(R"({"action":0,"fileName":"a.pdf","fileSize":10})"));
    FileMetadata expected;
    expected.FileName = "a.pdf";
    expected.FileSize = 10;
    EXPECT_EQ(metadata, expected);
    EXPECT_FALSE(metadata.OriginalFileName.has_value());
    EXPECT_EQ(metadata.FileHash, "");

    const FileMetadata full = AppJsonCtx::DecodeFileMetadata(object(
        R"({"fileHash":null,"originalFileName":"r\u00e9sum\u00e9.PDF","totalChunks":3,"fileSize":9223372036854775807,"fileName":null})"));
    EXPECT_EQ(full.OriginalFileName, "r\xC3\xA9sum\xC3\xA9.PDF");
    EXPECT_EQ(full.TotalChunks, 3);
    EXPECT_EQ(full.FileSize, std::numeric_limits<std::int64_t>::max());
    EXPECT_FALSE(full.FileHash.has_value());
    EXPECT_FALSE(full.FileName.has_value());
}

TEST(AppJsonCtx, ObjectFailuresArePlacedInTheObjectsCompactText) {
    struct Case {
        std::string object;
        bool metadata;
        std::string expected;
    };
    const Case cases[] = {
        {R"({"action":1,"chunkIndex":"0"})", false, Unconvertible("System.Int64", "$.chunkIndex", 0, 28)},
        // Blanks and line breaks of the received text do not count; the rewritten escapes do.
        {"{ \"action\" : 1,\n  \"chunkIndex\" : \"0\" }", false, Unconvertible("System.Int64", "$.chunkIndex", 0, 28)},
        {R"({"n":"é","chunkIndex":[1]})", false, Unconvertible("System.Int64", "$.chunkIndex", 0, 28)},
        {R"({"x": [1, 2.50], "chunkIndex": {"a": 1}})", false, Unconvertible("System.Int64", "$.chunkIndex", 0, 28)},
        {R"({"chunkIndex":1.0})", false, Unconvertible("System.Int64", "$.chunkIndex", 0, 17)},
        {R"({"chunkIndex":9223372036854775808})", false, Unconvertible("System.Int64", "$.chunkIndex", 0, 33)},
        {R"({"chunkData":7})", false, Unconvertible("System.String", "$.chunkData", 0, 14)},
        {R"({"action":0,"fileHash":5})", true, Unconvertible("System.String", "$.fileHash", 0, 24)},
        {R"({"totalChunks":"2"})", true, Unconvertible("System.Int64", "$.totalChunks", 0, 18)},
        {R"({"fileSize":null})", true, Unconvertible("System.Int64", "$.fileSize", 0, 16)},
        {R"({"fileName":["a"]})", true, Unconvertible("System.String", "$.fileName", 0, 13)},
    };
    for (const Case& c : cases) {
        const auto object = JsonNode::Parse(c.object).AsObject();
        const auto failure = FailureOf([&] {
            if (c.metadata)
                AppJsonCtx::DecodeFileMetadata(object);
            else
                AppJsonCtx::DecodeFileChunk(object);
        });
        ASSERT_TRUE(failure.has_value()) << c.object;
        EXPECT_EQ(failure->kind, FailureKind::Decode) << c.object;
        EXPECT_EQ(failure->message, c.expected) << c.object;
    }
}

TEST(AppJsonCtx, RandomRecordsSurviveEncodeAndDecode) {
    std::mt19937_64 random(20261210);
    const auto text = [&]() -> std::optional<std::string> {
        if (random() % 5 == 0) return std::nullopt;
        // Code points from every UTF-8 length, escapes and the HTML-sensitive set included.
        static const char32_t pool[] = {U'a', U'Z', U'0', U' ', U'"', U'\\', U'/', U'&', U'\'', U'+', U'<', U'>',
                                        U'`', 0x00,  0x01,  0x1F,  0x7F,  0x80,  0xE9,  0x7FF, 0x800, 0xFFFD,
                                        0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
        std::string out;
        // Long enough to cross the writer's 16-byte blocks at every offset.
        const std::size_t length = random() % 120;
        for (std::size_t i = 0; i < length; ++i) {
            const char32_t c = pool[random() % std::size(pool)];
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else if (c < 0x800) {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                out += static_cast<char>(0xE0 | (c >> 12));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out += static_cast<char>(0xF0 | (c >> 18));
                out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return out;
    };
    for (int i = 0; i < 500; ++i) {
        const Message message =
            MakeMessage(text(), text(), static_cast<std::int32_t>(random()), static_cast<std::int32_t>(random()));
        const std::string encoded = AppJsonCtx::EncodeMessage(message);
        for (const unsigned char c : encoded) ASSERT_TRUE(c >= 0x20 && c < 0x7F) << encoded;
        const auto decoded = AppJsonCtx::DecodeMessage(encoded);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(*decoded, message) << encoded;

        const FileChunk chunk{static_cast<std::int64_t>(random()), text()};
        const std::string chunkText = AppJsonCtx::EncodeFileChunk(chunk);
        EXPECT_EQ(AppJsonCtx::DecodeFileChunk(JsonNode::Parse(chunkText).AsObject()), chunk) << chunkText;
    }
}
