#pragma once
// What the file tests of both systems read and write with.

#include "Platform/Failure.hpp"
#include "Platform/File/File.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace Quillmark::Tests {

inline std::span<const std::uint8_t> Bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

inline std::string ReadWhole(const Platform::File& file) {
    std::string text(static_cast<std::size_t>(file.Size()), '\0');
    text.resize(file.ReadAt(0, {reinterpret_cast<std::uint8_t*>(text.data()), text.size()}));
    return text;
}

// The IoFailure's text, or "<no failure>".
template <class Operation>
std::string FailureText(Operation&& operation) {
    try {
        operation();
    } catch (const Platform::IoFailure& failure) {
        return failure.Message();
    }
    return "<no failure>";
}

// The file holds "document": reads at any offset fill the buffer, or stop at the end.
inline void ExpectReadsAtAnyOffset(const Platform::File& file) {
    std::string buffer(5, '.');
    auto into = std::span(reinterpret_cast<std::uint8_t*>(buffer.data()), buffer.size());
    EXPECT_EQ(file.ReadAt(3, into), 5u);
    EXPECT_EQ(buffer, "ument");
    EXPECT_EQ(file.ReadAt(6, into), 2u);
    EXPECT_EQ(buffer.substr(0, 2), "nt");
    EXPECT_EQ(file.ReadAt(8, into), 0u);
    EXPECT_EQ(file.ReadAt(100, into), 0u);
}

}  // namespace Quillmark::Tests
