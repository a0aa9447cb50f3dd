#pragma once
// The async vocabulary of the daemon: Asio coroutines, cancelled through std::stop_token.

#include <boost/asio/awaitable.hpp>

#include <cstddef>
#include <limits>
#include <stop_token>

namespace Quillmark::Platform {

template <class T = void>
using Task = boost::asio::awaitable<T>;

using CancellationToken = std::stop_token;
using CancellationTokenSource = std::stop_source;

// The completion condition for boost::asio::async_write that offers the system all that is left
// at each call. Asio's own offer at most 64 KiB a call, and every call more is one more wake-up
// of the reader: a transfer's message is ten times that.
struct AllAtOnce {
    template <class Error>
    std::size_t operator()(const Error& error, std::size_t) const noexcept {
        return error ? 0 : std::numeric_limits<std::size_t>::max();
    }
};

}  // namespace Quillmark::Platform
