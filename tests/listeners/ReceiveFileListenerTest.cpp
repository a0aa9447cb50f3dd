#include "Daemon/MessageListeners/ReceiveFileListener.hpp"

#include "Daemon/Config/AppJsonCtx.hpp"
#include "Daemon/MessageListeners/RequestData.hpp"
#include "ListenerTestSupport.hpp"
#include "Platform/Encoding/Base64.hpp"
#include "Platform/Encoding/Hex.hpp"
#include "Platform/Encoding/Sha256.hpp"
#include "Platform/Process/ByteRegion.hpp"

#include <gmock/gmock.h>

#include <malloc.h>

#include <chrono>
#include <regex>
#include <thread>

namespace Quillmark::Tests {
namespace {

using Daemon::MessageListeners::ReceiveFileListener;
using ::testing::MatchesRegex;

std::string Upper(std::string_view bytes) {
    return Platform::Encoding::Hex::ToUpper(Platform::Encoding::Sha256::Hash(
        {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}));
}
std::string Lower(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}
std::string Base64(std::string_view bytes) {
    return Platform::Encoding::Base64::Encode({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

const std::string EmptyHash = "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855";

std::string Metadata(std::int64_t size, std::int64_t total, std::optional<std::string> hash,
                     std::string originalName = "\"report.pdf\"") {
    std::string text = R"({"action":0,"fileName":"ignored.bin","originalFileName":)" + originalName +
                       ",\"fileSize\":" + std::to_string(size) + ",\"totalChunks\":" + std::to_string(total);
    if (hash) text += ",\"fileHash\":\"" + *hash + "\"";
    return text + "}";
}
std::string Chunk(std::int64_t index, std::string_view dataJson) {
    return R"({"action":1,"chunkIndex":)" + std::to_string(index) + ",\"chunkData\":" + std::string(dataJson) + "}";
}
std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// The generated name out of a success reply.
std::string NameIn(const std::string& reply) {
    std::smatch match;
    if (!std::regex_search(reply, match, std::regex(R"re("fileName":"([^"]*)")re"))) return {};
    return match[1];
}

class ReceiveFileListenerTest : public TempFolderTest {
protected:
    ReceiveFileListener listener;
};

TEST_F(ReceiveFileListenerTest, AssemblesChunksInIndexOrderAndAnswersWithTheGeneratedName) {
    const std::string content = "first-second-third";
    ASSERT_EQ(Answer(listener, Metadata(18, 3, Lower(Upper(content)))), "OK");
    EXPECT_EQ(Answer(listener, Chunk(2, Quoted(Base64("third")))), "OK");
    EXPECT_EQ(Answer(listener, Chunk(0, Quoted(Base64("first-")))), "OK");
    const auto reply = Answer(listener, Chunk(1, Quoted(Base64("second-"))));

    const auto name = NameIn(reply);
    EXPECT_THAT(name, MatchesRegex("[A-Z0-9]{16}_\\.pdf"));
    // The client's hash comes back in its own letter case.
    EXPECT_EQ(reply, R"({"status":"SUCCESS","fileName":")" + name +
                         R"(","originalFileName":"report.pdf","fileSize":18,"fileHash":")" + Lower(Upper(content)) + "\"}");
    EXPECT_EQ(ReadFile(Folder() / name), content);
    EXPECT_EQ(FolderFiles().size(), 1u);
}

TEST_F(ReceiveFileListenerTest, NamesTheFileAfterTheOriginalExtension) {
    struct Case {
        std::string originalJson;
        std::string suffix;
        std::string echoed;
    };
    const Case cases[] = {
        {"\"my.report.PDF\"", "_\\.PDF", "\"my.report.PDF\""},
        {"\"README\"", "_", "\"README\""},
        {"\"trailing.\"", "_", "\"trailing.\""},
        {"\"folder.d/file\"", "_", "\"folder.d/file\""},
        {"\"folder.d\\\\file\"", "_", "\"folder.d\\\\file\""},
        {"\".hidden\"", "_\\.hidden", "\".hidden\""},
        {"null", "_", "null"},
        // Outside ASCII and the HTML-sensitive characters are escaped in the reply.
        {"\"\xC3\xA9t\xC3\xA9<&>.png\"", "_\\.png", "\"\\u00E9t\\u00E9\\u003C\\u0026\\u003E.png\""},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Answer(listener, Metadata(3, 1, Upper("abc"), c.originalJson)), "OK");
        const auto reply = Answer(listener, Chunk(0, Quoted(Base64("abc"))));
        EXPECT_THAT(NameIn(reply), MatchesRegex("[A-Z0-9]{16}" + c.suffix)) << c.originalJson;
        EXPECT_NE(reply.find("\"originalFileName\":" + c.echoed + ","), std::string::npos) << reply;
    }
}

TEST_F(ReceiveFileListenerTest, CompletesOrFailsAtAssemblyAsTheUploadDeserves) {
    struct Case {
        const char* what;
        std::int64_t size;
        std::optional<std::string> hash;
        std::vector<std::string> chunks;  // request objects, the last one completes
        std::string content;              // the file on success
        std::string failure;              // else the client's text
    };
    const Case cases[] = {
        {"empty file", 0, EmptyHash, {Chunk(0, "\"\"")}, "", ""},
        {"blanks skipped", 6, Upper("abcdef"), {Chunk(0, "\" YWJj\\r\\nZGVm\\t\"")}, "abcdef", ""},
        {"two chunks with index 0", 6, Upper("abcabc"), {Chunk(0, Quoted(Base64("abc"))), Chunk(0, Quoted(Base64("abc")))},
         "abcabc", ""},
        {"negative and huge indexes", 6, Upper("abcdef"),
         {Chunk(9223372036854775807, Quoted(Base64("def"))), Chunk(-5, Quoted(Base64("abc")))}, "abcdef", ""},
        {"no hash sent", 3, std::nullopt, {Chunk(0, Quoted(Base64("abc")))}, "",
         "File hash mismatch: expected , got " + Upper("abc")},
        {"empty hash", 0, "", {Chunk(0, "\"\"")}, "", "File hash mismatch: expected , got " + EmptyHash},
        {"wrong hash", 3, "ab12", {Chunk(0, Quoted(Base64("abc")))}, "", "File hash mismatch: expected ab12, got " + Upper("abc")},
        {"hash with a blank", 3, Upper("abc") + " ", {Chunk(0, Quoted(Base64("abc")))}, "",
         "File hash mismatch: expected " + Upper("abc") + " , got " + Upper("abc")},
        {"size too small", 2, Upper("abc"), {Chunk(0, Quoted(Base64("abc")))}, "", "File size mismatch: expected 2, got 3"},
        {"negative size", -1, Upper("abc"), {Chunk(0, Quoted(Base64("abc")))}, "", "File size mismatch: expected -1, got 3"},
        {"bad Base64 text", 6, Upper("abcdef"), {Chunk(1, "\"*\""), Chunk(0, Quoted(Base64("abc")))}, "", "Format_BadBase64Char"},
        {"bad Base64 length", 3, Upper("abc"), {Chunk(0, "\"YWJ\"")}, "", "Format_BadBase64Char"},
        {"null chunk data", 3, Upper("abc"), {Chunk(0, Quoted(Base64("abc"))), Chunk(1, "null")}, "",
         "ArgumentNull_Generic Arg_ParamName_Name, s"},
    };
    for (const auto& c : cases) {
        ReceiveFileListener fresh;
        ASSERT_EQ(Answer(fresh, Metadata(c.size, static_cast<std::int64_t>(c.chunks.size()), c.hash)), "OK") << c.what;
        for (std::size_t i = 0; i + 1 < c.chunks.size(); ++i) EXPECT_EQ(Answer(fresh, c.chunks[i]), "OK") << c.what;
        const auto reply = Answer(fresh, c.chunks.back());
        if (c.failure.empty()) {
            ASSERT_EQ(NameIn(reply).size(), 16u + 5u) << c.what << ": " << reply;
            EXPECT_EQ(ReadFile(Folder() / NameIn(reply)), c.content) << c.what;
            fs::remove(Folder() / NameIn(reply));
        } else {
            EXPECT_EQ(reply, "failure: " + c.failure) << c.what;
        }
        // A failed assembly leaves nothing behind.
        EXPECT_TRUE(FolderFiles().empty()) << c.what;
    }
}

// Chunks sent in index order are hashed while later ones arrive; any other order, or a new
// upload in the middle, must give the digest of the file as written all the same.
TEST_F(ReceiveFileListenerTest, HashesTheFileAsWrittenWhateverTheOrderOfItsChunks) {
    constexpr std::size_t piece = 3 * 1024 * 1024 + 1;
    std::string content(4 * piece, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 31 + i / 4093) & 0xFF);
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < 4; ++i) texts.push_back(Quoted(Base64(std::string_view(content).substr(i * piece, piece))));

    const struct {
        const char* what;
        std::vector<int> order;
    } cases[] = {
        {"in order", {0, 1, 2, 3}},
        {"in order, then one late", {0, 1, 3, 2}},
        {"last first", {3, 0, 1, 2}},
        {"reversed", {3, 2, 1, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // A first upload of other bytes, given up half-way while its hash may still be under way.
        ASSERT_EQ(Answer(listener, Metadata(static_cast<std::int64_t>(content.size()), 4, Upper("other"))), "OK");
        ASSERT_EQ(Answer(listener, Chunk(0, texts[1])), "OK");
        ASSERT_EQ(Answer(listener, Chunk(1, texts[0])), "OK");

        ASSERT_EQ(Answer(listener, Metadata(static_cast<std::int64_t>(content.size()), 4, Upper(content))), "OK");
        for (std::size_t i = 0; i + 1 < c.order.size(); ++i) ASSERT_EQ(Answer(listener, Chunk(c.order[i], texts[c.order[i]])), "OK");
        const auto reply = Answer(listener, Chunk(c.order.back(), texts[c.order.back()]));
        ASSERT_EQ(NameIn(reply).size(), 21u) << reply.substr(0, 200);
        EXPECT_TRUE(ReadFile(Folder() / NameIn(reply)) == content);
        fs::remove(Folder() / NameIn(reply));
    }
}

TEST_F(ReceiveFileListenerTest, FollowsItsStateRules) {
    EXPECT_EQ(Answer(listener, Chunk(0, "\"\"")), "failure: Metadata must be received before chunks");

    // An upload announcing no chunks, or fewer, never completes.
    for (const std::int64_t total : {0, -1}) {
        ASSERT_EQ(Answer(listener, Metadata(0, total, EmptyHash)), "OK");
        for (int i = 0; i < 3; ++i) EXPECT_EQ(Answer(listener, Chunk(0, "\"\"")), "OK") << total;
        EXPECT_TRUE(FolderFiles().empty()) << total;
    }

    // A metadata step in the middle of an upload discards what came before it.
    ASSERT_EQ(Answer(listener, Metadata(3, 2, Upper("abc"))), "OK");
    EXPECT_EQ(Answer(listener, Chunk(0, Quoted(Base64("zzz")))), "OK");
    ASSERT_EQ(Answer(listener, Metadata(3, 1, Upper("abc"))), "OK");
    const auto name = NameIn(Answer(listener, Chunk(0, Quoted(Base64("abc")))));
    EXPECT_EQ(ReadFile(Folder() / name), "abc");

    // After completion further chunks are only counted, even one that would complete a count.
    EXPECT_EQ(Answer(listener, Chunk(1, Quoted(Base64("abc")))), "OK");
    EXPECT_EQ(Answer(listener, Chunk(2, "\"*\"")), "OK");
    EXPECT_EQ(FolderFiles().size(), 1u);

    // A request that fails before its chunk is appended changes nothing.
    ASSERT_EQ(Answer(listener, Metadata(6, 2, Upper("abcdef"))), "OK");
    EXPECT_EQ(Answer(listener, Chunk(0, Quoted(Base64("abc")))), "OK");
    EXPECT_THAT(Answer(listener, R"({"action":1,"chunkIndex":"1","chunkData":"ZGVm"})"), ::testing::StartsWith("failure: "));
    EXPECT_EQ(Answer(listener, R"({"action":7})"), "failure: Invalid action Arg_ParamName_Name, Data");
    EXPECT_EQ(Answer(listener, std::nullopt), "failure: ExpectedJsonTokens LineNumber: 0 | BytePositionInLine: 0.");
    EXPECT_EQ(NameIn(Answer(listener, Chunk(1, Quoted(Base64("def"))))).size(), 21u);
}

TEST_F(ReceiveFileListenerTest, ReadsChunkMembersExactlyAsTheWireContract) {
    const std::string members[] = {
        R"("chunkIndex":"1")", R"("chunkIndex":1.0)", R"("chunkIndex":1e2)", R"("chunkIndex":-1.5)",
        R"("chunkIndex":9223372036854775808)", R"("chunkIndex":-9223372036854775809)", R"("chunkIndex":true)",
        R"("chunkIndex":[])", R"("chunkIndex":{"a":1})", R"("chunkIndex":null,"chunkData":"QUJD")",
        R"("chunkData":"QUJD","chunkIndex":null)", R"("chunkData":5)", R"("chunkData":false)",
        R"("chunkData":["QUJD"])", R"("chunkIndex":1,"chunkData":{})",
    };
    for (const auto& member : members) {
        const auto request = R"({"action":1,)" + member + "}";
        std::string expected;
        try {
            Daemon::Config::AppJsonCtx::DecodeFileChunk(Daemon::MessageListeners::RequestData::Parse(request));
        } catch (const Platform::Failure& failure) {
            expected = "failure: " + failure.Message();
        }
        ASSERT_FALSE(expected.empty()) << member;
        ASSERT_EQ(Answer(listener, Metadata(3, 1, Upper("abc"))), "OK");
        EXPECT_EQ(Answer(listener, request), expected) << member;
        // The refused chunk was not counted.
        EXPECT_EQ(NameIn(Answer(listener, Chunk(0, Quoted(Base64("abc"))))).size(), 21u) << member;
    }

    // Members left out take the record's defaults; integer edges are read whole.
    const struct {
        std::string request;
        std::optional<std::string> failure;  // none: the empty file is made
    } accepted[] = {
        {R"({"action":1})", std::nullopt},
        {R"({"action":1,"chunkIndex":-9223372036854775808,"chunkData":""})", std::nullopt},
        {R"({"action":1,"chunkIndex":-0,"chunkData":null})", "failure: ArgumentNull_Generic Arg_ParamName_Name, s"},
    };
    for (const auto& c : accepted) {
        ASSERT_EQ(Answer(listener, Metadata(0, 1, EmptyHash)), "OK");
        const auto reply = Answer(listener, c.request);
        if (c.failure) {
            EXPECT_EQ(reply, *c.failure) << c.request;
        } else {
            EXPECT_EQ(NameIn(reply).size(), 21u) << c.request << ": " << reply;
        }
    }
}

// The usual spelling of a chunk is read without the document; every spelling close to it must
// still come out as the document reads it: the same bytes, or the same failure.
TEST_F(ReceiveFileListenerTest, ReadsSpellingsNearTheUsualOneAsTheDocumentDoes) {
    const std::string head = R"({"action":1,"chunkIndex":)";
    const std::string requests[] = {
        head + R"(0,"chunkData":"YWJj"})",
        head + R"(0,"chunkData":"YQ=="})",
        head + R"(0,"chunkData":""})",
        head + "0,\"chunkData\":\"YWJj\n\"}",
        head + "0,\"chunkData\":\"YW\tJjZGVm\r\"}",
        head + R"(0,"chunkData":"YW Jj"})",
        head + R"(0,"chunkData":"YW  JjZGVm  "})",
        head + R"(0,"chunkData":"YWJ\u006A"})",
        head + R"(0,"chunkData":"YW\/j"})",
        head + R"(0,"chunkData":"YWJj\"})",
        head + R"(0,"chunkData":"YWJj","chunkData":"ZGVm"})",
        head + R"(0,"chunkData":"YWJj","more":"ZGVm"})",
        head + R"(0,"chunkData":"YWJj"} )",
        head + R"(0,"chunkData":"YWJj"}})",
        head + R"(0,"chunkData":"YQ="})",
        head + R"(0,"chunkData":"YQ==YQ=="})",
        head + R"(0,"chunkData":"Y==="})",
        head + "0,\"chunkData\":\"Yd\xC3\xA9\"}",
        head + R"(00,"chunkData":"YWJj"})",
        head + R"(-0,"chunkData":"YWJj"})",
        head + R"(1234567890123456789,"chunkData":"YWJj"})",
        head + R"(99999999999999999999,"chunkData":"YWJj"})",
        head + R"(0,"chunkData":"YWJj")",
        head + R"(0,"chunkData":")",
        head + R"(0"})",
        R"({"action":1, "chunkIndex":0,"chunkData":"YWJj"})",
    };
    for (const auto& request : requests) {
        // What the document makes of the request: the file's bytes, or the client's text, at once
        // when the request cannot be read, at the assembly when its text cannot be decoded.
        std::string bytes, refusal, undecodable;
        try {
            // A repeated member fails where the listener looks it up.
            const auto object = Daemon::MessageListeners::RequestData::Parse(request);
            Daemon::MessageListeners::RequestData::SelectStep(object);
            object.Find("chunkIndex");
            object.Find("chunkData");
            const auto chunk = Daemon::Config::AppJsonCtx::DecodeFileChunk(object);
            if (!chunk.ChunkData) {
                undecodable = "failure: ArgumentNull_Generic Arg_ParamName_Name, s";
            } else {
                try {
                    const auto decoded = Platform::Encoding::Base64::Decode(*chunk.ChunkData);
                    bytes.assign(decoded.begin(), decoded.end());
                } catch (const Platform::Failure& bad) {
                    undecodable = "failure: " + bad.Message();
                }
            }
        } catch (const Platform::Failure& refused) {
            refusal = "failure: " + refused.Message();
        }
        // Alone, and as the first of two chunks, where its reply comes before its decoding.
        for (const bool first : {false, true}) {
            SCOPED_TRACE(first ? "first of two" : "alone");
            const std::string content = first ? bytes + "abc" : bytes;
            ReceiveFileListener fresh;
            ASSERT_EQ(Answer(fresh, Metadata(static_cast<std::int64_t>(content.size()), first ? 2 : 1, Upper(content))), "OK");
            auto reply = Answer(fresh, request);
            if (!refusal.empty()) {
                EXPECT_EQ(reply, refusal) << request;
                continue;
            }
            if (first) {
                ASSERT_EQ(reply, "OK") << request;
                reply = Answer(fresh, Chunk(9223372036854775807, Quoted(Base64("abc"))));
            }
            if (!undecodable.empty()) {
                EXPECT_EQ(reply, undecodable) << request;
                continue;
            }
            ASSERT_EQ(NameIn(reply).size(), 21u) << request << ": " << reply;
            EXPECT_EQ(ReadFile(Folder() / NameIn(reply)), content) << request;
            fs::remove(Folder() / NameIn(reply));
        }
    }
}

// An upload in order is written to its file while it comes in; that file may be taken away
// meanwhile, and the upload must still end as one whole, correct file and nothing else.
TEST_F(ReceiveFileListenerTest, WritesAnUploadInOrderAsItComesInWhateverHappensToTheFileMeanwhile) {
    // Large enough to be written ahead.
    const std::string pieces[] = {std::string(3 << 20, 'a'), std::string(2 << 20, 'b'), "c"};
    const std::string content = pieces[0] + pieces[1] + pieces[2];
    for (const bool takenAway : {false, true}) {
        SCOPED_TRACE(takenAway ? "taken away" : "left alone");
        ASSERT_EQ(Answer(listener, Metadata(static_cast<std::int64_t>(content.size()), 3, Upper(content))), "OK");
        ASSERT_EQ(Answer(listener, Chunk(0, Quoted(Base64(pieces[0])))), "OK");
        ASSERT_EQ(Answer(listener, Chunk(1, Quoted(Base64(pieces[1])))), "OK");
        if (takenAway) {
            for (const auto& file : FolderFiles()) fs::remove(Folder() / file);
        }
        const auto name = NameIn(Answer(listener, Chunk(2, Quoted(Base64(pieces[2])))));
        ASSERT_EQ(name.size(), 21u);
        EXPECT_TRUE(ReadFile(Folder() / name) == content);
        EXPECT_EQ(FolderFiles().size(), 1u);
        fs::remove(Folder() / name);
    }
    // One given up for another leaves nothing of it behind.
    ASSERT_EQ(Answer(listener, Metadata(static_cast<std::int64_t>(content.size()), 3, Upper(content))), "OK");
    ASSERT_EQ(Answer(listener, Chunk(0, Quoted(Base64(pieces[0])))), "OK");
    ASSERT_EQ(Answer(listener, Metadata(0, 1, EmptyHash)), "OK");
    EXPECT_TRUE(FolderFiles().empty());
}

// The memory of bytes already hashed and in the file goes back to the system while an upload
// comes in order; an upload that then falls back to a fresh file reads them back from the
// first one, even when that one has been taken out of the folder meanwhile.
TEST_F(ReceiveFileListenerTest, ReadsBackWhatItGaveBackWhenTheUploadFallsBackToAFreshFile) {
    constexpr std::size_t piece = 1 << 20;
    constexpr int count = 12;
    std::string content(count * piece, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 131 + i / 7919) & 0xFF);
    const auto text = [&](int index) { return Quoted(Base64(std::string_view(content).substr(index * piece, piece))); };

    const struct {
        const char* what;
        std::vector<int> rest;  // after chunks 0 to 7 in order
        bool takenAway;
        bool changed = false;   // its first byte, before it was taken away
    } cases[] = {
        {"in order to the end", {8, 9, 10, 11}, false},
        {"one late at the end", {8, 10, 9, 11}, false},
        {"in order, its file taken away", {8, 9, 10, 11}, true},
        {"one late, its file taken away", {8, 10, 9, 11}, true},
        {"in order, its file changed and taken away", {8, 9, 10, 11}, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Answer(listener, Metadata(static_cast<std::int64_t>(content.size()), count, Upper(content))), "OK");
        for (int i = 0; i < 8; ++i) ASSERT_EQ(Answer(listener, Chunk(i, text(i))), "OK");
        // The file holds what came so far, so the next chunk finds it settled and gives it back.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        for (;;) {
            const auto files = FolderFiles();
            if (files.size() == 1 && fs::file_size(Folder() / files[0]) == 8 * piece) break;
            ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the first file is not written";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (c.changed) {
            std::fstream first(Folder() / FolderFiles()[0], std::ios::in | std::ios::out | std::ios::binary);
            first.put(static_cast<char>(~content[0]));
        }
        if (c.takenAway) fs::remove(Folder() / FolderFiles()[0]);
        for (std::size_t i = 0; i + 1 < c.rest.size(); ++i) ASSERT_EQ(Answer(listener, Chunk(c.rest[i], text(c.rest[i]))), "OK");
        const auto reply = Answer(listener, Chunk(c.rest.back(), text(c.rest.back())));
        // Bytes read back from a changed file never pass for the upload: the file written is the
        // one the digest was taken of.
        if (c.changed && reply.starts_with("failure: ")) {
            EXPECT_THAT(reply, MatchesRegex("failure: File hash mismatch: expected " + Upper(content) + ", got [0-9A-F]{64}"));
            EXPECT_TRUE(FolderFiles().empty());
            continue;
        }
        ASSERT_EQ(NameIn(reply).size(), 21u) << reply.substr(0, 200);
        EXPECT_TRUE(ReadFile(Folder() / NameIn(reply)) == content);
        EXPECT_EQ(FolderFiles().size(), 1u);
        fs::remove(Folder() / NameIn(reply));
    }
}

TEST_F(ReceiveFileListenerTest, RefusesAChunkThatWouldPassTheUploadBound) {
    // Room for ten bytes in three chunks, and not a byte more.
    const auto bound = 10 + 3 * ReceiveFileListener::ChunkOverheadBytes;
    const auto refused = "failure: Upload exceeds " + std::to_string(bound) + " bytes";
    ReceiveFileListener bounded(bound);
    ASSERT_EQ(Answer(bounded, Metadata(10, 3, Upper("01234567xy"))), "OK");
    EXPECT_EQ(Answer(bounded, Chunk(0, Quoted(Base64("01234567")))), "OK");
    EXPECT_EQ(Answer(bounded, Chunk(1, Quoted(Base64("x")))), "OK");
    EXPECT_EQ(Answer(bounded, Chunk(2, Quoted(Base64("ab")))), refused);
    // The refused chunk was not counted: one that fits exactly completes the upload.
    const auto reply = Answer(bounded, Chunk(2, Quoted(Base64("y"))));
    EXPECT_EQ(ReadFile(Folder() / NameIn(reply)), "01234567xy");
    EXPECT_EQ(std::string("Upload exceeds ") + std::to_string(ReceiveFileListener::MaxUploadBytes) + " bytes",
              "Upload exceeds 1073741824 bytes");
}

// Chunks cost memory to keep even when they bring no bytes, so many small or empty chunks
// must meet the bound as surely as a few large ones.
TEST_F(ReceiveFileListenerTest, HoldsNoMoreThanTheBoundWhateverTheChunkSizes) {
    constexpr std::int64_t bound = 64 * 1024;
    const std::string refused = "failure: Upload exceeds 65536 bytes";
    const struct {
        const char* what;
        std::string text;
        std::string bytes;
    } pieces[] = {
        {"empty chunks", "", ""},
        {"one-byte chunks", Base64("x"), "x"},
        {"one byte in much blank text", std::string(3000, ' ') + Base64("x"), "x"},
    };
    for (const auto& piece : pieces) {
        SCOPED_TRACE(piece.what);
        ReceiveFileListener bounded(bound);
        // An announced total far beyond what the chunks can reach.
        ASSERT_EQ(Answer(bounded, Metadata(0, std::int64_t{1} << 40, EmptyHash)), "OK");
        // What the upload holds: its share of the heap and of the process's byte regions.
        const auto held = [] {
            return static_cast<std::int64_t>(::mallinfo2().uordblks + Platform::Process::ByteRegion::CommittedInProcess());
        };
        const auto heldBefore = held();
        std::int64_t accepted = 0;
        std::string answer;
        // More chunks than the bound has bytes: the bound must stop them first.
        while (accepted < bound && (answer = Answer(bounded, Chunk(accepted, Quoted(piece.text)))) == "OK") ++accepted;
        const auto heldNow = held() - heldBefore;
        ASSERT_EQ(answer, refused) << "after " << accepted << " chunks";
        EXPECT_LE(heldNow, bound);
        // The refusal changed nothing: the same chunk is refused again.
        EXPECT_EQ(Answer(bounded, Chunk(0, Quoted(piece.text))), refused);

        // As many chunks as were accepted make a complete upload.
        std::string content;
        for (std::int64_t i = 0; i < accepted; ++i) content += piece.bytes;
        ASSERT_EQ(Answer(bounded, Metadata(static_cast<std::int64_t>(content.size()), accepted, Upper(content))), "OK");
        for (std::int64_t i = 0; i + 1 < accepted; ++i) ASSERT_EQ(Answer(bounded, Chunk(i, Quoted(piece.text))), "OK");
        const auto reply = Answer(bounded, Chunk(accepted - 1, Quoted(piece.text)));
        EXPECT_EQ(ReadFile(Folder() / NameIn(reply)), content) << reply;
    }
}

TEST_F(ReceiveFileListenerTest, ReportsFilesThatCannotBeCreated) {
    // A name the system would cut short creates nothing, not even the shorter name.
    WriteFile(Folder() / "keep", "kept");
    ASSERT_EQ(Answer(listener, Metadata(3, 1, Upper("abc"), "\"x.p\\u0000df\"")), "OK");
    EXPECT_EQ(Answer(listener, Chunk(0, Quoted(Base64("abc")))), "failure: Argument_NullCharInPath Arg_ParamName_Name, path");
    EXPECT_EQ(FolderFiles(), std::vector<fs::path>{Folder() / "keep"});

    fs::remove_all(Folder());
    ASSERT_EQ(Answer(listener, Metadata(3, 1, Upper("abc"))), "OK");
    const auto reply = Answer(listener, Chunk(0, Quoted(Base64("abc"))));
    EXPECT_THAT(reply, MatchesRegex("failure: IO_PathNotFound_Path, .*/Quillmark/[A-Z0-9]{16}_\\.pdf"));
}

}  // namespace
}  // namespace Quillmark::Tests
