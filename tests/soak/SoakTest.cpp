// Hundreds of transfers of random sizes over each transport, mixed with clients that break
// the rules, leave mid-message, go silent and come back. Afterwards the daemon must still
// answer, every completed upload must be in its temporary folder byte for byte, nothing else
// may be there, and its memory must stay within a stated bound.
#include "tests/soak/TransferClient.hpp"
#include "tests/support/AppSandbox.hpp"
#include "tests/support/DaemonProcess.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>

namespace {

using namespace Quillmark::TestSupport;
namespace fs = std::filesystem;

constexpr std::uint64_t Seed = 20261210;
// The largest file is 8 MiB; the daemon holds an upload's bytes, the file's and one reply at
// a time, so its peak stays far below this. The sanitizer build's shadow memory and
// quarantine make RSS meaningless there; it is reported only.
constexpr std::int64_t PeakBoundKiB = 128 * 1024;
// Memory after the soak may exceed what it was after the warm-up by a fixed allowance for the
// heap's settling and a little for each transfer since (together 32 MiB over 450 transfers).
constexpr std::int64_t GrowthBoundKiB = 16 * 1024;
constexpr std::int64_t GrowthPerTransferKiB = 36;
constexpr int WarmUpTransfers = 50;
// Each transport's soak runs as this many daemons side by side, each with its own seed and its
// share of the transfers, so that the suite does not wait for one long run.
constexpr int Shards = 2;

// This shard's share of the transfers (QUILLMARK_SOAK_TRANSFERS, 500 by default, in all).
int TransferCount() {
    const char* text = std::getenv("QUILLMARK_SOAK_TRANSFERS");
    return (text ? std::atoi(text) : 500) / Shards;
}

// Mostly small files, some around a megabyte, a few up to 8 MiB.
std::size_t RandomSize(std::mt19937_64& random) {
    const auto roll = random() % 100;
    if (roll < 70) return random() % 65537;
    if (roll < 93) return 65536 + random() % (1u << 20);
    return (1u << 20) + random() % ((7u << 20) + 1);
}

// From a thousand bytes to a mebibyte, but no more than a thousand chunks to a file: uploads
// of many chunks stay many without each taking thousands of round trips.
std::size_t RandomChunkBytes(std::mt19937_64& random, std::size_t fileBytes) {
    static constexpr std::size_t Sizes[] = {1000, 4096, 65536, 393216, 524288, 1u << 20};
    std::size_t i = random() % std::size(Sizes);
    while (fileBytes / Sizes[i] >= 1000) ++i;
    return Sizes[i];
}

// What the daemon's temporary folder must hold: the completed uploads and nothing else.
struct Ledger {
    std::map<std::string, std::string> completed;  // file name -> SHA-256

    void Check(const fs::path& folder) const {
        std::set<std::string> found;
        for (const auto& entry : fs::directory_iterator(folder)) {
            const auto name = entry.path().filename().string();
            found.insert(name);
            const auto expected = completed.find(name);
            if (expected == completed.end()) {
                ADD_FAILURE() << "left in the temporary folder: " << name << " (" << fs::file_size(entry) << " bytes)";
                continue;
            }
            const auto text = ReadFile(entry.path());
            EXPECT_EQ(Sha256Hex({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}), expected->second)
                << name;
        }
        for (const auto& [name, hash] : completed) EXPECT_TRUE(found.count(name)) << "missing upload " << name;
    }
};

class Soak {
public:
    explicit Soak(std::uint64_t seed) : random_(seed) {}

    // Upload then download one random file; false when the exchange broke (already reported).
    bool RoundTrip(Channel& channel) {
        const auto bytes = RandomBytes(RandomSize(random_), random_());
        UploadOptions options;
        options.chunkBytes = RandomChunkBytes(random_, bytes.size());
        const auto upload = Upload(channel, bytes, options);
        if (!upload.completed) {
            ADD_FAILURE() << "upload of " << bytes.size() << " bytes: " << upload.problem << " "
                          << (upload.last ? upload.last->errorMessage.value_or("") : "");
            return false;
        }
        ledger.completed[upload.fileName] = Sha256Hex(bytes);
        std::string problem;
        const auto back = Download(channel, upload.fileName, &problem);
        if (!back) {
            ADD_FAILURE() << "download of " << upload.fileName << ": " << problem;
            return false;
        }
        EXPECT_TRUE(*back == bytes) << upload.fileName << " came back different";
        ++transfers;
        return true;
    }

    // A client error the daemon must answer (or, for an unknown action, ignore) and survive.
    bool Misbehave(Channel& channel, int kind) {
        const auto bytes = RandomBytes(1 + random_() % 200000, random_());
        UploadOptions options;
        options.chunkBytes = 50000;
        std::optional<Reply> reply;
        switch (kind % 7) {
        case 0:
            options.corruptChunk = true;
            reply = Upload(channel, bytes, options).last;
            return Expect(reply, "Format_BadBase64Char", "a chunk that is not Base64");
        case 1:
            options.hash = std::string(64, 'A');
            reply = Upload(channel, bytes, options).last;
            return Expect(reply, "File hash mismatch: expected " + std::string(64, 'A') + ", got " + Sha256Hex(bytes),
                          "a wrong hash");
        case 2:
            options.fileSize = static_cast<std::int64_t>(bytes.size()) + 1;
            reply = Upload(channel, bytes, options).last;
            return Expect(reply,
                          "File size mismatch: expected " + std::to_string(bytes.size() + 1) + ", got " +
                              std::to_string(bytes.size()),
                          "a wrong size");
        case 3: {
            // Half an upload, then the next upload starts over with its own metadata.
            options.chunkBytes = 1000;
            reply = Request(channel, 1, R"({"action":0,"originalFileName":"x.pdf","fileSize":5,"totalChunks":9,"fileHash":""})");
            if (!reply || reply->data != "OK") return Expect(reply, "", "metadata of an abandoned upload");
            reply = Request(channel, 1, R"({"action":1,"chunkIndex":0,"chunkData":"aGVsbG8="})");
            return reply && reply->data == "OK";
        }
        case 4:
            reply = Request(channel, 1, "{\"action\":1,");
            return ExpectError(reply, "request data that is not JSON");
        case 5:
            reply = Request(channel, 2, R"({"action":0,"fileName":"../../etc/passwd"})");
            return Expect(reply, "File ../../etc/passwd does not exist", "a name outside the folder");
        default: {
            // No listener answers 5: the next reply must be the ping's.
            if (!channel.Send(R"({"action":5,"data":"x"})")) return false;
            reply = Request(channel, 0, std::nullopt);
            const bool pong = reply && reply->action == 0 && reply->data == "Pong";
            EXPECT_TRUE(pong) << "an unknown action was answered";
            return pong;
        }
        }
    }

    Ledger ledger;
    int transfers = 0;
    std::mt19937_64 random_;

private:
    static bool ExpectError(const std::optional<Reply>& reply, const char* what) {
        const bool ok = reply && reply->errorCode == 2 && reply->errorMessage && !reply->data;
        EXPECT_TRUE(ok) << what << ": not answered with an error reply";
        return reply.has_value();
    }
    static bool Expect(const std::optional<Reply>& reply, const std::string& message, const char* what) {
        EXPECT_TRUE(reply && reply->errorCode == 2 && reply->errorMessage == message)
            << what << ": " << (reply ? reply->errorMessage.value_or("(no error)") : "(no reply)");
        return reply.has_value();
    }
};

bool Pong(Channel& channel) {
    const auto reply = Request(channel, 0, std::nullopt);
    return reply && reply->action == 0 && reply->errorCode == 0 && reply->data == "Pong";
}

void CheckMemory(const char* transport, MemoryUse warm, MemoryUse end, int transfersSinceWarmUp) {
    std::printf("%s soak: RSS after warm-up %lld KiB, at the end %lld KiB, peak %lld KiB\n", transport,
                static_cast<long long>(warm.rssKiB), static_cast<long long>(end.rssKiB),
                static_cast<long long>(end.peakKiB));
#if defined(__SANITIZE_ADDRESS__)
    (void)PeakBoundKiB;
    (void)GrowthBoundKiB;
    (void)GrowthPerTransferKiB;
    (void)transfersSinceWarmUp;
#else
    EXPECT_LE(end.peakKiB, PeakBoundKiB);
    if (warm.rssKiB >= 0) {  // a short soak has no warm-up
        EXPECT_LE(end.rssKiB, warm.rssKiB + GrowthBoundKiB + GrowthPerTransferKiB * transfersSinceWarmUp);
    }
#endif
}

class Shard : public ::testing::TestWithParam<int> {};

}  // namespace

TEST_P(Shard, NativeMessagingTransfersAndClientErrors) {
    AppSandbox box;
    DaemonProcess daemon(box, {"chrome-extension://soak/"});
    PipeChannel pipe(daemon);
    Soak soak(Seed + 2 * static_cast<std::uint64_t>(GetParam()));
    MemoryUse warm;
    const int count = TransferCount();
    for (int i = 0; i < count; ++i) {
        if (i % 17 == 5) {
            ASSERT_TRUE(soak.Misbehave(pipe, i / 17)) << "daemon gone; " << box.ReadStderr();
        }
        ASSERT_TRUE(soak.RoundTrip(pipe)) << "transfer " << i << "; " << box.ReadStderr();
        if (i + 1 == WarmUpTransfers) warm = MemoryOf(daemon.Pid());
    }
    ASSERT_TRUE(Pong(pipe));
    CheckMemory("native messaging", warm, MemoryOf(daemon.Pid()), count - WarmUpTransfers);
    soak.ledger.Check(box.TempFolder());

    // The browser goes in the middle of a frame: a normal end, and no partial file.
    daemon.WriteRaw(LengthPrefix(100000) + R"({"action":1,"data":"{\"action\":1,\"chunkIndex\")");
    daemon.CloseStdin();
    EXPECT_EQ(daemon.WaitExit(std::chrono::seconds(30)), 0);
    soak.ledger.Check(box.TempFolder());
}

TEST(Soak, ASilentWebSocketClientGivesWayToTheOneQueuedBehindIt) {
    // The daemon built with a client limit of two seconds instead of a minute.
    AppSandbox box;
    box.UseDaemon("Quillmark.Daemon.ShortClientLimit");
    const auto port = FreeTcpPort();
    DaemonProcess daemon(box, {"quillmark://start-ws?port=" + std::to_string(port)});
    ASSERT_TRUE(box.WaitForLog("Đang chờ kết nối WebSocket mới...", std::chrono::seconds(20))) << box.ReadStderr();
    Soak soak(Seed + 2 * Shards);

    WsChannel silent;
    ASSERT_TRUE(silent.Connect(port));
    ASSERT_TRUE(box.WaitForLog("Client đã kết nối WebSocket."));
    WsChannel queued;
    ASSERT_TRUE(queued.ConnectTcp(port));
    ASSERT_TRUE(queued.Handshake(std::chrono::seconds(30))) << "the queued client was never accepted";
    EXPECT_TRUE(silent.WaitClosedByPeer(std::chrono::seconds(5)));
    EXPECT_TRUE(box.WaitForLog("Client không phản hồi sau 2s. Ngắt kết nối zombie."));
    ASSERT_TRUE(Pong(queued));
    ASSERT_TRUE(soak.RoundTrip(queued));
    ASSERT_TRUE(queued.Close());
    soak.ledger.Check(box.TempFolder());
}

TEST_P(Shard, WebSocketClientsComeGoAndMisbehave) {
    AppSandbox box;
    const auto port = FreeTcpPort();
    DaemonProcess daemon(box, {"quillmark://start-ws?port=" + std::to_string(port)});
    ASSERT_TRUE(box.WaitForLog("Đang chờ kết nối WebSocket mới...", std::chrono::seconds(20))) << box.ReadStderr();
    Soak soak(Seed + 1 + 2 * static_cast<std::uint64_t>(GetParam()));

    MemoryUse warm;
    int sessions = 0;
    const int count = TransferCount();
    while (soak.transfers < count) {
        ++sessions;
        if (sessions % 9 == 0) {
            EXPECT_EQ(PlainHttpStatus(port), 400);
        }
        WsChannel client;
        ASSERT_TRUE(client.Connect(port)) << "session " << sessions << "; " << box.ReadStderr();
        const int round = 1 + static_cast<int>(soak.random_() % 12);
        for (int i = 0; i < round && soak.transfers < count; ++i) {
            if (soak.random_() % 10 == 0) {
                ASSERT_TRUE(soak.Misbehave(client, static_cast<int>(soak.random_() % 7)));
            }
            ASSERT_TRUE(soak.RoundTrip(client)) << "session " << sessions;
            if (soak.transfers == WarmUpTransfers) warm = MemoryOf(daemon.Pid());
        }
        switch (sessions % 6) {
        case 0:
            ASSERT_TRUE(client.Close());
            EXPECT_EQ(client.CloseCode(), 1000);
            EXPECT_EQ(client.CloseReason(), "Client closed connection");
            break;
        case 1:
            client.Drop();
            break;
        case 2:
            // Leaves in the middle of a message.
            client.SendPartial(R"({"action":1,"data":"{\"action\":1,)");
            client.Drop();
            break;
        case 3:
            // A message that is no request: no reply, the client is closed, the daemon stays.
            ASSERT_TRUE(client.Send("this is not JSON"));
            EXPECT_FALSE(client.Receive(std::chrono::seconds(10)));
            EXPECT_TRUE(client.WaitClosedByPeer(std::chrono::seconds(10)));
            EXPECT_EQ(client.CloseCode(), 1007);
            break;
        case 4:
            // An unmasked frame breaks the protocol.
            client.SendRaw(std::string("\x81\x05hello", 7));
            EXPECT_TRUE(client.WaitClosedByPeer(std::chrono::seconds(10)));
            break;
        default:
            // Half an upload, then gone; the next client's upload starts over.
            Request(client, 1, R"({"action":0,"originalFileName":"x.pdf","fileSize":5,"totalChunks":3,"fileHash":""})");
            client.SendPartial(R"({"action":1,"data":"{\"action\":1,\"chunkIndex\":0,\"chunkData\":\"aGVs)");
            client.Drop();
            break;
        }
    }

    WsChannel last;
    ASSERT_TRUE(last.Connect(port));
    ASSERT_TRUE(Pong(last));
    CheckMemory("WebSocket", warm, MemoryOf(daemon.Pid()), count - WarmUpTransfers);
    soak.ledger.Check(box.TempFolder());
    const auto stop = Request(last, 2147483647, std::nullopt);
    EXPECT_TRUE(stop && stop->data == "OK" && stop->action == 2147483647);
    EXPECT_EQ(daemon.WaitExit(std::chrono::seconds(30)), 0);
    std::printf("WebSocket soak: %d sessions, %d transfers\n", sessions, soak.transfers);
}

INSTANTIATE_TEST_SUITE_P(Soak, Shard, ::testing::Range(0, Shards));
