#include "Platform/Process/ChildProcess.hpp"

#include "Platform/Failure.hpp"

#include <boost/asio/this_coro.hpp>

namespace Quillmark::Platform::Process {

// NOT YET ON WINDOWS: the program start shared by every child process is being reworked; this
// stand-in only lets the daemon link. A sign request fails with "Arg_NotImplementedException".
Task<ChildProcessResult> ChildProcess::RunAsync(std::string, std::vector<std::string>, CancellationToken) {
    co_await boost::asio::this_coro::executor;
    throw NotImplementedFailure();
}

}  // namespace Quillmark::Platform::Process
