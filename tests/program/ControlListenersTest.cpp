#include "Common/Utils.hpp"
#include "Daemon/MessageListeners/CheckVersionListener.hpp"
#include "Daemon/MessageListeners/ForceExitListener.hpp"
#include "Daemon/MessageListeners/PingListener.hpp"
#include "tests/program/Messages.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <chrono>

using namespace Quillmark;
using Daemon::Models::Message;
namespace Listeners = Daemon::MessageListeners;
using Quillmark::Tests::Reply;

namespace {

Message Process(Listeners::IMessageListener& listener, Message request, std::stop_token token = {}) {
    boost::asio::io_context io;
    Message reply;
    reply._errorCode = -1;
    boost::asio::co_spawn(io, listener.ProcessAsync(std::move(request), token), [&](std::exception_ptr e, Message m) {
        if (e) std::rethrow_exception(e);
        reply = std::move(m);
    });
    io.run_for(std::chrono::seconds(10));
    return reply;
}

}  // namespace

TEST(ControlListeners, AnswerWhateverTheRequestHoldsEvenAfterCancellation) {
    std::stop_source cancelled;
    cancelled.request_stop();
    Message odd;
    odd.Data = "{not json";
    odd.ErrorMessage = "x";
    odd._errorCode = 7;
    for (const Message& request : {Message{}, odd}) {
        Listeners::PingListener ping;
        Listeners::CheckVersionListener version;
        EXPECT_EQ(ping.Action(), 0);
        EXPECT_EQ(version.Action(), 4);
        EXPECT_EQ(Process(ping, request, cancelled.get_token()), Reply(0, "Pong"));
        EXPECT_EQ(Process(version, request, cancelled.get_token()), Reply(4, Common::Utils::GetAppVersion()));
    }
}

TEST(ControlListeners, StopAnswersOkOnlyAfterEveryStopCallbackHasRun) {
    std::stop_source source;
    Listeners::ForceExitListener stop(source);
    EXPECT_EQ(stop.Action(), 2147483647);
    int ran = 0;
    std::stop_callback first(source.get_token(), [&] { ++ran; });
    std::stop_callback second(source.get_token(), [&] { ++ran; });

    EXPECT_EQ(Process(stop, Message{}), Reply(2147483647, "OK"));
    EXPECT_EQ(ran, 2);
    EXPECT_TRUE(source.stop_requested());
}
