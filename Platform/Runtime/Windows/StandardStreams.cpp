#include "Platform/Runtime/StandardStreams.hpp"

#include "Platform/Failure.hpp"

namespace Quillmark::Platform::Runtime {

// NOT YET ON WINDOWS: the standard streams are moving onto a thread pool; these stand-ins only
// let the daemon link. Native messaging fails at its start with "Arg_NotImplementedException".
std::unique_ptr<IInputStream> OpenStandardInput(boost::asio::any_io_executor) { throw NotImplementedFailure(); }

std::unique_ptr<IOutputStream> OpenStandardOutput(boost::asio::any_io_executor) { throw NotImplementedFailure(); }

}  // namespace Quillmark::Platform::Runtime
