#include "Daemon/MessageListeners/SendFileListener.hpp"

#include "Daemon/Config/AppJsonCtx.hpp"
#include "ListenerTestSupport.hpp"
#include "Platform/Encoding/Base64.hpp"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <thread>

namespace Quillmark::Tests {
namespace {

using Daemon::MessageListeners::SendFileListener;

std::string Prepare(std::string_view nameJson) { return R"({"action":0,"fileName":)" + std::string(nameJson) + "}"; }
std::string ChunkRequest(std::string_view indexJson) { return R"({"action":1,"chunkIndex":)" + std::string(indexJson) + "}"; }
std::string ChunkRequest(std::int64_t index) { return ChunkRequest(std::to_string(index)); }

// The bytes of one chunk reply, checking its form on the way.
std::string ChunkBytes(const std::string& reply, std::int64_t index) {
    const std::string head = R"({"chunkIndex":)" + std::to_string(index) + R"(,"chunkData":")";
    EXPECT_TRUE(reply.starts_with(head) && reply.ends_with("\"}")) << reply.substr(0, 80);
    const std::string_view escaped(reply.data() + head.size(), reply.size() - head.size() - 2);
    std::string base64;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped.substr(i, 6) == "\\u002B") {
            base64 += '+';
            i += 5;
        } else {
            base64 += escaped[i];
        }
    }
    const auto bytes = Platform::Encoding::Base64::Decode(base64);
    return {bytes.begin(), bytes.end()};
}

std::string Pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

const std::string OutOfRange = "failure: Chunk index is out of range Arg_ParamName_Name, chunkIndex";
const std::string NoChunks = "failure: No chunks available to send";

class SendFileListenerTest : public TempFolderTest {
protected:
    SendFileListener listener;
};

TEST_F(SendFileListenerTest, CutsFilesIntoChunksOfAtMostHalfAMebibyte) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> chunkSizes;
    };
    const Case cases[] = {
        {1, {1}},
        {524288, {524288}},
        {524289, {524288, 1}},
        {1048576, {524288, 524288}},
        {1048577, {524288, 524288, 1}},
    };
    for (const auto& c : cases) {
        const auto content = Pattern(c.size);
        WriteFile(Folder() / "file.bin", content);
        ASSERT_EQ(Answer(listener, Prepare("\"file.bin\"")), "OK");
        std::string joined;
        for (std::size_t i = 0; i < c.chunkSizes.size(); ++i) {
            const auto bytes = ChunkBytes(Answer(listener, ChunkRequest(static_cast<std::int64_t>(i))), static_cast<std::int64_t>(i));
            EXPECT_EQ(bytes.size(), c.chunkSizes[i]) << c.size << " chunk " << i;
            joined += bytes;
        }
        EXPECT_EQ(joined, content) << c.size;
        EXPECT_EQ(Answer(listener, ChunkRequest(static_cast<std::int64_t>(c.chunkSizes.size()))), OutOfRange) << c.size;
    }
}

TEST_F(SendFileListenerTest, WritesChunksAsTheWireContractDoes) {
    WriteFile(Folder() / "plus.bin", "\xFB\xEF\xBE");
    ASSERT_EQ(Answer(listener, Prepare("\"plus.bin\"")), "OK");
    EXPECT_EQ(Answer(listener, ChunkRequest(0)), R"({"chunkIndex":0,"chunkData":"\u002B\u002B\u002B\u002B"})");

    // Every byte value, in every position of a Base64 group, with "+" and "/" at either end.
    std::string content;
    for (int i = 0; i < 3 * 256 + 2; ++i) content += static_cast<char>((i * 167) & 0xFF);
    content += "\xFB\xEF\xBE\xFF\xFF";
    const std::string prefix = "\xFF\xFF\xFF\xFB\xEF";
    WriteFile(Folder() / "all.bin", prefix + content + std::string(524288 - prefix.size() - content.size(), '\x3E') + "\xFB");
    ASSERT_EQ(Answer(listener, Prepare("\"all.bin\"")), "OK");
    const auto file = ReadFile(Folder() / "all.bin");
    for (std::int64_t i : {0, 1}) {
        Daemon::Models::FileChunk chunk;
        chunk.ChunkIndex = i;
        const auto piece = std::string_view(file).substr(static_cast<std::size_t>(i) * 524288, 524288);
        chunk.ChunkData = Platform::Encoding::Base64::Encode({reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size()});
        EXPECT_EQ(Answer(listener, ChunkRequest(i)), Daemon::Config::AppJsonCtx::EncodeFileChunk(chunk)) << i;
    }
}

TEST_F(SendFileListenerTest, HandsOutChunksInAnyOrderUntilTheNextPrepare) {
    const auto content = Pattern(3 * 524288);
    WriteFile(Folder() / "a.bin", content);
    ASSERT_EQ(Answer(listener, Prepare("\"a.bin\"")), "OK");
    const auto first = Answer(listener, ChunkRequest(0));
    for (std::int64_t i = 2; i >= 0; --i) {
        EXPECT_EQ(ChunkBytes(Answer(listener, ChunkRequest(i)), i), content.substr(static_cast<std::size_t>(i) * 524288, 524288));
    }
    EXPECT_EQ(Answer(listener, ChunkRequest(0)), first);

    // The chunks were cut at the prepare step; a later change to the file is not seen.
    WriteFile(Folder() / "a.bin", "changed");
    EXPECT_EQ(Answer(listener, ChunkRequest(0)), first);
    // A prepare that fails before opening its file keeps the earlier chunks.
    EXPECT_EQ(Answer(listener, Prepare("\"missing.bin\"")), "failure: File missing.bin does not exist");
    EXPECT_EQ(Answer(listener, ChunkRequest(2)), Answer(listener, ChunkRequest(2)));
    EXPECT_EQ(ChunkBytes(Answer(listener, ChunkRequest(1)), 1), content.substr(524288, 524288));

    // An empty file leaves no chunks at all.
    WriteFile(Folder() / "empty.bin", "");
    ASSERT_EQ(Answer(listener, Prepare("\"empty.bin\"")), "OK");
    EXPECT_EQ(Answer(listener, ChunkRequest(0)), NoChunks);
}

// Replies to the next chunk are made ahead; one made from a file prepared before must never
// answer for the file prepared since, nor one made for another index.
TEST_F(SendFileListenerTest, ChunksFetchedInOrderComeFromTheFilePreparedLast) {
    const auto first = Pattern(3 * 524288);
    auto second = first;
    for (auto& c : second) c = static_cast<char>(~c);
    WriteFile(Folder() / "a.bin", first);
    WriteFile(Folder() / "b.bin", second);
    const std::vector<std::int64_t> orders[] = {{0, 1, 2}, {1, 0, 2}, {2, 1, 0}};
    for (const auto& order : orders) {
        SCOPED_TRACE(::testing::PrintToString(order));
        ASSERT_EQ(Answer(listener, Prepare("\"a.bin\"")), "OK");
        EXPECT_EQ(ChunkBytes(Answer(listener, ChunkRequest(0)), 0), first.substr(0, 524288));
        ASSERT_EQ(Answer(listener, Prepare("\"b.bin\"")), "OK");
        for (const auto i : order) {
            EXPECT_EQ(ChunkBytes(Answer(listener, ChunkRequest(i)), i), second.substr(static_cast<std::size_t>(i) * 524288, 524288));
        }
    }
}

TEST_F(SendFileListenerTest, AnswersBadChunkRequestsWithTheirTexts) {
    const struct {
        std::string request;
        std::string beforePrepare;
        std::string afterPrepare;
    } cases[] = {
        {ChunkRequest(0), NoChunks, "<chunk>"},
        {ChunkRequest(-1), NoChunks, OutOfRange},
        {ChunkRequest(2), NoChunks, OutOfRange},
        {R"({"action":1})", "failure: ArgumentNull_Generic Arg_ParamName_Name, Data",
         "failure: ArgumentNull_Generic Arg_ParamName_Name, Data"},
        {ChunkRequest("null"), "failure: ArgumentNull_Generic Arg_ParamName_Name, Data",
         "failure: ArgumentNull_Generic Arg_ParamName_Name, Data"},
        {ChunkRequest("1.0"), "failure: NodeUnableToConvertElement, Number, System.Int32",
         "failure: NodeUnableToConvertElement, Number, System.Int32"},
        {ChunkRequest("2147483648"), "failure: NodeUnableToConvertElement, Number, System.Int32",
         "failure: NodeUnableToConvertElement, Number, System.Int32"},
        {ChunkRequest("\"0\""), "failure: NodeUnableToConvertElement, String, System.Int32",
         "failure: NodeUnableToConvertElement, String, System.Int32"},
        {ChunkRequest("[0]"), "failure: NodeWrongType, JsonValue", "failure: NodeWrongType, JsonValue"},
        {R"({"action":2,"chunkIndex":0})", "failure: Invalid action Arg_ParamName_Name, Data",
         "failure: Invalid action Arg_ParamName_Name, Data"},
    };
    for (const auto& c : cases) EXPECT_EQ(Answer(listener, c.request), c.beforePrepare) << c.request;
    WriteFile(Folder() / "two.bin", Pattern(524289));
    ASSERT_EQ(Answer(listener, Prepare("\"two.bin\"")), "OK");
    for (const auto& c : cases) {
        const auto answer = Answer(listener, c.request);
        if (c.afterPrepare == "<chunk>") {
            EXPECT_TRUE(answer.starts_with(R"({"chunkIndex":0,)")) << c.request;
        } else {
            EXPECT_EQ(answer, c.afterPrepare) << c.request;
        }
    }
}

TEST_F(SendFileListenerTest, RefusesPreparesOfFilesItMustNotServe) {
    WriteFile(tmp_ / "outside.txt", "secret");
    fs::create_directories(Folder() / "sub");
    WriteFile(Folder() / "sub" / "inner.txt", "ok");
    // Opening a pipe for reading would wait for a writer that never comes.
    ASSERT_EQ(::mkfifo((Folder() / "pipe").c_str(), 0600), 0);
    // Links planted in the folder are never followed, whether they lead out of it or not.
    fs::create_symlink(tmp_ / "outside.txt", Folder() / "out-link");
    fs::create_symlink("sub/inner.txt", Folder() / "in-link");
    fs::create_directory_symlink(tmp_, Folder() / "dir-link");
    fs::create_directory_symlink(Folder() / "sub", Folder() / "sub-link");
    WriteFile(Folder() / "keep.bin", "kept");
    ASSERT_EQ(Answer(listener, Prepare("\"keep.bin\"")), "OK");
    const std::string kept = Answer(listener, ChunkRequest(0));

    const struct {
        std::string nameJson;
        std::string answer;
    } cases[] = {
        {"\"nope.bin\"", "failure: File nope.bin does not exist"},
        {"\"\"", "failure: File  does not exist"},
        {"\"sub\"", "failure: File sub does not exist"},
        {"\"pipe\"", "failure: File pipe does not exist"},
        {"\"out-link\"", "failure: File out-link does not exist"},
        {"\"in-link\"", "failure: File in-link does not exist"},
        {"\"dir-link/outside.txt\"", "failure: File dir-link/outside.txt does not exist"},
        {"\"sub-link/inner.txt\"", "failure: File sub-link/inner.txt does not exist"},
        {"\"../outside.txt\"", "failure: File ../outside.txt does not exist"},
        {"\"sub/../../outside.txt\"", "failure: File sub/../../outside.txt does not exist"},
        {"\"..\\\\outside.txt\"", "failure: File ..\\outside.txt does not exist"},
        {"\"" + (tmp_ / "outside.txt").string() + "\"", "failure: File " + (tmp_ / "outside.txt").string() + " does not exist"},
        {"null", "failure: ArgumentNull_Generic Arg_ParamName_Name, Data"},
        {"7", "failure: NodeUnableToConvertElement, Number, System.String"},
        {"true", "failure: NodeUnableToConvertElement, True, System.String"},
        {"{}", "failure: NodeWrongType, JsonValue"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Answer(listener, Prepare(c.nameJson)), c.answer) << c.nameJson;
        EXPECT_EQ(Answer(listener, ChunkRequest(0)), kept) << c.nameJson;
    }
    EXPECT_EQ(Answer(listener, R"({"action":0})"), "failure: ArgumentNull_Generic Arg_ParamName_Name, Data");

    // Names that stay inside the folder are served, through subfolders too.
    ASSERT_EQ(Answer(listener, Prepare("\"sub/./inner.txt\"")), "OK");
    EXPECT_EQ(ChunkBytes(Answer(listener, ChunkRequest(0)), 0), "ok");
}

// A pipe swapped in for the file between any two steps of a prepare must not hold it: a reader
// that opens a pipe waits for a writer that never comes. The swap is one atomic exchange of two
// names, so the file is always there under one name or the other.
TEST_F(SendFileListenerTest, APipeSwappedInForTheFileIsNeverWaitedOn) {
    const auto file = Folder() / "doc.bin";
    const auto spare = Folder() / "spare";
    WriteFile(file, "content");
    ASSERT_EQ(::mkfifo(spare.c_str(), 0600), 0);
    const auto wchan = "/proc/self/task/" + std::to_string(::gettid()) + "/wchan";

    std::atomic<bool> done = false;
    std::atomic<int> waits = 0;
    std::thread swapper([&] {
        while (!done) {
            ::renameat2(AT_FDCWD, file.c_str(), AT_FDCWD, spare.c_str(), RENAME_EXCHANGE);
            if (ReadFile(wchan).starts_with("wait_for_partner")) {
                ++waits;
                // Become the writer it waits for, so that the test goes on to report it.
                for (const auto& name : {file, spare}) {
                    const int fd = ::open(name.c_str(), O_WRONLY | O_NONBLOCK);
                    if (fd >= 0) ::close(fd);
                }
            }
        }
    });
    std::string unexpected;
    for (int i = 0; i < 20000 && unexpected.empty() && waits == 0; ++i) {
        auto answer = Answer(listener, Prepare("\"doc.bin\""));
        if (answer != "OK" && answer != "failure: File doc.bin does not exist") unexpected = std::move(answer);
    }
    done = true;
    swapper.join();
    EXPECT_EQ(waits, 0) << "the prepare waited on the pipe";
    EXPECT_EQ(unexpected, "");
}

// True while this process holds the file open.
bool IsOpen(const fs::path& file) {
    const auto target = fs::canonical(file);
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec) == target) return true;
    }
    return false;
}

TEST_F(SendFileListenerTest, AFailedCutKeepsItsFileOpenUntilAPrepareFindsAFile) {
    SendFileListener bounded(600000);
    WriteFile(Folder() / "old.bin", "old");
    WriteFile(Folder() / "new.bin", Pattern(600000));
    WriteFile(Folder() / "big.bin", Pattern(600001));
    std::stop_source stop;
    stop.request_stop();
    auto failCut = [&] {
        EXPECT_THROW(Call(bounded, Prepare("\"new.bin\""), stop.get_token()), Platform::CancellationFailure);
        EXPECT_TRUE(IsOpen(Folder() / "new.bin"));
    };

    ASSERT_EQ(Answer(bounded, Prepare("\"old.bin\"")), "OK");
    failCut();
    // The list was emptied when the new file was opened.
    EXPECT_EQ(Answer(bounded, ChunkRequest(0)), NoChunks);
    // Prepares that find no file close nothing.
    EXPECT_EQ(Answer(bounded, Prepare("\"missing.bin\"")), "failure: File missing.bin does not exist");
    EXPECT_EQ(Answer(bounded, Prepare("\"../new.bin\"")), "failure: File ../new.bin does not exist");
    EXPECT_EQ(Answer(bounded, R"({"action":0})"), "failure: ArgumentNull_Generic Arg_ParamName_Name, Data");
    EXPECT_TRUE(IsOpen(Folder() / "new.bin"));
    // One that finds its file closes it, even when it then refuses that file.
    EXPECT_EQ(Answer(bounded, Prepare("\"big.bin\"")), "failure: File big.bin is too large to send");
    EXPECT_FALSE(IsOpen(Folder() / "new.bin"));

    failCut();
    ASSERT_EQ(Answer(bounded, Prepare("\"new.bin\"")), "OK");
    EXPECT_FALSE(IsOpen(Folder() / "new.bin"));
    EXPECT_EQ(ChunkBytes(Answer(bounded, ChunkRequest(1)), 1), Pattern(600000).substr(524288));
}

TEST_F(SendFileListenerTest, RefusesAFileOverTheBound) {
    SendFileListener bounded(10);
    WriteFile(Folder() / "small.bin", "0123456789");
    WriteFile(Folder() / "big.bin", "0123456789A");
    ASSERT_EQ(Answer(bounded, Prepare("\"small.bin\"")), "OK");
    EXPECT_EQ(Answer(bounded, Prepare("\"big.bin\"")), "failure: File big.bin is too large to send");
    EXPECT_EQ(ChunkBytes(Answer(bounded, ChunkRequest(0)), 0), "0123456789");
    EXPECT_EQ(SendFileListener::MaxFileBytes, 1073741824);
}

}  // namespace
}  // namespace Quillmark::Tests
