// Round trips through the WebSocket transport on loopback: a ping request in one text frame,
// its reply in another, with the transport driven as the main loop drives it.

#include "tests/support/AppSandbox.hpp"
#include "tests/support/DaemonProcess.hpp"
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

// Times request and reply over an upgraded connection; afterEach runs outside the timing.
template <class AfterEach>
void Measure(benchmark::State& state, RawClient& client, const std::string& request, AfterEach afterEach) {
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
        afterEach();
    }
    if (micros.empty()) return;
    state.counters["median_us"] = Percentile(micros, 0.5);
    state.counters["p99_us"] = Percentile(micros, 0.99);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (frame.size() + request.size())));
}

void RoundTrip(benchmark::State& state, const std::string& request) {
    PrivateLog log;
    TransportHarness server;
    RawClient client(server.Port());
    // The harness keeps every request; drop them so memory stays flat.
    Measure(state, client, request, [&] { server.NextMessage(std::chrono::milliseconds(0)); });
}

void BM_PingRoundTrip(benchmark::State& state) { RoundTrip(state, R"({"action":0})"); }
BENCHMARK(BM_PingRoundTrip)->Iterations(20000)->Unit(benchmark::kMicrosecond);

// An upload-sized request: one 512 KiB chunk of Base64 text.
void BM_LargeMessageRoundTrip(benchmark::State& state) {
    RoundTrip(state, R"({"action":1,"data":")" + std::string(512 * 1024, 'Q') + R"("})");
}
BENCHMARK(BM_LargeMessageRoundTrip)->Iterations(500)->Unit(benchmark::kMicrosecond);

// The whole daemon: transport, main loop, the ping listener and its log.
void BM_DaemonPingRoundTrip(benchmark::State& state) {
    using namespace Quillmark::TestSupport;
    AppSandbox box;
    const auto port = FreeTcpPort();
    DaemonProcess daemon(box, {"quillmark://start-ws?port=" + std::to_string(port)});
    if (!WaitForTcpListener(port)) {
        state.SkipWithError("the daemon did not listen");
        return;
    }
    RawClient client(port);
    Measure(state, client, R"({"action":0})", [] {});
    client.Request(R"({"action":2147483647})");
    daemon.WaitExit();
}
BENCHMARK(BM_DaemonPingRoundTrip)->Iterations(20000)->Unit(benchmark::kMicrosecond);

}  // namespace
