#pragma once
// Asynchronous byte streams as the transports see them. One operation at a time per stream.

#include "Platform/Async.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace Quillmark::Platform::Runtime {

class IInputStream {
public:
    virtual ~IInputStream() = default;
    // Reads at least one byte into the buffer, or answers 0 at the end of the input. A token
    // already cancelled when the read begins is a CancellationFailure; a read under way is
    // not interrupted.
    virtual Task<std::size_t> ReadSomeAsync(std::span<std::uint8_t> buffer, CancellationToken token) = 0;
};

class IOutputStream {
public:
    virtual ~IOutputStream() = default;
    // Writes the whole buffer. A token already cancelled when the write begins is a
    // CancellationFailure and nothing is written.
    virtual Task<void> WriteAsync(std::span<const std::uint8_t> bytes, CancellationToken token) = 0;
    // Writes the head and then the body as one piece of output: in one call to the system where
    // the stream can, so that its reader wakes once for both. Cancellation as for one buffer.
    virtual Task<void> WritePairAsync(std::span<const std::uint8_t> head, std::span<const std::uint8_t> body,
                                      CancellationToken token);
};

// Fills the whole buffer, in as many reads as the stream needs; an end of input before it is
// full is an EndOfStreamFailure. An empty buffer issues no read.
Task<void> ReadExactlyAsync(IInputStream& stream, std::span<std::uint8_t> buffer, CancellationToken token);

}  // namespace Quillmark::Platform::Runtime
