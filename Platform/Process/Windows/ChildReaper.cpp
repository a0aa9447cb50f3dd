#include "Platform/Process/ChildReaper.hpp"

#include "Platform/Process/Windows/SpawnedProcessNative.hpp"
#include "Platform/Runtime/BlockingPool.hpp"

#include <list>
#include <mutex>
#include <vector>

namespace Quillmark::Platform::Process {

namespace {

using Child = std::unique_ptr<SpawnedProcess::Native>;

// One round reads at most this much of each child, so a child that never stops writing cannot
// keep the others from being served.
constexpr std::size_t RoundBudget = 1 << 20;
// Each wait ends by itself; the short one when some child's handles did not fit into it.
constexpr DWORD LongWaitMs = 5000;
constexpr DWORD ShortWaitMs = 50;

struct Orphans {
    std::mutex mutex;
    std::list<Child> arrived;
    bool serving = false;
    // Wakes the serving job's wait for a child that arrives meanwhile.
    Windows::UniqueHandle wake{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

// Never destroyed: the serving job may still run while the process ends.
Orphans& State() {
    static Orphans* const orphans = new Orphans;
    return *orphans;
}

// True once nothing more is owed to the child; `busy` when its pipe has more to read now.
bool Tend(SpawnedProcess::Native& child, OutputCapture& sink, bool& busy) {
    try {
        if (child.Output && child.ReadOutput(sink, RoundBudget) == OutputState::Pending) busy = true;
    } catch (...) {
        child.CloseOutput();  // a pipe that fails to read is of no more use
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
        if (child) child->CloseOutput();
        return;
    }
    if (orphans.serving) {
        ::SetEvent(orphans.wake.Get());
        return;
    }
    try {
        Runtime::BlockingPool::Shared().Post([] { Serve(); });
        orphans.serving = true;
    } catch (...) {
        // No worker now: the pipe is closed rather than left unread; the next child handed over
        // tries again for a worker.
        orphans.arrived.back()->CloseOutput();
    }
}

void ChildReaper::Serve() {
    auto& orphans = State();
    std::list<Child> children;
    std::vector<HANDLE> watched;
    OutputCapture sink(0);
    bool busy = false;
    for (;;) {
        {
            std::lock_guard lock(orphans.mutex);
            children.splice(children.end(), orphans.arrived);
            if (children.empty()) {
                orphans.serving = false;
                return;
            }
        }
        watched.clear();
        if (orphans.wake) watched.push_back(orphans.wake.Get());
        for (const auto& child : children) {
            if (child->ReadUnderWay()) watched.push_back(child->ReadDone.Get());
            watched.push_back(child->Process.Get());
        }
        const bool everyoneWatched = watched.size() <= MAXIMUM_WAIT_OBJECTS;
        if (!everyoneWatched) watched.resize(MAXIMUM_WAIT_OBJECTS);
        if (!busy) {
            (void)::WaitForMultipleObjects(static_cast<DWORD>(watched.size()), watched.data(), FALSE,
                                           everyoneWatched ? LongWaitMs : ShortWaitMs);
        }
        busy = false;
        // Cheap enough to ask every child each round, whichever handle ended the wait.
        children.remove_if([&](const Child& child) { return Tend(*child, sink, busy); });
    }
}

}  // namespace Quillmark::Platform::Process
