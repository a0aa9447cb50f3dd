#include "tests/websocket/TransportHarness.hpp"

#include "Daemon/Infrastructure/FileLogger.hpp"
#include "Platform/Failure.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <fstream>
#include <random>
#include <sstream>

namespace Quillmark::Tests {

using Daemon::Infrastructure::FileLogger;
using Daemon::Models::Message;

namespace {
// "Kind: message" of a caught failure.
std::string Describe(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& caught) {
        return std::string(Platform::KindName(Platform::KindOf(caught))) + ": " + Platform::MessageOf(failure);
    }
}
}  // namespace

PrivateLog::PrivateLog() {
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() / ("quillmark-ws-log-" + std::to_string(random()));
    std::filesystem::create_directories(dir_);
    FileLogger::ResetForTesting(dir_.string());
}

PrivateLog::~PrivateLog() {
    FileLogger::Flush();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::string PrivateLog::Text() const {
    FileLogger::Flush();
    std::string all;
    for (int i = 1; i <= 5; ++i) {
        std::ifstream file(dir_ / (std::to_string(i) + ".log"), std::ios::binary);
        std::ostringstream content;
        content << file.rdbuf();
        all += content.str();
    }
    return all;
}

bool PrivateLog::WaitFor(std::string_view text, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (Text().find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

std::size_t PrivateLog::Count(std::string_view text) const {
    const auto all = Text();
    std::size_t count = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++count;
    return count;
}

TransportHarness::TransportHarness(std::chrono::milliseconds zombieTimeout, std::chrono::milliseconds replyDelay,
                                   std::chrono::milliseconds closeTimeout)
    : connection_(0, zombieTimeout, closeTimeout), replyDelay_(replyDelay) {
    boost::asio::co_spawn(io_, Loop(), boost::asio::detached);
    thread_ = std::thread([this] { io_.run(); });
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 5s, [this] { return started_ || finished_; });
}

TransportHarness::~TransportHarness() {
    stop_.request_stop();
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, 5s, [this] { return finished_; });
    }
    io_.stop();
    thread_.join();
}

boost::asio::awaitable<void> TransportHarness::Loop() {
    try {
        co_await connection_.StartAsync(stop_.get_token());
        {
            std::lock_guard lock(mutex_);
            port_ = connection_.LocalPort();
            started_ = true;
        }
        changed_.notify_all();
        for (;;) {
            auto request = co_await connection_.ReceiveMessageAsync(stop_.get_token());
            {
                std::lock_guard lock(mutex_);
                messages_.push_back(request);
            }
            changed_.notify_all();
            if (replyDelay_.count() > 0) {
                boost::asio::steady_timer busy(io_, replyDelay_);
                co_await busy.async_wait(boost::asio::use_awaitable);
            }
            Message reply;
            reply.Data = request.Data;
            reply._action = request._action;
            // As the main loop does: a failed reply gets an error reply, which fails as well
            // when the client has gone; the next receive then waits for another client.
            std::exception_ptr failure;
            try {
                co_await connection_.SendMessageAsync(reply, {});
            } catch (const Platform::Failure&) {
                failure = std::current_exception();
            }
            if (!failure) continue;
            Message error;
            error.ErrorMessage = Platform::MessageOf(failure);
            error._action = request._action;
            error._errorCode = 2;
            std::exception_ptr errorFailure;
            try {
                co_await connection_.SendMessageAsync(error, stop_.get_token());
            } catch (const Platform::Failure&) {
                errorFailure = std::current_exception();
            }
            std::lock_guard lock(mutex_);
            sendFailures_.push_back(Describe(failure));
            if (errorFailure) sendFailures_.push_back(Describe(errorFailure));
        }
    } catch (const Platform::EndOfStreamFailure&) {
    } catch (const std::exception&) {
        std::lock_guard lock(mutex_);
        failure_ = Describe(std::current_exception());
    }
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
}

bool TransportHarness::Stop() {
    stop_.request_stop();
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 5s, [this] { return finished_; }) && !failure_;
}

std::optional<Message> TransportHarness::NextMessage(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return !messages_.empty(); })) return std::nullopt;
    auto message = messages_.front();
    messages_.pop_front();
    return message;
}

std::vector<std::string> TransportHarness::SendFailures() {
    std::lock_guard lock(mutex_);
    return sendFailures_;
}

std::optional<std::string> TransportHarness::ReceiveFailure(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return failure_.has_value(); });
    return failure_;
}

}  // namespace Quillmark::Tests
