#include "Platform/Process/ChildProcess.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Process/OutputCapture.hpp"
#include "Platform/Process/SpawnedProcess.hpp"
#include "Platform/Process/Windows/SpawnedProcessNative.hpp"
#include "Platform/Runtime/Cancellation.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/windows/object_handle.hpp>

namespace Quillmark::Platform::Process {

namespace {

namespace asio = boost::asio;
using ObjectHandle = asio::windows::object_handle;

// One turn of the loop reads at most this much, so a child that never stops writing cannot
// keep the loop from serving anything else.
constexpr std::size_t TurnBudget = 1 << 20;

// A wait of the loop's own on the handle: the wait closes its copy, the child's record keeps
// the original for the reaper should the run end early.
ObjectHandle WaitOn(const asio::any_io_executor& executor, HANDLE handle) {
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, SYNCHRONIZE, FALSE, 0)) {
        throw IoFailure(Windows::DescribeError(::GetLastError()));
    }
    return ObjectHandle(executor, copy);
}

void Cancel(ObjectHandle& wait) noexcept {
    boost::system::error_code ignored;
    wait.cancel(ignored);
}

// A wait that ends the other one as it ends: these waits know no cancellation of a single
// operation, only of all the waits on their handle.
auto WaitThenCancel(ObjectHandle& wait, ObjectHandle& other) {
    return wait.async_wait(asio::deferred([&other](boost::system::error_code ec) {
        Cancel(other);
        return asio::deferred.values(ec);
    }));
}

// Until the read under way has completed, the child has ended, or both waits were cancelled.
Task<void> NextEventAsync(ObjectHandle* readDone, ObjectHandle& exit) {
    namespace ex = asio::experimental;
    if (readDone != nullptr) {
        co_await ex::make_parallel_group(WaitThenCancel(*readDone, exit), WaitThenCancel(exit, *readDone))
            .async_wait(ex::wait_for_all(), asio::use_awaitable);
    } else {
        co_await exit.async_wait(asio::as_tuple(asio::use_awaitable));
    }
}

}  // namespace

Task<ChildProcessResult> ChildProcess::RunAsync(std::string programPath, std::vector<std::string> arguments,
                                                CancellationToken token) {
    if (token.stop_requested()) throw CancellationFailure();
    auto child = SpawnedProcess::Spawn({.Program = programPath,
                                        .Arguments = std::move(arguments),
                                        .Method = StartMethod::Direct,
                                        .Input = ChildStream::Inherited,
                                        .Output = ChildStream::Pipe,
                                        .Detached = false});
    auto& native = child.Get();

    const auto executor = co_await asio::this_coro::executor;
    // After the child, so that they are gone before it is handed on.
    auto exit = WaitOn(executor, native.Process.Get());
    auto readDone = WaitOn(executor, native.ReadDone.Get());
    Runtime::Cancellation stop(executor, token);
    stop.OnStop([&exit, &readDone] {
        Cancel(exit);
        Cancel(readDone);
    });
    OutputCapture capture(MaxOutputBytes);

    auto state = OutputState::Empty;
    for (;;) {
        if (state != OutputState::Ended) state = native.ReadOutput(capture, TurnBudget);
        if (const auto exitCode = native.TryReap()) {
            // Everything the child wrote is in the pipe now; a descendant still writing is not waited for.
            if (state != OutputState::Ended) native.ReadRemaining(capture);
            co_return ChildProcessResult{*exitCode, std::move(capture).TakeWhole(programPath, *exitCode)};
        }
        if (state == OutputState::Pending) {
            // More may be there already: take a turn, not a wait.
            co_await asio::post(executor, asio::use_awaitable);
        } else {
            co_await NextEventAsync(state == OutputState::Empty ? &readDone : nullptr, exit);
        }
        stop.ThrowIfStopRequested();
    }
}

}  // namespace Quillmark::Platform::Process
