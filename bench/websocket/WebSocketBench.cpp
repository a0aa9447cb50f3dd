// Round trips through the WebSocket transport on loopback: a ping request in one text frame,
// its reply in another, with the transport driven as the main loop drives it.

#include "tests/websocket/RawClient.hpp"
#include "tests/websocket/TransportHarness.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace Quillmark::Tests;

double Percentile(std::vector<double> samples, double fraction) {
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<std::size_t>(fraction * static_cast<double>(samples.size() - 1))];
}

void RoundTrip(benchmark::State& state, std::string request) {
    PrivateLog log;
    TransportHarness server;
    RawClient client(server.Port());
    if (!client.Upgrade()) {
        state.SkipWithError("no handshake");
        return;
    }
    const auto frame = ClientFrame(1, request);
    std::vector<double> micros;
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        client.Send(frame);
        auto reply = client.ReadFrame();
        const auto end = std::chrono::steady_clock::now();
        if (!reply) {
            state.SkipWithError("no reply");
            break;
        }
        benchmark::DoNotOptimize(reply);
        micros.push_back(std::chrono::duration<double, std::micro>(end - begin).count());
        // The harness keeps every request; drop them so memory stays flat.
        server.NextMessage(std::chrono::milliseconds(0));
    }
    if (micros.empty()) return;
    state.counters["median_us"] = Percentile(micros, 0.5);
    state.counters["p99_us"] = Percentile(micros, 0.99);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (frame.size() + request.size())));
}

void BM_PingRoundTrip(benchmark::State& state) { RoundTrip(state, R"({"action":0})"); }
BENCHMARK(BM_PingRoundTrip)->Iterations(20000)->Unit(benchmark::kMicrosecond);

// An upload-sized request: one 512 KiB chunk of Base64 text.
void BM_LargeMessageRoundTrip(benchmark::State& state) {
    RoundTrip(state, R"({"action":1,"data":")" + std::string(512 * 1024, 'Q') + R"("})");
}
BENCHMARK(BM_LargeMessageRoundTrip)->Iterations(500)->Unit(benchmark::kMicrosecond);

}  // namespace
