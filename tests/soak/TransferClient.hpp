#pragma once
// A client of the daemon's wire protocol for process tests: requests and replies over native
// messaging pipes or a WebSocket, uploads and downloads in chunks, and the independent
// checks (SHA-256 and Base64 from OpenSSL, JSON from RapidJSON) used to judge the daemon.
//
//   DaemonProcess daemon(box, {"chrome-extension://x/"});
//   PipeChannel pipe(daemon);
//   auto name = Upload(pipe, bytes, 65536);
//   EXPECT_EQ(Download(pipe, name.fileName), bytes);

#include "tests/support/DaemonProcess.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace Quillmark::TestSupport {

using Bytes = std::vector<std::uint8_t>;
inline constexpr std::chrono::milliseconds ReplyWait{30000};

struct Reply {
    std::int32_t action = 0;
    std::int32_t errorCode = 0;
    std::optional<std::string> data;
    std::optional<std::string> errorMessage;
};
// A reply's JSON text as any client would read it; nothing when it is not a reply object.
std::optional<Reply> ParseReply(std::string_view json);
// The same, parsing the text where it lies (it is overwritten).
std::optional<Reply> ParseReplyInPlace(std::string& json);

// One message out, one message in.
class Channel {
public:
    virtual ~Channel() = default;
    virtual bool Send(std::string_view json) = 0;
    // The next message; nothing when the peer has gone or the wait runs out.
    virtual std::optional<std::string> Receive(std::chrono::milliseconds timeout) = 0;
};

class PipeChannel final : public Channel {
public:
    explicit PipeChannel(DaemonProcess& daemon) : daemon_(daemon) {}
    bool Send(std::string_view json) override { return daemon_.WriteFrame(json); }
    std::optional<std::string> Receive(std::chrono::milliseconds timeout) override {
        return daemon_.ReadFrame(timeout);
    }

private:
    DaemonProcess& daemon_;
};

// A WebSocket client (Boost.Beast, masked frames) on 127.0.0.1; every wait is bounded.
class WsChannel final : public Channel {
public:
    WsChannel();
    ~WsChannel() override;
    // Opens the TCP connection and completes the handshake.
    bool Connect(std::uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Opens the TCP connection only: the handshake waits (for a client queued behind another).
    bool ConnectTcp(std::uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool Handshake(std::chrono::milliseconds timeout);
    bool Send(std::string_view json) override;
    // The first frames of a text message that never ends.
    bool SendPartial(std::string_view text);
    std::optional<std::string> Receive(std::chrono::milliseconds timeout) override;
    // Bytes straight onto the TCP connection, below the WebSocket framing.
    bool SendRaw(std::string_view bytes);
    // Sends a close frame and waits for the daemon's; false when none came.
    bool Close(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The TCP connection goes without a closing handshake.
    void Drop();
    // The close code and reason the daemon sent, once a Receive met its close frame.
    std::uint16_t CloseCode() const;
    std::string CloseReason() const;
    // True once the daemon has closed or dropped the connection (waits up to timeout).
    bool WaitClosedByPeer(std::chrono::milliseconds timeout);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// An HTTP/1.1 request that is not an upgrade; the status code, or 0 when none came.
int PlainHttpStatus(std::uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(10));

std::string Sha256Hex(std::span<const std::uint8_t> bytes);  // upper case
std::string ToBase64(std::span<const std::uint8_t> bytes);
std::optional<Bytes> FromBase64(std::string_view text);
// Decodes onto the end of bytes; false (bytes as they were) when the text is not Base64.
bool AppendBase64(std::string_view text, Bytes& bytes);
// The text as a JSON string literal, quotes included.
std::string JsonQuote(std::string_view text);
Bytes RandomBytes(std::size_t count, std::uint64_t seed);

// Sends one request and reads its reply; nothing when none arrives.
std::optional<Reply> Request(Channel& channel, std::int32_t action, std::optional<std::string> data,
                             std::chrono::milliseconds timeout = ReplyWait);

struct UploadOutcome {
    bool completed = false;      // the success reply came
    std::string fileName;        // the daemon's name for the file
    std::optional<Reply> last;   // the last reply (the error reply of a failed assembly)
    std::string problem;         // why the exchange itself broke, for failure messages
};
struct UploadOptions {
    std::size_t chunkBytes = 65536;
    std::string originalFileName = "document.pdf";
    std::optional<std::string> hash;  // the true hash when absent
    std::optional<std::int64_t> fileSize;
    bool corruptChunk = false;  // one chunk holds text that is not Base64
};
UploadOutcome Upload(Channel& channel, std::span<const std::uint8_t> bytes, const UploadOptions& options = {});
// The file as the daemon serves it; nothing when a step fails.
std::optional<Bytes> Download(Channel& channel, std::string_view fileName, std::string* problem = nullptr);

// The daemon's resident set now and at its peak, in KiB (Linux /proc).
struct MemoryUse {
    std::int64_t rssKiB = -1;
    std::int64_t peakKiB = -1;
};
MemoryUse MemoryOf(int pid);

}  // namespace Quillmark::TestSupport
