#pragma once
// The WebSocket transport driven by a small receive-and-echo loop on its own event loop, as the
// main loop drives it, with the log pointed at a private folder.

#include "Daemon/Connections/WebSocketConnection.hpp"
#include "Daemon/Models/Message.hpp"

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace Quillmark::Tests {

using namespace std::chrono_literals;

// A fresh log folder for the test; the logger writes there from now on.
class PrivateLog {
public:
    PrivateLog();
    ~PrivateLog();
    std::string Text() const;
    // Polls the log until it holds the text; false when the wait runs out.
    bool WaitFor(std::string_view text, std::chrono::milliseconds timeout = 5s) const;
    std::size_t Count(std::string_view text) const;

private:
    std::filesystem::path dir_;
};

class TransportHarness {
public:
    // replyDelay stands for a listener's processing time before each reply.
    explicit TransportHarness(std::chrono::milliseconds zombieTimeout = Daemon::Connections::WebSocketConnection::ZombieTimeout,
                              std::chrono::milliseconds replyDelay = 0ms,
                              std::chrono::milliseconds closeTimeout = Daemon::Connections::WebSocketConnection::CloseTimeout);
    ~TransportHarness();

    std::uint16_t Port() const { return port_; }
    // The next request the loop received (each is answered with its own data and action).
    std::optional<Daemon::Models::Message> NextMessage(std::chrono::milliseconds timeout = 5s);
    // Cancels the daemon-wide token, as the stop request does; true when the loop then ended
    // with the end of input.
    bool Stop();
    // The failure that ended the loop's receive, if one did.
    std::optional<std::string> ReceiveFailure(std::chrono::milliseconds timeout);
    // "Kind: message" of every failed send so far, each reply's then its error reply's.
    std::vector<std::string> SendFailures();

private:
    boost::asio::awaitable<void> Loop();

    boost::asio::io_context io_;
    Daemon::Connections::WebSocketConnection connection_;
    std::stop_source stop_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Daemon::Models::Message> messages_;
    std::optional<std::string> failure_;
    std::vector<std::string> sendFailures_;
    std::chrono::milliseconds replyDelay_;
    bool started_ = false;
    bool finished_ = false;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

}  // namespace Quillmark::Tests
