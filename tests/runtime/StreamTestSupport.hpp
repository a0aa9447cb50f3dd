#pragma once
// Runs stream operations to their end on a loop of the test's own, every run bounded.

#include "Platform/Async.hpp"
#include "Platform/Failure.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace Quillmark::Tests {

// What an operation came to: its own text, the kind of its failure, or "did not finish".
inline std::string RunToEnd(boost::asio::io_context& io,
                            std::function<Platform::Task<std::string>()> operation) {
    std::string outcome = "did not finish";
    boost::asio::co_spawn(io, operation(), [&](std::exception_ptr e, std::string text) {
        if (!e) {
            outcome = std::move(text);
            return;
        }
        try {
            std::rethrow_exception(e);
        } catch (const Platform::Failure& f) {
            outcome = std::string(Platform::KindName(f.Kind()));
        } catch (const std::exception& other) {
            outcome = other.what();
        }
    });
    io.restart();
    io.run_for(std::chrono::seconds(30));
    return outcome;
}

inline std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace Quillmark::Tests
