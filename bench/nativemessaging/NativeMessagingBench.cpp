// Prints the ping round trip over the daemon's pipes (median and 99th percentile) and the time
// from spawning the daemon to its first reply (median over several starts).
//   bench_nativemessaging [round trips, default 10000] [starts, default 20]

#include "tests/support/DaemonProcess.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

using namespace Quillmark::TestSupport;
using Clock = std::chrono::steady_clock;

namespace {

const std::vector<std::string> NativeArgs = {"chrome-extension://bench/"};
const std::string Ping = Frame(R"({"action":0})");

double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Round trips of the ping frame; nothing when a reply did not come.
std::optional<std::vector<double>> RoundTrips(DaemonProcess& process, int count) {
    std::vector<double> trips;
    trips.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        auto begin = Clock::now();
        process.WriteRaw(Ping);
        if (!process.ReadFrame()) return std::nullopt;
        trips.push_back(Micros(Clock::now() - begin));
    }
    return trips;
}

double Percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[index];
}

}  // namespace

int main(int argc, char** argv) {
    const int roundTrips = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int starts = argc > 2 ? std::atoi(argv[2]) : 20;
    AppSandbox box;

    std::vector<double> spawn;
    for (int i = 0; i < starts; ++i) {
        auto begin = Clock::now();
        DaemonProcess daemon(box, NativeArgs);
        daemon.WriteRaw(Ping);
        if (!daemon.ReadFrame()) {
            std::fprintf(stderr, "no reply after start %d\n%s", i, box.ReadStderr().c_str());
            return 1;
        }
        spawn.push_back(Micros(Clock::now() - begin));
        daemon.CloseStdin();
        daemon.WaitExit();
    }

    DaemonProcess daemon(box, NativeArgs);
    RoundTrips(daemon, 200);  // warm-up
    auto trips = RoundTrips(daemon, roundTrips);
    daemon.CloseStdin();
    daemon.WaitExit();
    // The same over an echoing cat: what the pipes and the scheduler cost by themselves.
    SpawnOptions echo;
    echo.executable = "/bin/cat";
    DaemonProcess cat(box, {}, {}, echo);
    RoundTrips(cat, 200);
    auto baseline = RoundTrips(cat, roundTrips);
    if (!trips || !baseline) {
        std::fprintf(stderr, "a ping went unanswered\n%s", box.ReadStderr().c_str());
        return 1;
    }

    std::printf("ping round trip over pipes: median %.1f us, p99 %.1f us (%d requests)\n", Percentile(*trips, 0.5),
                Percentile(*trips, 0.99), roundTrips);
    std::printf("same frames echoed by cat:  median %.1f us, p99 %.1f us\n", Percentile(*baseline, 0.5),
                Percentile(*baseline, 0.99));
    std::printf("spawn to first reply: median %.2f ms, max %.2f ms (%d starts)\n", Percentile(spawn, 0.5) / 1000.0,
                Percentile(spawn, 1.0) / 1000.0, starts);
    return 0;
}
