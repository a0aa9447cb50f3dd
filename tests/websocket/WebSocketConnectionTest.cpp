#include "Daemon/Connections/WebSocketConnection.hpp"

#include "Platform/Failure.hpp"
#include "tests/websocket/RawClient.hpp"
#include "tests/websocket/TransportHarness.hpp"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>

#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace Quillmark::Tests;
using Quillmark::Daemon::Connections::WebSocketConnection;

constexpr const char* Waiting = "Đang chờ kết nối WebSocket mới...";
constexpr const char* Connected = "Client đã kết nối WebSocket.";
constexpr const char* Lost = "[Warn] Mất kết nối WebSocket: ";

template <class Future>
void RunUntilReady(boost::asio::io_context& io, Future& future) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    io.restart();
    while (future.wait_for(0s) != std::future_status::ready && std::chrono::steady_clock::now() < deadline)
        io.run_one_for(10ms);
}

// The next client can still connect and be served: nothing a client did ended the server.
void ExpectServes(TransportHarness& server) {
    RawClient next(server.Port());
    const auto head = next.Upgrade();
    ASSERT_TRUE(head);
    ASSERT_NE(head->find("101"), std::string::npos) << *head;
    EXPECT_EQ(next.Request(R"({"action":0,"data":"again"})"), R"({"data":"again","action":0,"errorCode":0})");
    ASSERT_TRUE(server.NextMessage());
    ASSERT_TRUE(next.Send(ClientFrame(8, ClosePayload(1000))));
    EXPECT_TRUE(next.WaitClosed());
}

// Each bad client cost one Warn line and itself only: the receive never failed.
void ExpectOnlyClientsDropped(TransportHarness& server, const PrivateLog& log, std::string_view line, std::size_t times) {
    ExpectServes(server);
    EXPECT_EQ(log.Count(line), times);
    EXPECT_FALSE(server.ReceiveFailure(0ms));
}

class WebSocketConnectionTest : public ::testing::Test {
protected:
    PrivateLog log;
};

TEST_F(WebSocketConnectionTest, RequestsThatAreNotUpgradesGetAnEmpty400) {
    TransportHarness server;
    for (const std::string request :
         {"GET /anything?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
          "POST / HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nhello",
          "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: h2c\r\nConnection: Upgrade\r\n\r\n"}) {
        RawClient client(server.Port());
        ASSERT_TRUE(client.Send(request));
        const auto head = client.ReadHead();
        ASSERT_TRUE(head) << request;
        EXPECT_EQ(head->rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << *head;
        EXPECT_NE(head->find("Content-Length: 0\r\n"), std::string::npos) << *head;
        EXPECT_TRUE(client.WaitClosed());
    }
    ExpectServes(server);
    // Each 400 is followed by another wait and nothing else.
    EXPECT_GE(log.Count(Waiting), 4u);
    EXPECT_EQ(log.Text().find("[Warn]"), std::string::npos) << log.Text();
}

TEST_F(WebSocketConnectionTest, HandshakeAcceptsAnyPathAndOriginAndAgreesNoSubProtocol) {
    TransportHarness server;
    const std::vector<std::string> requests{
        RawClient::UpgradeRequest("/some/path?q=1"),
        RawClient::UpgradeRequest("/", "Origin: https://evil.example\r\n"),
        // Offers get no answer at all: an empty choice is one no browser accepts.
        RawClient::UpgradeRequest("/chat", "Sec-WebSocket-Protocol: chat, superchat\r\n"),
        // Letter case is ignored, and a header repeated on two lines is one list.
        "GET / HTTP/1.1\r\nHost: x\r\nConnection: keep-alive\r\nconnection: UPGRADE\r\nUpgrade: WebSocket\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n",
    };
    for (const auto& request : requests) {
        RawClient client(server.Port());
        ASSERT_TRUE(client.Send(request));
        const auto head = client.ReadHead();
        ASSERT_TRUE(head);
        EXPECT_EQ(head->rfind("HTTP/1.1 101 Switching Protocols\r\n", 0), 0u) << *head;
        EXPECT_NE(head->find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"), std::string::npos) << *head;
        EXPECT_EQ(head->find("Sec-WebSocket-Protocol"), std::string::npos) << *head;
        EXPECT_EQ(client.Request("{}"), R"({"action":0,"errorCode":0})");
        ASSERT_TRUE(client.Send(ClientFrame(8, ClosePayload(1000))));
        const auto close = client.ReadFrame();
        ASSERT_TRUE(close);
        EXPECT_EQ(close->Opcode, 8);
        EXPECT_EQ(close->CloseStatus(), 1000);
        EXPECT_EQ(close->CloseDescription(), "Client closed connection");
        EXPECT_TRUE(client.WaitClosed());
    }
    EXPECT_TRUE(log.WaitFor("[Info] Client gửi tín hiệu đóng. Đang ngắt kết nối."));
    EXPECT_EQ(log.Count(Connected), requests.size());
}

TEST_F(WebSocketConnectionTest, FramesSentWithTheUpgradeRequestAreKept) {
    TransportHarness server;
    RawClient client(server.Port());
    ASSERT_TRUE(client.Send(RawClient::UpgradeRequest() + ClientFrame(1, R"({"data":"early"})")));
    const auto head = client.ReadHead();
    ASSERT_TRUE(head);
    EXPECT_EQ(head->rfind("HTTP/1.1 101", 0), 0u) << *head;
    const auto reply = client.ReadFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Payload, R"({"data":"early","action":0,"errorCode":0})");
}

TEST_F(WebSocketConnectionTest, RefusedHandshakesAreAnswered400AndTheServerGoesOn) {
    TransportHarness server;
    struct Case {
        const char* name;
        std::string request;
        bool advertisesVersion;
    };
    const std::vector<Case> cases{
        {"version 8", RawClient::UpgradeRequest("/", "", "dGhlIHNhbXBsZSBub25jZQ==", "8"), true},
        {"no version", RawClient::UpgradeRequest("/", "", "dGhlIHNhbXBsZSBub25jZQ==", ""), true},
        {"no key", RawClient::UpgradeRequest("/", "", "", "13"), false},
        {"short key", RawClient::UpgradeRequest("/", "", "c2hvcnQ=", "13"), false},
        {"POST", "POST / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n", false},
    };
    for (const auto& c : cases) {
        RawClient client(server.Port());
        ASSERT_TRUE(client.Send(c.request));
        const auto head = client.ReadHead();
        ASSERT_TRUE(head) << c.name;
        EXPECT_EQ(head->rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << c.name << *head;
        EXPECT_EQ(head->find("Sec-WebSocket-Version: 13\r\n") != std::string::npos, c.advertisesVersion) << c.name;
        EXPECT_TRUE(client.WaitClosed()) << c.name;
    }
    ExpectOnlyClientsDropped(server, log, "[Warn] WebSocket handshake refused: ", cases.size());
}

TEST_F(WebSocketConnectionTest, FragmentedMessageWithPingsInBetweenIsOneMessage) {
    TransportHarness server;
    RawClient client(server.Port());
    ASSERT_TRUE(client.Upgrade());
    // The euro sign is split between two frames, an escaped e-acute is not.
    ASSERT_TRUE(client.Send(ClientFrame(1, R"({"action":0,)", false) + ClientFrame(9, "are you there") +
                            ClientFrame(0, "\"data\":\"a\\u00E9\xE2\x82", false) + ClientFrame(10, "unsolicited") +
                            ClientFrame(0, "\xAC" R"(b"})", true)));
    const auto pong = client.ReadFrame();
    ASSERT_TRUE(pong);
    EXPECT_EQ(pong->Opcode, 10);
    EXPECT_EQ(pong->Payload, "are you there");
    const auto reply = client.ReadFrame();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Opcode, 1);
    EXPECT_TRUE(reply->Fin);
    EXPECT_EQ(reply->Payload, R"({"data":"a\u00E9\u20ACb","action":0,"errorCode":0})");
    const auto message = server.NextMessage();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->Data, "a\xC3\xA9\xE2\x82\xAC" "b");
}

TEST_F(WebSocketConnectionTest, ASecondClientWaitsUntilTheFirstLeaves) {
    TransportHarness server;
    RawClient first(server.Port());
    ASSERT_TRUE(first.Upgrade());
    RawClient second(server.Port());
    ASSERT_TRUE(second.Send(RawClient::UpgradeRequest()));
    RawClient plain(server.Port());
    ASSERT_TRUE(plain.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_TRUE(second.StaysSilent(300ms));
    EXPECT_EQ(first.Request(R"({"data":"1"})"), R"({"data":"1","action":0,"errorCode":0})");

    // A partly received message is discarded with the close.
    ASSERT_TRUE(first.Send(ClientFrame(1, R"({"data":)", false) + ClientFrame(8, ClosePayload(1001, "going"))));
    const auto close = first.ReadFrame();
    ASSERT_TRUE(close);
    EXPECT_EQ(close->CloseStatus(), 1000);
    EXPECT_TRUE(first.WaitClosed());

    // Taken up in arrival order: the upgrade first, then the plain request.
    const auto head = second.ReadHead();
    ASSERT_TRUE(head);
    EXPECT_EQ(head->rfind("HTTP/1.1 101", 0), 0u) << *head;
    EXPECT_EQ(second.Request(R"({"data":"2"})"), R"({"data":"2","action":0,"errorCode":0})");
    EXPECT_TRUE(plain.StaysSilent(200ms));
    second.Send(ClientFrame(8, ClosePayload(1000)));
    EXPECT_TRUE(second.WaitClosed());
    const auto answer = plain.ReadHead();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->rfind("HTTP/1.1 400", 0), 0u);

    ASSERT_TRUE(server.NextMessage());
    const auto message = server.NextMessage();
    ASSERT_TRUE(message);
    EXPECT_EQ(message->Data, "2");
    EXPECT_FALSE(server.NextMessage(100ms));
}

TEST_F(WebSocketConnectionTest, ProtocolViolationsDropTheClientWithAWarnLine) {
    TransportHarness server;
    const std::vector<std::pair<const char*, std::string>> cases{
        {"unmasked", ClientFrame(1, "{}", true, false)},
        {"reserved bit", ClientFrame(1, "{}", true, true, 4)},
        {"unknown opcode", ClientFrame(3, "{}")},
        {"fragmented ping", ClientFrame(9, "x", false)},
        {"long ping", ClientFrame(9, std::string(126, 'p'))},
        {"continuation first", ClientFrame(0, "{}")},
        {"text inside a message", ClientFrame(1, "{", false) + ClientFrame(1, "}")},
        {"one-byte close", ClientFrame(8, "\x03")},
        {"close status 1005", ClientFrame(8, ClosePayload(1005))},
        {"close text not UTF-8", ClientFrame(8, ClosePayload(1000, "\xC3\x28"))},
    };
    for (const auto& [name, bytes] : cases) {
        RawClient client(server.Port());
        ASSERT_TRUE(client.Upgrade()) << name;
        ASSERT_TRUE(client.Send(bytes));
        EXPECT_TRUE(client.WaitClosed()) << name;
    }
    ExpectOnlyClientsDropped(server, log, Lost, cases.size());
}

TEST_F(WebSocketConnectionTest, ABrokenConnectionDuringAReadIsAWarnLine) {
    TransportHarness server;
    {
        RawClient client(server.Port());
        ASSERT_TRUE(client.Upgrade());
        const auto frame = ClientFrame(1, R"({"data":"never finished"})");
        ASSERT_TRUE(client.Send(frame.substr(0, 9)));
    }
    EXPECT_TRUE(log.WaitFor(Lost));
    ExpectServes(server);
}

TEST_F(WebSocketConnectionTest, UndecodableMessagesCloseTheClientWith1007) {
    TransportHarness server;
    const std::vector<std::pair<std::string, std::string>> cases{
        {ClientFrame(1, ""), ""},
        {ClientFrame(1, "not json"), ""},
        {ClientFrame(1, R"({"action":"3"})"), "System.Int32 Path: $.action"},
        {ClientFrame(1, "null"), "Failed to deserialize message. Output is null."},
    };
    for (const auto& [bytes, text] : cases) {
        RawClient client(server.Port());
        ASSERT_TRUE(client.Upgrade());
        ASSERT_TRUE(client.Send(bytes));
        const auto close = client.ReadFrame();
        ASSERT_TRUE(close) << text;
        EXPECT_EQ(close->Opcode, 8);
        EXPECT_EQ(close->CloseStatus(), 1007);
        client.Send(ClientFrame(8, ClosePayload(1007)));
        EXPECT_TRUE(client.WaitClosed());
        if (!text.empty()) {
            EXPECT_TRUE(log.WaitFor(text)) << text;
        }
    }
    ExpectOnlyClientsDropped(server, log, "[Warn] Cannot decode the WebSocket message; closing the client: ", cases.size());
}

TEST_F(WebSocketConnectionTest, MessagesThatCannotBeTextAreRefusedAsSoonAsTheyArrive) {
    TransportHarness server;
    const std::string badUtf8 = "[Warn] WebSocket message is not valid UTF-8; closing the client.";
    const std::string binary = "[Warn] Binary WebSocket messages are not supported; closing the client.";
    // Nothing here ends its message: the close must come from what has arrived so far.
    const std::string announced = ClientFrame(1, R"({"data":")" "\xFF" + std::string(100, 'x'));
    struct Case {
        const char* name;
        std::string bytes;
        std::uint16_t status;
        const std::string& line;
    };
    const std::vector<Case> cases{
        {"bad byte in an unfinished message", ClientFrame(1, R"({"data":")" "\xFF", false), 1007, badUtf8},
        {"code point split across frames", ClientFrame(1, R"({"data":")" "\xE2\x82", false) + ClientFrame(0, "(", false),
         1007, badUtf8},
        {"surrogate", ClientFrame(1, R"({"data":")" "\xED\xA0\x80", false), 1007, badUtf8},
        {"bad byte in an unfinished frame", announced.substr(0, announced.size() - 50), 1007, badUtf8},
        {"cut at the end of the message", ClientFrame(1, R"({"data":")" "\xE2\x82"), 1007, badUtf8},
        {"binary, unfinished", ClientFrame(2, "\x01\x02", false), 1003, binary},
        {"binary JSON", ClientFrame(2, "{}"), 1003, binary},
    };
    for (const auto& c : cases) {
        {
            RawClient client(server.Port());
            ASSERT_TRUE(client.Upgrade()) << c.name;
            ASSERT_TRUE(client.Send(c.bytes)) << c.name;
            const auto close = client.ReadFrame();
            ASSERT_TRUE(close) << c.name;
            EXPECT_EQ(close->Opcode, 8) << c.name;
            EXPECT_EQ(close->CloseStatus(), c.status) << c.name;
        }
        EXPECT_TRUE(log.WaitFor(c.line)) << c.name;
    }
    EXPECT_FALSE(server.NextMessage(0ms));
    ExpectServes(server);
    EXPECT_EQ(log.Count(badUtf8) + log.Count(binary), cases.size());
    EXPECT_FALSE(server.ReceiveFailure(0ms));
}

TEST_F(WebSocketConnectionTest, AClientThatNeverAnswersOurCloseIsAbortedWithAWarnLine) {
    TransportHarness server(WebSocketConnection::ZombieTimeout, 0ms, 300ms);
    RawClient client(server.Port());
    ASSERT_TRUE(client.Upgrade());
    ASSERT_TRUE(client.Send(ClientFrame(1, "null")));
    const auto close = client.ReadFrame();
    ASSERT_TRUE(close);
    EXPECT_EQ(close->CloseStatus(), 1007);
    // No close frame back, and the connection is kept open: the limit decides.
    EXPECT_TRUE(client.WaitClosed(10s));
    EXPECT_TRUE(log.WaitFor("[Warn] WebSocket client did not complete the closing handshake in time; connection aborted."));
    ExpectServes(server);
}

TEST_F(WebSocketConnectionTest, AMessageOver64MiBClosesTheClientWith1009) {
    TransportHarness server;
    RawClient client(server.Port());
    ASSERT_TRUE(client.Upgrade());
    // Announced in one frame and sent in pieces; the server stops reading once the bound is passed.
    const std::size_t size = 64 * 1024 * 1024 + 1;
    const std::string piece(1 << 20, 'a');
    // A masked text frame's head with a 64-bit length, without building the payload it announces.
    std::string header = "\x81\xFF";
    for (int i = 7; i >= 0; --i) header += static_cast<char>((static_cast<std::uint64_t>(size) >> (8 * i)) & 0xFF);
    header += "\x12\x34\x56\x78";
    ASSERT_TRUE(client.Send(header));
    for (std::size_t sent = 0; sent < size; sent += piece.size())
        if (!client.Send(std::string_view(piece).substr(0, std::min(piece.size(), size - sent)))) break;
    const auto close = client.ReadFrame(10s);
    ASSERT_TRUE(close);
    EXPECT_EQ(close->Opcode, 8);
    EXPECT_EQ(close->CloseStatus(), 1009);
    EXPECT_TRUE(log.WaitFor("[Warn] WebSocket message larger than 67108864 bytes"));
    client.Send(ClientFrame(8, ClosePayload(1009)));
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_FALSE(server.NextMessage(0ms));
    ExpectServes(server);
}

TEST_F(WebSocketConnectionTest, ASilentClientIsDroppedEvenIfItPings) {
    TransportHarness server(1500ms);
    RawClient client(server.Port());
    ASSERT_TRUE(client.Upgrade());
    bool closed = false;
    int pongs = 0;
    // A ping every 200 ms until the server gives up on the client.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!closed && std::chrono::steady_clock::now() < deadline) {
        client.Send(ClientFrame(9, "still here"));
        const auto frame = client.ReadFrame(1s);
        if (frame && frame->Opcode == 10) {
            ++pongs;
            closed = !client.StaysSilent(200ms) && client.WaitClosed(1s);
        } else {
            closed = client.WaitClosed(1s);
        }
    }
    EXPECT_GT(pongs, 0);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(log.WaitFor("[Warn] Client không phản hồi sau 1s. Ngắt kết nối zombie."));
    EXPECT_FALSE(server.NextMessage(0ms));
    ExpectServes(server);
}

TEST_F(WebSocketConnectionTest, TheLimitCoversEachMessageNotTheConnection) {
    TransportHarness server(1000ms);
    RawClient client(server.Port());
    ASSERT_TRUE(client.Upgrade());
    // Paced requests: together longer than the limit, each well inside it.
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(400ms);
        EXPECT_EQ(client.Request("{}"), R"({"action":0,"errorCode":0})") << i;
    }
    // A message whose last frame comes too late is lost with its client.
    ASSERT_TRUE(client.Send(ClientFrame(1, R"({"data":)", false)));
    std::this_thread::sleep_for(1200ms);
    client.Send(ClientFrame(0, R"("late"})"));
    EXPECT_TRUE(client.WaitClosed());
    EXPECT_TRUE(log.WaitFor("[Warn] Client không phản hồi sau 1s. Ngắt kết nối zombie."));
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(server.NextMessage(0ms));
    EXPECT_FALSE(server.NextMessage(0ms));
}

TEST_F(WebSocketConnectionTest, AListenersProcessingTimeDoesNotCountAgainstTheClient) {
    // Each reply takes longer than the limit; the limit starts again with the next read.
    TransportHarness server(500ms, 800ms);
    RawClient client(server.Port());
    ASSERT_TRUE(client.Upgrade());
    for (int i = 0; i < 2; ++i) EXPECT_EQ(client.Request("{}"), R"({"action":0,"errorCode":0})") << i;
    EXPECT_EQ(log.Count("Ngắt kết nối zombie."), 0u);
    EXPECT_TRUE(server.SendFailures().empty());
}

TEST_F(WebSocketConnectionTest, StopDuringAReadIsAnErrorLineThenTheEndOfInput) {
    TransportHarness server;
    RawClient client(server.Port());
    ASSERT_TRUE(client.Upgrade());
    ASSERT_TRUE(log.WaitFor(Connected));
    EXPECT_TRUE(server.Stop());
    EXPECT_TRUE(log.WaitFor("[Error] Lỗi không mong đợi khi nhận dữ liệu WebSocket: OperationCanceled"));
    EXPECT_TRUE(client.WaitClosed());
}

TEST_F(WebSocketConnectionTest, AClientThatStopsReadingItsRepliesIsDropped) {
    TransportHarness server(1500ms);
    RawClient client(server.Port());
    ASSERT_TRUE(client.Upgrade());
    // Each request is answered with a copy of its megabyte; nothing is read back.
    const auto request = ClientFrame(1, R"({"data":")" + std::string(1 << 20, 'x') + R"("})");
    bool sent = true;
    for (int i = 0; i < 64 && sent; ++i) sent = client.Send(request);
    EXPECT_TRUE(client.WaitClosed(10s));
    ExpectServes(server);
    // The reply ran out of time and aborted the socket, so the error reply found no client.
    const auto failures = server.SendFailures();
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[0].rfind("CancellationFailure: ", 0), 0u) << failures[0];
    EXPECT_EQ(failures[1], "InvalidOperationFailure: WebSocket is not connected or already closed.");
}

TEST_F(WebSocketConnectionTest, SilentConnectionsGiveWayToARealClient) {
    TransportHarness server;
    // Every pending slot taken by a connection that never sends a request head.
    std::vector<std::unique_ptr<RawClient>> silent;
    for (int i = 0; i < 64; ++i) silent.push_back(std::make_unique<RawClient>(server.Port()));
    for (int round = 0; round < 2; ++round) {
        // The served client freed its slot: fill it again.
        if (round > 0) silent.push_back(std::make_unique<RawClient>(server.Port()));
        RawClient real(server.Port());
        const auto head = real.Upgrade();
        ASSERT_TRUE(head) << round;
        EXPECT_EQ(head->rfind("HTTP/1.1 101", 0), 0u) << *head;
        EXPECT_EQ(real.Request("{}"), R"({"action":0,"errorCode":0})");
        ASSERT_TRUE(real.Send(ClientFrame(8, ClosePayload(1000))));
        EXPECT_TRUE(real.WaitClosed());
        // The oldest silent one gave way each time, and only it.
        EXPECT_TRUE(silent[round]->WaitClosed()) << round;
        EXPECT_TRUE(silent[round + 1]->StaysSilent(100ms)) << round;
    }
    EXPECT_TRUE(silent.back()->StaysSilent(100ms));
}

TEST_F(WebSocketConnectionTest, SendWithoutAClientAndReceiveAfterCancellation) {
    boost::asio::io_context io;
    WebSocketConnection connection(0);
    std::stop_source stop;
    auto run = [&](auto operation) {
        auto future = boost::asio::co_spawn(io, std::move(operation), boost::asio::use_future);
        RunUntilReady(io, future);
        return future;
    };
    auto start = run(connection.StartAsync({}));
    ASSERT_NO_THROW(start.get());
    try {
        run(connection.SendMessageAsync({}, {})).get();
        ADD_FAILURE() << "send without a client succeeded";
    } catch (const Quillmark::Platform::InvalidOperationFailure& failure) {
        EXPECT_EQ(failure.Message(), "WebSocket is not connected or already closed.");
    }
    // Cancelled while waiting for a client: a cancellation; found cancelled first: the end.
    auto waiting = boost::asio::co_spawn(io, connection.ReceiveMessageAsync(stop.get_token()), boost::asio::use_future);
    io.restart();
    io.run_for(50ms);
    stop.request_stop();
    RunUntilReady(io, waiting);
    EXPECT_THROW(waiting.get(), Quillmark::Platform::CancellationFailure);
    EXPECT_THROW(run(connection.ReceiveMessageAsync(stop.get_token())).get(), Quillmark::Platform::EndOfStreamFailure);
    EXPECT_TRUE(log.WaitFor("Đã khởi động WebSocket server trên cổng " + std::to_string(connection.LocalPort()) + "\r\n"));
}

TEST_F(WebSocketConnectionTest, StartFailsWhenThePortIsTakenAndLogsNothing) {
    TransportHarness server;
    ASSERT_TRUE(log.WaitFor(Waiting));
    const auto before = log.Text();
    boost::asio::io_context io;
    WebSocketConnection second(server.Port());
    auto future = boost::asio::co_spawn(io, second.StartAsync({}), boost::asio::use_future);
    RunUntilReady(io, future);
    EXPECT_THROW(future.get(), Quillmark::Platform::IoFailure);
    EXPECT_EQ(log.Text(), before);
}

}  // namespace
