#include "Daemon/Program.hpp"

#include "Common/UpdateReminderConfig.hpp"
#include "Common/Utils.hpp"
#include "Daemon/CommandLine.hpp"
#include "Daemon/Connections/CustomUrlProtocolConnection.hpp"
#include "Daemon/Connections/NativeMessagingConnection.hpp"
#include "Daemon/Connections/WebSocketConnection.hpp"
#include "Daemon/Infrastructure/AppLogger.hpp"
#include "Daemon/Infrastructure/CrashReporter.hpp"
#include "Daemon/Infrastructure/UpdateManager.hpp"
#include "Daemon/MessageListeners/CheckVersionListener.hpp"
#include "Daemon/MessageListeners/ForceExitListener.hpp"
#include "Daemon/MessageListeners/PingListener.hpp"
#include "Daemon/MessageListeners/ReceiveFileListener.hpp"
#include "Daemon/MessageListeners/SendFileListener.hpp"
#include "Daemon/MessageListeners/SignListener.hpp"
#include "Platform/Failure.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

#include <source_location>

namespace Quillmark::Daemon {

namespace {

using Infrastructure::AppLogger;
using Models::Message;

bool IsEndOfStream(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const Platform::Failure& f) {
        return f.Kind() == Platform::FailureKind::EndOfStream;
    } catch (...) {
        return false;
    }
}

std::unique_ptr<Connections::IConnection> CreateConnection(const CommandLine& options) {
    if (options.NativeMessaging) return std::make_unique<Connections::NativeMessagingConnection>();
    if (options.WebSocket)
        return std::make_unique<Connections::WebSocketConnection>(options.Port, Program::webSocketMessageLimit);
    if (options.CustomUrlProtocol) return std::make_unique<Connections::CustomUrlProtocolConnection>();
    throw Platform::InvalidOperationFailure("No valid connection method specified.");
}

}  // namespace

std::int32_t Program::Main(const std::vector<std::string>& args) {
    const auto temp = Common::Utils::PrepareTempDir();
    if (temp.UsualRefused) {
        const auto refused = "Temporary folder " + Common::Utils::TempDirCandidates().front() + " is not this user's alone";
        AppLogger::Warn(temp.Folder.empty() ? refused + " and no fallback could be made; uploads and downloads are refused."
                                            : refused + "; using " + temp.Folder + ".");
    }
    Platform::Runtime::SetUnhandledFailureHandler(&CurrentDomain_UnhandledException);
    if (!Common::UpdateReminderConfig::Load()) AppLogger::Warn("Failed to load update reminder config.");

    const auto options = CommandLine::Read(args);
    connection = CreateConnection(options);

    Platform::CancellationTokenSource cancellationTokenSource;
    listeners.push_back(std::make_unique<MessageListeners::PingListener>());
    listeners.push_back(std::make_unique<MessageListeners::ReceiveFileListener>());
    listeners.push_back(std::make_unique<MessageListeners::SendFileListener>());
    listeners.push_back(std::make_unique<MessageListeners::SignListener>());
    listeners.push_back(std::make_unique<MessageListeners::CheckVersionListener>());
    listeners.push_back(std::make_unique<MessageListeners::ForceExitListener>(cancellationTokenSource));

    Infrastructure::UpdateManager::CheckAndLaunchUpdater();

    boost::asio::io_context io(1);
    std::exception_ptr failure;
    std::int32_t result = 0;
    boost::asio::co_spawn(io, MainAsync(cancellationTokenSource.get_token()),
                          [&](std::exception_ptr e, std::int32_t r) {
                              failure = e;
                              result = r;
                              // Work the loop left behind (a listening socket, a timer) must not keep us here.
                              io.stop();
                          });
    io.run();
    if (failure) std::rethrow_exception(failure);
    return result;
}

Platform::Task<std::int32_t> Program::MainAsync(Platform::CancellationToken token) {
    co_await connection->StartAsync(token);
    for (;;) {
        if (token.stop_requested()) co_return 0;

        Message request;
        std::exception_ptr receiveFailure;
        try {
            request = co_await connection->ReceiveMessageAsync(token);
        } catch (...) {
            receiveFailure = std::current_exception();
        }
        if (receiveFailure) {
            if (IsEndOfStream(receiveFailure)) co_return 0;
            std::rethrow_exception(receiveFailure);
        }

        MessageListeners::IMessageListener* handler = nullptr;
        for (const auto& listener : listeners) {
            if (token.stop_requested()) break;
            if (listener->Action() == request._action) {
                handler = listener.get();
                break;
            }
        }
        if (!handler) continue;

        // Moved, not copied: an upload chunk's text is large.
        const std::int32_t action = request._action;
        std::exception_ptr failure;
        try {
            Message reply = co_await handler->ProcessAsync(std::move(request), token);
            // Never cancelled: the stop request cancels the token and its "OK" must still go out.
            co_await connection->SendMessageAsync(std::move(reply), Platform::CancellationToken{});
        } catch (...) {
            failure = std::current_exception();
        }
        if (!failure) continue;

        AppLogger::Exception(failure);
        try {
            Message error;
            error.ErrorMessage = Platform::MessageOf(failure);
            error._action = action;
            error._errorCode = 2;
            co_await connection->SendMessageAsync(std::move(error), token);
        } catch (...) {
            // The client has most likely gone; the next receive will tell.
        }
    }
}

void Program::CurrentDomain_UnhandledException(const void*, const Platform::Runtime::UnhandledFailureEventArgs& e) {
    const std::exception_ptr& failure = e.ExceptionObject;
    AppLogger::Exception(failure);
    Infrastructure::CrashReporter::Report(failure, std::source_location::current());
    Platform::Runtime::ExitNow(1);
}

}  // namespace Quillmark::Daemon
