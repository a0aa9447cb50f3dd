#include "Daemon/Program.hpp"

#include "Daemon/Infrastructure/FileLogger.hpp"

#include "Platform/Failure.hpp"
#include "tests/program/Messages.hpp"
#include "tests/common/TestHelpers.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <algorithm>
#include <deque>
#include <functional>
#include <variant>

using namespace Quillmark;
using Daemon::Program;
using Daemon::Models::Message;
using Platform::CancellationToken;
using Platform::Task;
using Quillmark::Tests::Reply;

namespace {

// The loop's error lines go to a private log folder for the whole run; the logger's first touch
// reads the roaming folder, so that is moved there too.
const std::filesystem::path& LogHome() {
    static const Quillmark::Tests::TempFolder folder;
    return folder.Path();
}
[[maybe_unused]] const bool sandboxed = [] {
    static const Quillmark::Tests::ScopedRoamingFolder roaming(LogHome());
    Daemon::Infrastructure::FileLogger::ResetForTesting((LogHome() / "Logs").string());
    Daemon::Infrastructure::FileLogger::LoadCurrentLogFile();
    return true;
}();

Message Request(std::int32_t action, std::optional<std::string> data = std::nullopt) {
    Message m;
    m._action = action;
    m.Data = std::move(data);
    return m;
}

// A transport that plays a script of incoming requests (or failures) and records what is sent.
class ScriptedConnection final : public Daemon::Connections::IConnection {
public:
    using Incoming = std::variant<Message, std::exception_ptr>;
    struct Sent {
        Message message;
        bool tokenCancellable;
        bool tokenCancelled;
    };

    std::deque<Incoming> script;
    std::vector<Sent> sent;
    int receives = 0;
    std::exception_ptr startFailure;
    // Fails the sends whose zero-based index is listed.
    std::vector<int> failingSends;
    // Runs in each receive, before it yields its request.
    std::function<void()> onReceive;

    Task<void> StartAsync(CancellationToken) override {
        if (startFailure) std::rethrow_exception(startFailure);
        co_return;
    }
    Task<Message> ReceiveMessageAsync(CancellationToken) override {
        ++receives;
        if (onReceive) onReceive();
        if (script.empty()) throw Platform::EndOfStreamFailure();
        Incoming next = std::move(script.front());
        script.pop_front();
        if (auto* failure = std::get_if<std::exception_ptr>(&next)) std::rethrow_exception(*failure);
        co_return std::get<Message>(next);
    }
    Task<void> SendMessageAsync(Message message, CancellationToken token) override {
        int index = sendAttempts++;
        sent.push_back({message, token.stop_possible(), token.stop_requested()});
        if (std::find(failingSends.begin(), failingSends.end(), index) != failingSends.end())
            throw Platform::IoFailure("Broken pipe");
        co_return;
    }

private:
    int sendAttempts = 0;
};

class FakeListener final : public Daemon::MessageListeners::IMessageListener {
public:
    using Behaviour = std::function<Message(const Message&)>;
    FakeListener(std::int32_t action, Behaviour behaviour) : action_(action), behaviour_(std::move(behaviour)) {}

    std::int32_t Action() const override { return action_; }
    Task<Message> ProcessAsync(Message request, CancellationToken) override {
        ++calls;
        co_return behaviour_(request);
    }
    int calls = 0;

private:
    std::int32_t action_;
    Behaviour behaviour_;
};

struct LoopOutcome {
    std::optional<std::int32_t> result;
    std::exception_ptr failure;
};

class MainLoop : public ::testing::Test {
protected:
    void SetUp() override {
        auto owned = std::make_unique<ScriptedConnection>();
        connection = owned.get();
        Program::connection = std::move(owned);
        Program::listeners.clear();
    }
    void TearDown() override {
        Program::listeners.clear();
        Program::connection.reset();
    }

    FakeListener& AddListener(std::int32_t action, FakeListener::Behaviour behaviour) {
        auto listener = std::make_unique<FakeListener>(action, std::move(behaviour));
        auto& ref = *listener;
        Program::listeners.push_back(std::move(listener));
        return ref;
    }

    LoopOutcome Run() {
        boost::asio::io_context io;
        LoopOutcome outcome;
        boost::asio::co_spawn(io, Program::MainAsync(source.get_token()), [&](std::exception_ptr e, std::int32_t r) {
            outcome.failure = e;
            if (!e) outcome.result = r;
        });
        io.run_for(std::chrono::seconds(10));
        return outcome;
    }

    std::stop_source source;
    ScriptedConnection* connection = nullptr;
};

}  // namespace

TEST_F(MainLoop, FirstMatchingListenerAnswersUnknownActionsAreDroppedAndEndOfInputIsNormal) {
    auto& ping = AddListener(0, [](const Message&) { return Reply(0, "Pong"); });
    auto& shadowed = AddListener(0, [](const Message&) { return Reply(0, "second"); });
    AddListener(4, [](const Message&) { return Reply(4, "v1"); });
    connection->script = {Request(5), Request(0), Request(4), Request(0, "anything")};

    auto outcome = Run();

    EXPECT_FALSE(outcome.failure);
    EXPECT_EQ(outcome.result, 0);
    ASSERT_EQ(connection->sent.size(), 3u);
    EXPECT_EQ(connection->sent[0].message, Reply(0, "Pong"));
    EXPECT_EQ(connection->sent[1].message, Reply(4, "v1"));
    EXPECT_EQ(connection->sent[2].message, Reply(0, "Pong"));
    EXPECT_EQ(ping.calls, 2);
    EXPECT_EQ(shadowed.calls, 0);
    EXPECT_EQ(connection->receives, 5);
}

TEST_F(MainLoop, ListenerFailureIsAnsweredWithTheErrorReplyAndTheLoopGoesOn) {
    AddListener(1, [](const Message&) -> Message { throw Platform::ArgumentFailure("Invalid action", "Data"); });
    AddListener(0, [](const Message&) { return Reply(0, "Pong"); });
    connection->script = {Request(1, "{}"), Request(0)};

    auto outcome = Run();

    EXPECT_EQ(outcome.result, 0);
    ASSERT_EQ(connection->sent.size(), 2u);
    Message error;
    error.ErrorMessage = "Invalid action Arg_ParamName_Name, Data";
    error._action = 1;
    error._errorCode = 2;
    EXPECT_EQ(connection->sent[0].message, error);
    EXPECT_EQ(connection->sent[1].message, Reply(0, "Pong"));
    Daemon::Infrastructure::FileLogger::Flush();
    const auto logs = Quillmark::Tests::ReadAll(LogHome() / "Logs" / "1.log");
    EXPECT_NE(logs.find("[Exception] ArgumentFailure: Invalid action Arg_ParamName_Name, Data"), std::string::npos) << logs;
}

TEST_F(MainLoop, FailedReplySendIsAnsweredAndAFailedErrorReplyIsIgnored) {
    AddListener(0, [](const Message&) { return Reply(0, "Pong"); });
    connection->script = {Request(0), Request(0), Request(0)};
    // The first reply fails, its error reply goes out; the second reply and its error reply both fail.
    connection->failingSends = {0, 2, 3};

    auto outcome = Run();

    EXPECT_EQ(outcome.result, 0);
    ASSERT_EQ(connection->sent.size(), 5u);
    EXPECT_EQ(connection->sent[1].message.ErrorMessage, "Broken pipe");
    EXPECT_EQ(connection->sent[1].message._errorCode, 2);
    EXPECT_FALSE(connection->sent[1].message.Data);
    // The reply goes out under a token that is never cancelled, the error reply under the daemon's.
    EXPECT_FALSE(connection->sent[0].tokenCancellable);
    EXPECT_TRUE(connection->sent[1].tokenCancellable);
    EXPECT_EQ(connection->sent[4].message, Reply(0, "Pong"));
}

TEST_F(MainLoop, StopReplyIsSentWithAnUncancellableTokenThenTheLoopEnds) {
    AddListener(2147483647,
                [this](const Message&) {
                    source.request_stop();
                    return Reply(2147483647, "OK");
                });
    AddListener(0, [](const Message&) { return Reply(0, "Pong"); });
    connection->script = {Request(2147483647), Request(0)};

    auto outcome = Run();

    EXPECT_EQ(outcome.result, 0);
    ASSERT_EQ(connection->sent.size(), 1u);
    EXPECT_EQ(connection->sent[0].message, Reply(2147483647, "OK"));
    EXPECT_FALSE(connection->sent[0].tokenCancellable);
    EXPECT_EQ(connection->receives, 1);
}

TEST_F(MainLoop, CancellationFoundDuringTheDispatchScanLeavesTheRequestUnanswered) {
    auto& ping = AddListener(0, [](const Message&) { return Reply(0, "Pong"); });
    connection->script = {Request(0), Request(0)};
    connection->onReceive = [this] { source.request_stop(); };

    auto outcome = Run();

    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(ping.calls, 0);
    EXPECT_TRUE(connection->sent.empty());
    EXPECT_EQ(connection->receives, 1);
}

TEST_F(MainLoop, ReceiveAndStartFailuresEndTheLoopUnanswered) {
    AddListener(0, [](const Message&) { return Reply(0, "Pong"); });
    connection->script = {Request(0), std::make_exception_ptr(Platform::OverflowFailure())};
    auto outcome = Run();
    ASSERT_TRUE(outcome.failure);
    EXPECT_EQ(Platform::MessageOf(outcome.failure), "Arg_OverflowException");
    EXPECT_EQ(connection->sent.size(), 1u);

    SetUp();
    connection->startFailure = std::make_exception_ptr(Platform::NotImplementedFailure());
    outcome = Run();
    ASSERT_TRUE(outcome.failure);
    EXPECT_EQ(Platform::MessageOf(outcome.failure), "Arg_NotImplementedException");
    EXPECT_EQ(connection->receives, 0);
}
