#include "Daemon/Connections/NativeMessagingConnection.hpp"

#include "Daemon/Connections/CustomUrlProtocolConnection.hpp"
#include "Platform/Failure.hpp"
#include "tests/support/Frames.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

using namespace Quillmark;
using Daemon::Connections::NativeMessagingConnection;
using Daemon::Models::Message;
using Platform::CancellationToken;
using Platform::Task;
using TestSupport::Frame;
using TestSupport::LengthPrefix;

namespace {

// Input that hands out at most `piece` bytes per read, then reports the end.
struct ScriptedInput final : Platform::Runtime::IInputStream {
    std::string bytes;
    std::size_t piece = 1 << 20;
    std::size_t offset = 0;
    std::size_t largestRequest = 0;

    Task<std::size_t> ReadSomeAsync(std::span<std::uint8_t> buffer, CancellationToken) override {
        largestRequest = std::max(largestRequest, buffer.size());
        std::size_t n = std::min({buffer.size(), piece, bytes.size() - offset});
        std::copy_n(bytes.data() + offset, n, buffer.data());
        offset += n;
        co_return n;
    }
};

struct RecordingOutput final : Platform::Runtime::IOutputStream {
    std::vector<std::string> writes;
    Task<void> WriteAsync(std::span<const std::uint8_t> data, CancellationToken) override {
        writes.emplace_back(data.begin(), data.end());
        co_return;
    }
};

// Runs one operation to its end on a private loop; answers its failure, if any.
template <class Make>
std::exception_ptr RunToEnd(Make make) {
    boost::asio::io_context io;
    std::exception_ptr failure;
    bool done = false;
    boost::asio::co_spawn(io, make(), [&](std::exception_ptr e) {
        failure = e;
        done = true;
    });
    io.run_for(std::chrono::seconds(10));
    if (!done) return std::make_exception_ptr(std::runtime_error("operation did not finish"));
    return failure;
}

class Connection : public ::testing::Test {
protected:
    void Start(std::string incoming, std::size_t piece = 1 << 20) {
        auto in = std::make_shared<ScriptedInput>();
        in->bytes = std::move(incoming);
        in->piece = piece;
        input = in.get();
        auto out = std::make_shared<RecordingOutput>();
        output = out.get();
        connection = std::make_unique<NativeMessagingConnection>(
            [in](auto) { return std::make_unique<ForwardingInput>(in); },
            [out](auto) { return std::make_unique<ForwardingOutput>(out); });
        ASSERT_FALSE(RunToEnd([&] { return connection->StartAsync({}); }));
    }

    // The received message, or the failure's kind and text.
    struct Received {
        std::optional<Message> message;
        std::optional<Platform::FailureKind> kind;
        std::string text;
    };
    Received Receive() {
        Received r;
        auto failure = RunToEnd([&]() -> Task<void> { r.message = co_await connection->ReceiveMessageAsync({}); });
        if (failure) {
            r.text = Platform::MessageOf(failure);
            try {
                std::rethrow_exception(failure);
            } catch (const Platform::Failure& f) {
                r.kind = f.Kind();
            } catch (...) {
            }
        }
        return r;
    }

    struct ForwardingInput final : Platform::Runtime::IInputStream {
        std::shared_ptr<ScriptedInput> target;
        explicit ForwardingInput(std::shared_ptr<ScriptedInput> t) : target(std::move(t)) {}
        Task<std::size_t> ReadSomeAsync(std::span<std::uint8_t> b, CancellationToken t) override {
            co_return co_await target->ReadSomeAsync(b, t);
        }
    };
    struct ForwardingOutput final : Platform::Runtime::IOutputStream {
        std::shared_ptr<RecordingOutput> target;
        explicit ForwardingOutput(std::shared_ptr<RecordingOutput> t) : target(std::move(t)) {}
        Task<void> WriteAsync(std::span<const std::uint8_t> b, CancellationToken t) override {
            co_await target->WriteAsync(b, t);
        }
    };

    std::unique_ptr<NativeMessagingConnection> connection;
    ScriptedInput* input = nullptr;
    RecordingOutput* output = nullptr;
};

Message Ping() { return Message{}; }

}  // namespace

TEST_F(Connection, FramingFollowsTheLengthAloneWhateverThePieces) {
    const std::string stream = Frame(R"({"action":4})") + Frame(R"({})") + Frame(R"({"data":"x","action":2147483647})");
    for (std::size_t piece : {1u, 3u, 5u, 1000u}) {
        Start(stream, piece);
        auto first = Receive(), second = Receive(), third = Receive(), end = Receive();
        ASSERT_TRUE(first.message && second.message && third.message) << "piece " << piece << ": " << first.text;
        EXPECT_EQ(first.message->_action, 4);
        EXPECT_EQ(*second.message, Ping());
        EXPECT_EQ(third.message->Data, "x");
        EXPECT_EQ(third.message->_action, 2147483647);
        EXPECT_EQ(end.kind, Platform::FailureKind::EndOfStream);
    }
}

TEST_F(Connection, CutShortInputIsTheEndOfTheStream) {
    const std::string frame = Frame(R"({"action":0})");
    for (std::size_t cut : std::vector<std::size_t>{0, 1, 2, 3, 4, 5, frame.size() - 1}) {
        Start(frame.substr(0, cut), 1);
        EXPECT_EQ(Receive().kind, Platform::FailureKind::EndOfStream) << "cut at " << cut;
    }
}

TEST_F(Connection, RefusedFramesFailBeforeAnyPayloadIsRead) {
    struct Case {
        std::string bytes;
        Platform::FailureKind kind;
        std::string text;
    };
    const Case cases[] = {
        {LengthPrefix(-1) + "{}", Platform::FailureKind::Overflow, "Arg_OverflowException"},
        {LengthPrefix(INT32_MIN) + "{}", Platform::FailureKind::Overflow, "Arg_OverflowException"},
        {LengthPrefix(NativeMessagingConnection::MaxFrameLength + 1) + "{}", Platform::FailureKind::InputOutput,
         "Incoming frame of 67108865 bytes exceeds the limit of 67108864 bytes."},
        {Frame("null"), Platform::FailureKind::InvalidOperation, "Failed to deserialize message."},
    };
    for (const auto& c : cases) {
        Start(c.bytes);
        auto r = Receive();
        EXPECT_EQ(r.kind, c.kind) << c.text;
        EXPECT_EQ(r.text, c.text);
        if (c.kind != Platform::FailureKind::InvalidOperation) {
            EXPECT_EQ(input->offset, 4u) << c.text;
        }
    }
}

TEST_F(Connection, FrameOfExactlyTheLimitIsRead) {
    const std::string prefix = R"({"data":")", suffix = R"("})";
    // Built in place: at this size every copy counts.
    std::string frame = LengthPrefix(NativeMessagingConnection::MaxFrameLength);
    frame.reserve(4 + NativeMessagingConnection::MaxFrameLength);
    frame += prefix;
    frame.append(NativeMessagingConnection::MaxFrameLength - prefix.size() - suffix.size(), 'a');
    frame += suffix;
    Start(std::move(frame));
    auto r = Receive();
    ASSERT_TRUE(r.message) << r.text;
    EXPECT_EQ(r.message->Data->size(), NativeMessagingConnection::MaxFrameLength - 11u);
}

TEST_F(Connection, UndecodablePayloadsAreDecodeFailures) {
    for (std::string payload : {"", "{", "[1]", "nul", R"({"action":"0"})"}) {
        Start(Frame(payload));
        EXPECT_EQ(Receive().kind, Platform::FailureKind::Decode) << payload;
        EXPECT_EQ(input->offset, input->bytes.size()) << payload;
    }
}

TEST_F(Connection, MalformedUtf8BecomesReplacementCharacters) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case { std::string raw; std::string decoded; };
    const Case cases[] = {
        {"caf\xC3\xA9", "caf\xC3\xA9"},
        {"\xFF", fffd},
        {"a\x80z", "a" + fffd + "z"},
        {"\xC3", fffd},
        {"\xC0\xAF", fffd + fffd},
        {"\xE2\x82", fffd},
        {"\xE2\x82z", fffd + "z"},
        {"\xE0\x80\x80", fffd + fffd + fffd},
        {"\xED\xA0\x80", fffd + fffd + fffd},
        {"\xF0\x9F\x98", fffd},
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"\xF8\x88\x80\x80\x80", fffd + fffd + fffd + fffd + fffd},
    };
    for (const auto& c : cases) {
        Start(Frame(R"({"data":")" + c.raw + R"("})"));
        auto r = Receive();
        ASSERT_TRUE(r.message) << r.text;
        EXPECT_EQ(r.message->Data, c.decoded);
    }
}

TEST_F(Connection, ReplyIsTheLengthThenThePayloadInTwoWrites) {
    Start("");
    Message reply;
    reply.Data = "Pong";
    ASSERT_FALSE(RunToEnd([&] { return connection->SendMessageAsync(reply, {}); }));
    ASSERT_EQ(output->writes.size(), 2u);
    EXPECT_EQ(output->writes[0], std::string("\x28\x00\x00\x00", 4));
    EXPECT_EQ(output->writes[1], R"({"data":"Pong","action":0,"errorCode":0})");
}

TEST(NativeMessagingConnection, UnstartedOperationsNameTheMissingStream) {
    NativeMessagingConnection connection;
    EXPECT_EQ(Platform::MessageOf(RunToEnd([&]() -> Task<void> { co_await connection.ReceiveMessageAsync({}); })),
              "ArgumentNull_Generic Arg_ParamName_Name, stdin");
    EXPECT_EQ(Platform::MessageOf(RunToEnd([&] { return connection.SendMessageAsync(Message{}, {}); })),
              "ArgumentNull_Generic Arg_ParamName_Name, stdout");
}

TEST(CustomUrlProtocolConnection, EveryOperationFailsAsItIsCalled) {
    Daemon::Connections::CustomUrlProtocolConnection connection;
    EXPECT_THROW((void)connection.StartAsync({}), Platform::NotImplementedFailure);
    EXPECT_THROW((void)connection.ReceiveMessageAsync({}), Platform::NotImplementedFailure);
    EXPECT_THROW((void)connection.SendMessageAsync(Message{}, {}), Platform::NotImplementedFailure);
    try {
        (void)connection.StartAsync({});
    } catch (const Platform::Failure& f) {
        EXPECT_EQ(f.Message(), "Arg_NotImplementedException");
    }
}
