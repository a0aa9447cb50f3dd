#include "Daemon/Infrastructure/LogMessage.hpp"

#include "Platform/Failure.hpp"

namespace Quillmark::Daemon::Infrastructure {

LogMessage::LogMessage(const std::exception_ptr& failure) : text_(Platform::DescribeFailure(failure)) {}

LogMessage::LogMessage(const std::exception& failure) : text_(Platform::DescribeFailure(failure)) {}

}  // namespace Quillmark::Daemon::Infrastructure
