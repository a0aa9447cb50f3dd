#include "Daemon/Connections/CustomUrlProtocolConnection.hpp"

#include "Platform/Failure.hpp"

namespace Quillmark::Daemon::Connections {

namespace {

[[noreturn]] void NotImplemented() { throw Platform::NotImplementedFailure(); }

}  // namespace

// Plain functions, not coroutines: the failure comes from the call itself.
Platform::Task<void> CustomUrlProtocolConnection::StartAsync(Platform::CancellationToken) { NotImplemented(); }

Platform::Task<Models::Message> CustomUrlProtocolConnection::ReceiveMessageAsync(Platform::CancellationToken) {
    NotImplemented();
}

Platform::Task<void> CustomUrlProtocolConnection::SendMessageAsync(Models::Message, Platform::CancellationToken) {
    NotImplemented();
}

}  // namespace Quillmark::Daemon::Connections
