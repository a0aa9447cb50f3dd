#include "Platform/Process/ChildProcess.hpp"

#include "Platform/Failure.hpp"
#include "Platform/Process/OutputCapture.hpp"
#include "Platform/Process/Posix/SpawnedProcessNative.hpp"
#include "Platform/Process/SpawnedProcess.hpp"
#include "Platform/Runtime/Cancellation.hpp"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <sys/wait.h>

#include <chrono>
#include <optional>

namespace Quillmark::Platform::Process {

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using Descriptor = asio::posix::stream_descriptor;

constexpr auto WaitRead = asio::posix::descriptor_base::wait_read;
// One turn of the loop reads at most this much, so a child that never stops writing cannot
// keep the loop from serving anything else.
constexpr std::size_t TurnBudget = 1 << 20;
// Where the system gives no exit descriptor, the child's end is looked for at this pace.
constexpr auto ExitPollInterval = 50ms;

// Watches a descriptor on the loop without owning it: the child's record keeps it, so a run
// that ends early leaves the descriptor to the reaper instead of closing it.
class Watch {
public:
    Watch(const asio::any_io_executor& executor, int fd) : descriptor_(executor, fd) {}
    ~Watch() {
        try {
            if (descriptor_.is_open()) descriptor_.release();
        } catch (...) {
        }
    }
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    Descriptor& operator*() noexcept { return descriptor_; }

private:
    Descriptor descriptor_;
};

std::int32_t ExitCodeOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return status;
}

// Until the output has more to read, the child may have ended, or stop was requested.
Task<void> NextEventAsync(Descriptor* output, Descriptor* exit, asio::steady_timer& tick,
                          Runtime::Cancellation& stop) {
    namespace ex = asio::experimental;
    if (exit == nullptr) tick.expires_after(ExitPollInterval);
    if (output != nullptr && exit != nullptr) {
        co_await ex::make_parallel_group(output->async_wait(WaitRead, asio::deferred),
                                         exit->async_wait(WaitRead, asio::deferred))
            .async_wait(ex::wait_for_one(), stop.Bind(asio::use_awaitable));
    } else if (output != nullptr) {
        co_await ex::make_parallel_group(output->async_wait(WaitRead, asio::deferred), tick.async_wait(asio::deferred))
            .async_wait(ex::wait_for_one(), stop.Bind(asio::use_awaitable));
    } else if (exit != nullptr) {
        co_await exit->async_wait(WaitRead, stop.Bind(asio::as_tuple(asio::use_awaitable)));
    } else {
        co_await tick.async_wait(stop.Bind(asio::as_tuple(asio::use_awaitable)));
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
    // After the child, so that they let go of its descriptors before it is handed on.
    Watch output(executor, native.Output.Get());
    std::optional<Watch> exit;
    if (native.ExitWatch) exit.emplace(executor, native.ExitWatch.Get());
    asio::steady_timer tick(executor);
    Runtime::Cancellation stop(executor, token);
    OutputCapture capture(MaxOutputBytes);

    auto state = OutputState::Empty;
    for (;;) {
        if (state != OutputState::Ended) state = native.ReadOutput(capture, TurnBudget);
        if (const auto status = native.TryReap()) {
            // Everything the child wrote is in the pipe now; a descendant still writing is not waited for.
            if (state != OutputState::Ended) native.ReadOutput(capture, native.PendingOutput());
            const auto exitCode = ExitCodeOf(*status);
            co_return ChildProcessResult{exitCode, std::move(capture).TakeWhole(programPath, exitCode)};
        }
        if (state == OutputState::Pending) {
            // More is there already, and readiness is told only on change: take a turn, not a wait.
            co_await asio::post(executor, asio::use_awaitable);
        } else {
            co_await NextEventAsync(state == OutputState::Empty ? &*output : nullptr, exit ? &**exit : nullptr, tick,
                                    stop);
        }
        stop.ThrowIfStopRequested();
    }
}

}  // namespace Quillmark::Platform::Process
