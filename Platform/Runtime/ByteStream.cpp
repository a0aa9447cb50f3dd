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

}  // namespace Quillmark::Platform::Runtime
