#include "Platform/Runtime/ByteStream.hpp"

#include "Platform/Failure.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace asio = boost::asio;
using namespace Quillmark::Platform;
using Quillmark::Platform::Runtime::IInputStream;
using Quillmark::Platform::Runtime::ReadExactlyAsync;

namespace {

// Hands out its bytes at most `piece` at a time, then reports the end.
class PieceStream final : public IInputStream {
public:
    PieceStream(std::string bytes, std::size_t piece) : bytes_(std::move(bytes)), piece_(piece) {}

    Task<std::size_t> ReadSomeAsync(std::span<std::uint8_t> buffer, CancellationToken) override {
        ++reads;
        std::size_t n = std::min({buffer.size(), piece_, bytes_.size() - offset_});
        std::copy_n(bytes_.data() + offset_, n, buffer.data());
        offset_ += n;
        co_return n;
    }

    int reads = 0;

private:
    std::string bytes_;
    std::size_t piece_;
    std::size_t offset_ = 0;
};

// The bytes read, or the failure kind.
struct Outcome {
    std::optional<std::string> bytes;
    std::optional<FailureKind> failure;
};

Outcome ReadExactly(IInputStream& stream, std::size_t count) {
    asio::io_context io;
    Outcome outcome;
    std::vector<std::uint8_t> buffer(count);
    asio::co_spawn(io, ReadExactlyAsync(stream, buffer, {}), [&](std::exception_ptr e) {
        if (!e) {
            outcome.bytes = std::string(buffer.begin(), buffer.end());
            return;
        }
        try {
            std::rethrow_exception(e);
        } catch (const Failure& f) {
            outcome.failure = f.Kind();
        }
    });
    io.run_for(std::chrono::seconds(10));
    return outcome;
}

}  // namespace

TEST(ReadExactly, AssemblesWhateverPiecesTheStreamDelivers) {
    for (std::size_t piece : {1u, 2u, 3u, 7u, 100u}) {
        PieceStream stream("abcdefg", piece);
        auto outcome = ReadExactly(stream, 7);
        EXPECT_EQ(outcome.bytes, "abcdefg") << "piece " << piece;
        EXPECT_EQ(stream.reads, static_cast<int>((7 + piece - 1) / piece)) << "piece " << piece;
    }
}

TEST(ReadExactly, LeavesTheRestForTheNextRead) {
    PieceStream stream("abcdef", 100);
    EXPECT_EQ(ReadExactly(stream, 2).bytes, "ab");
    EXPECT_EQ(ReadExactly(stream, 4).bytes, "cdef");
}

TEST(ReadExactly, EndBeforeTheBufferIsFullIsEndOfStream) {
    struct Case { std::string bytes; std::size_t count; };
    for (const Case& c : {Case{"", 4}, Case{"a", 4}, Case{"abc", 4}, Case{"abcdefg", 8}}) {
        PieceStream stream(c.bytes, 1);
        auto outcome = ReadExactly(stream, c.count);
        EXPECT_EQ(outcome.failure, FailureKind::EndOfStream) << c.bytes.size() << " of " << c.count;
        EXPECT_FALSE(outcome.bytes);
    }
}

TEST(ReadExactly, EmptyBufferIssuesNoRead) {
    PieceStream stream("", 1);
    EXPECT_EQ(ReadExactly(stream, 0).bytes, "");
    EXPECT_EQ(stream.reads, 0);
}
