#pragma once
// The process's standard input and output as asynchronous byte streams. Pipes and sockets are
// served by the event loop; regular files, terminals and other handles that cannot be polled
// get a blocking read or write on the blocking pool. The process's own handles stay open for
// its whole life: closing a stream object never closes them.

#include "Platform/Runtime/ByteStream.hpp"

#include <boost/asio/any_io_executor.hpp>

#include <memory>

namespace Quillmark::Platform::Runtime {

// Standard input: a missing one reads as an empty input; a broken pipe reads as its end.
std::unique_ptr<IInputStream> OpenStandardInput(boost::asio::any_io_executor executor);
// Standard output: a write into a pipe whose reader has gone completes as if it had succeeded.
std::unique_ptr<IOutputStream> OpenStandardOutput(boost::asio::any_io_executor executor);

}  // namespace Quillmark::Platform::Runtime
