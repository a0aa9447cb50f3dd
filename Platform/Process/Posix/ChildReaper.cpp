#include "Platform/Process/ChildReaper.hpp"

#include "Platform/Process/Posix/SpawnedProcessNative.hpp"
#include "Platform/Runtime/BlockingPool.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <list>
#include <mutex>
#include <vector>

namespace Quillmark::Platform::Process {

namespace {

using Child = std::unique_ptr<SpawnedProcess::Native>;

// One round reads at most this much of each child, so a child that never stops writing cannot
// keep the others from being served.
constexpr std::size_t RoundBudget = 1 << 20;
// Each wait ends by itself; the short one where the system gives no exit descriptor to wait on.
constexpr int WaitWithExitWatchMs = 5000;
constexpr int WaitWithoutExitWatchMs = 250;

struct Orphans {
    std::mutex mutex;
    std::list<Child> arrived;
    bool serving = false;
    // Wakes the serving job's wait for a child that arrives meanwhile.
    FileDescriptor wakeRead, wakeWrite;
};

// Never destroyed: the serving job may still run while the process ends.
Orphans& State() {
    static Orphans* const orphans = new Orphans;
    return *orphans;
}

void Wake(Orphans& orphans) {
    if (!orphans.wakeWrite) return;
    const char byte = 1;
    while (::write(orphans.wakeWrite.Get(), &byte, 1) < 0 && errno == EINTR) {
    }
}

void EmptyWakePipe(Orphans& orphans) {
    char bytes[64];
    while (orphans.wakeRead && ::read(orphans.wakeRead.Get(), bytes, sizeof bytes) > 0) {
    }
}

// True once nothing more is owed to the child.
bool Tend(SpawnedProcess::Native& child, OutputCapture& sink) {
    try {
        if (child.Output && child.ReadOutput(sink, RoundBudget) == OutputState::Ended) child.Output.Reset();
    } catch (...) {
        child.Output.Reset();  // a pipe that fails to read is of no more use
    }
    try {
        return child.TryReap().has_value();
    } catch (...) {
        return true;
    }
}

}  // namespace

void ChildReaper::Adopt(Child child) noexcept {
    auto& orphans = State();
    std::lock_guard lock(orphans.mutex);
    try {
        orphans.arrived.push_back(std::move(child));
    } catch (...) {
        return;
    }
    if (!orphans.wakeWrite) {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            orphans.wakeRead = FileDescriptor(fds[0]);
            orphans.wakeWrite = FileDescriptor(fds[1]);
        }
    }
    if (orphans.serving) {
        Wake(orphans);
        return;
    }
    try {
        Runtime::BlockingPool::Shared().Post([] { Serve(); });
        orphans.serving = true;
    } catch (...) {
        // No worker now: the next child handed over tries again.
    }
}

void ChildReaper::Serve() {
    auto& orphans = State();
    std::list<Child> children;
    std::vector<pollfd> watched;
    OutputCapture sink(0);
    for (;;) {
        {
            std::lock_guard lock(orphans.mutex);
            children.splice(children.end(), orphans.arrived);
            if (children.empty()) {
                orphans.serving = false;
                return;
            }
        }
        bool everyExitWatched = true;
        watched.clear();
        if (orphans.wakeRead) watched.push_back({orphans.wakeRead.Get(), POLLIN, 0});
        for (const auto& child : children) {
            if (child->Output) watched.push_back({child->Output.Get(), POLLIN, 0});
            if (child->ExitWatch) {
                watched.push_back({child->ExitWatch.Get(), POLLIN, 0});
            } else {
                everyExitWatched = false;
            }
        }
        (void)::poll(watched.data(), watched.size(), everyExitWatched ? WaitWithExitWatchMs : WaitWithoutExitWatchMs);
        EmptyWakePipe(orphans);
        // Cheap enough to ask every child each round, whichever descriptor woke the wait.
        children.remove_if([&sink](const Child& child) { return Tend(*child, sink); });
    }
}

}  // namespace Quillmark::Platform::Process
