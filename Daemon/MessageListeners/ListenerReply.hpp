#pragma once

#include "Daemon/Models/Message.hpp"

#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cstdint>
#include <string>

namespace Quillmark::Daemon::MessageListeners {

// A listener's reply: its own action code, no error.
inline Models::Message ListenerReply(std::int32_t action, std::string data) {
    Models::Message reply;
    reply._action = action;
    reply.Data = std::move(data);
    return reply;
}

// Lets the loop's other work run between the pieces of a long file operation.
inline Platform::Task<void> YieldToLoop() {
    co_await boost::asio::post(co_await boost::asio::this_coro::executor, boost::asio::use_awaitable);
}

}  // namespace Quillmark::Daemon::MessageListeners
