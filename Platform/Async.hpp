#pragma once
// The async vocabulary of the daemon: Asio coroutines, cancelled through std::stop_token.

#include <boost/asio/awaitable.hpp>

#include <stop_token>

namespace Quillmark::Platform {

template <class T = void>
using Task = boost::asio::awaitable<T>;

using CancellationToken = std::stop_token;
using CancellationTokenSource = std::stop_source;

}  // namespace Quillmark::Platform
