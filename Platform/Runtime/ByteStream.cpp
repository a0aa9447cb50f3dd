#include "Platform/Runtime/ByteStream.hpp"

#include "Platform/Failure.hpp"

namespace Quillmark::Platform::Runtime {

Task<void> ReadExactlyAsync(IInputStream& stream, std::span<std::uint8_t> buffer, CancellationToken token) {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        std::size_t n = co_await stream.ReadSomeAsync(buffer.subspan(filled), token);
        if (n == 0) throw EndOfStreamFailure();
        filled += n;
    }
}

Task<void> IOutputStream::WritePairAsync(std::span<const std::uint8_t> head, std::span<const std::uint8_t> body,
                                         CancellationToken token) {
    co_await WriteAsync(head, token);
    co_await WriteAsync(body, token);
}

}  // namespace Quillmark::Platform::Runtime
