// Ping round trips, and upload and download of 1, 32 and 256 MiB files, through a running
// daemon over native messaging and over WebSocket, each against two floors: the same frames
// moved by the transport's medium alone (piped through cat, or echoed over a loopback TCP
// connection), and that plus the work no implementation can avoid, hashing (upload) or
// Base64-encoding (download) the file. Prints one table with the daemon's figure, each floor
// and the daemon's ratio to it, and the daemon's peak memory.
//
//   bench_transfer [MiB [runs [upload|download]]]      (default 1, 32 and 256 MiB, 3 runs, both)
//
// Each figure is the best of the runs (the machine may be busy with other work), the peak
// memory the highest; every run uses a fresh daemon.

#include "Platform/Encoding/Base64.hpp"
#include "Platform/Encoding/Hex.hpp"
#include "Platform/Encoding/Sha256.hpp"
#include "tests/soak/TransferClient.hpp"
#include "tests/support/AppSandbox.hpp"
#include "tests/support/DaemonProcess.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace Quillmark;
using TestSupport::AppSandbox;
using TestSupport::DaemonProcess;
using Clock = std::chrono::steady_clock;

constexpr std::size_t ChunkSize = 524288;
constexpr auto Wait = std::chrono::seconds(120);

// The seam between the driver and a transport: one request frame out, one reply in.
class Transport {
public:
    virtual ~Transport() = default;
    virtual void Send(std::string_view message) = 0;
    virtual std::string Receive() = 0;
    virtual int DaemonPid() const = 0;
    // The daemon's temporary folder, where uploads land and downloads come from.
    virtual std::filesystem::path TempFolder() const = 0;
    // The floor: the same frames moved by this transport's medium alone, all in a row.
    virtual double CopySeconds(const std::vector<std::string>& frames) const = 0;
    // The floor of one round trip: the message there and back by the medium alone, count times.
    virtual std::vector<double> CopyRoundTrips(const std::string& message, int count) const = 0;
};

double CatSeconds(const std::vector<std::string>& frames);
std::vector<double> CatRoundTrips(const std::string& message, int count);
double EchoSeconds(const std::vector<std::string>& frames);
std::vector<double> EchoRoundTrips(const std::string& message, int count);

class NativeMessagingTransport final : public Transport {
public:
    NativeMessagingTransport() : daemon_(box_, {"chrome-extension://bench/"}) {
        // The first reply proves the daemon has finished preparing its temporary folder.
        Send(R"({"action":0})");
        Receive();
    }
    void Send(std::string_view message) override {
        if (!daemon_.WriteFrame(message)) throw std::runtime_error("the daemon's stdin is closed");
    }
    std::string Receive() override {
        auto frame = daemon_.ReadFrame(Wait);
        if (!frame) throw std::runtime_error("no reply from the daemon; stderr: " + box_.ReadStderr());
        return std::move(*frame);
    }
    int DaemonPid() const override { return daemon_.Pid(); }
    std::filesystem::path TempFolder() const override { return box_.TempFolder(); }
    double CopySeconds(const std::vector<std::string>& frames) const override { return CatSeconds(frames); }
    std::vector<double> CopyRoundTrips(const std::string& message, int count) const override {
        return CatRoundTrips(message, count);
    }

private:
    AppSandbox box_;
    DaemonProcess daemon_;
};

class WebSocketTransport final : public Transport {
public:
    WebSocketTransport()
        : port_(TestSupport::FreeTcpPort()),
          daemon_(box_, {"quillmark://start-ws?port=" + std::to_string(port_)}) {
        if (!box_.WaitForLog("Đang chờ kết nối WebSocket mới...", std::chrono::seconds(20)) || !client_.Connect(port_))
            throw std::runtime_error("the WebSocket daemon did not take a client; stderr: " + box_.ReadStderr());
        Send(R"({"action":0})");
        Receive();
    }
    void Send(std::string_view message) override {
        if (!client_.Send(message)) throw std::runtime_error("the WebSocket connection broke");
    }
    std::string Receive() override {
        auto message = client_.Receive(Wait);
        if (!message) throw std::runtime_error("no reply from the daemon; stderr: " + box_.ReadStderr());
        return std::move(*message);
    }
    int DaemonPid() const override { return daemon_.Pid(); }
    std::filesystem::path TempFolder() const override { return box_.TempFolder(); }
    double CopySeconds(const std::vector<std::string>& frames) const override { return EchoSeconds(frames); }
    std::vector<double> CopyRoundTrips(const std::string& message, int count) const override {
        return EchoRoundTrips(message, count);
    }

private:
    AppSandbox box_;
    std::uint16_t port_;
    DaemonProcess daemon_;
    TestSupport::WsChannel client_;
};

// The daemon's peak resident memory so far, in bytes.
std::int64_t PeakRss(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
    }
    return -1;
}

// The daemon's processor time so far (user and system), in seconds.
double CpuSeconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(all.substr(all.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; fields >> field && i <= 15; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::span<const std::uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// The message carrying a request object, escaped as a browser's JSON.stringify does.
std::string Request(int action, std::string_view object) {
    return R"({"action":)" + std::to_string(action) + R"(,"data":)" + TestSupport::JsonQuote(object) + "}";
}

std::string DataOf(const std::string& reply) {
    const auto start = reply.find(R"("data":")");
    if (start == std::string::npos) throw std::runtime_error("error reply: " + reply.substr(0, 300));
    const auto end = reply.find("\",\"action\"", start);
    return reply.substr(start + 8, end - start - 8);
}

// Pipes the frames through cat and reads them back: the cost of moving the bytes at all.
double CatSeconds(const std::vector<std::string>& frames) {
    AppSandbox box;
    TestSupport::SpawnOptions options;
    options.executable = "/bin/cat";
    DaemonProcess cat(box, {}, {}, options);
    const auto start = Clock::now();
    std::thread writer([&] {
        for (const auto& frame : frames) cat.WriteFrame(frame);
    });
    for (std::size_t i = 0; i < frames.size(); ++i) {
        if (!cat.ReadFrame(Wait)) throw std::runtime_error("cat stopped");
    }
    const auto elapsed = Clock::now() - start;
    writer.join();
    return Seconds(elapsed);
}

std::vector<double> CatRoundTrips(const std::string& message, int count) {
    AppSandbox box;
    TestSupport::SpawnOptions options;
    options.executable = "/bin/cat";
    DaemonProcess cat(box, {}, {}, options);
    std::vector<double> trips;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        cat.WriteFrame(message);
        if (!cat.ReadFrame(Wait)) throw std::runtime_error("cat stopped");
        trips.push_back(Seconds(Clock::now() - start));
    }
    return trips;
}

// A loopback TCP peer that sends back whatever it receives.
class LoopbackEcho {
public:
    LoopbackEcho() : acceptor_(io_, {boost::asio::ip::make_address_v4("127.0.0.1"), 0}), client_(io_) {
        std::thread echo([this] {
            boost::asio::ip::tcp::socket peer(io_);
            acceptor_.accept(peer);
            peer.set_option(boost::asio::ip::tcp::no_delay(true));
            std::vector<char> buffer(1 << 20);
            boost::system::error_code ec;
            for (;;) {
                const auto n = peer.read_some(boost::asio::buffer(buffer), ec);
                if (ec) break;
                boost::asio::write(peer, boost::asio::buffer(buffer.data(), n), ec);
                if (ec) break;
            }
        });
        client_.connect(acceptor_.local_endpoint());
        client_.set_option(boost::asio::ip::tcp::no_delay(true));
        echo_ = std::move(echo);
    }
    ~LoopbackEcho() {
        boost::system::error_code ignored;
        client_.shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
        client_.close(ignored);
        echo_.join();
    }
    boost::asio::ip::tcp::socket& Client() { return client_; }

private:
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::socket client_;
    std::thread echo_;
};

double EchoSeconds(const std::vector<std::string>& frames) {
    LoopbackEcho echo;
    std::size_t total = 0;
    for (const auto& frame : frames) total += frame.size();
    const auto start = Clock::now();
    std::thread writer([&] {
        for (const auto& frame : frames) boost::asio::write(echo.Client(), boost::asio::buffer(frame));
    });
    std::vector<char> buffer(1 << 20);
    for (std::size_t got = 0; got < total;) got += echo.Client().read_some(boost::asio::buffer(buffer));
    const auto elapsed = Clock::now() - start;
    writer.join();
    return Seconds(elapsed);
}

std::vector<double> EchoRoundTrips(const std::string& message, int count) {
    LoopbackEcho echo;
    std::vector<char> back(message.size());
    std::vector<double> trips;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        boost::asio::write(echo.Client(), boost::asio::buffer(message));
        boost::asio::read(echo.Client(), boost::asio::buffer(back));
        trips.push_back(Seconds(Clock::now() - start));
    }
    return trips;
}

std::string MakeFile(std::size_t size) {
    std::string content(size, '\0');
    std::mt19937_64 random(42);
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        const auto value = random();
        std::memcpy(content.data() + i, &value, 8);
    }
    return content;
}

struct Figures {
    double seconds = 0;
    double baselineSeconds = 0;  // the medium plus hashing or encoding
    double pipeSeconds = 0;      // the medium alone
    std::int64_t peakRss = 0;
    double daemonCpuSeconds = 0;
};

Figures Upload(Transport& transport, const std::string& content) {
    const auto hash = Platform::Encoding::Hex::ToUpper(Platform::Encoding::Sha256::Hash(Bytes(content)));
    const auto total = (content.size() + ChunkSize - 1) / ChunkSize;
    std::vector<std::string> frames;
    frames.push_back(Request(1, R"({"action":0,"fileName":"bench.bin","originalFileName":"bench.bin","fileSize":)" +
                                    std::to_string(content.size()) + R"(,"totalChunks":)" + std::to_string(total) +
                                    R"(,"fileHash":")" + hash + "\"}"));
    for (std::size_t i = 0; i < total; ++i) {
        const auto piece = Bytes(content).subspan(i * ChunkSize, std::min(ChunkSize, content.size() - i * ChunkSize));
        frames.push_back(Request(1, R"({"action":1,"chunkIndex":)" + std::to_string(i) + R"(,"chunkData":")" +
                                        Platform::Encoding::Base64::Encode(piece) + "\"}"));
    }

    // A buffer's first trip through the system costs here many times what later ones do (on this
    // kind of virtual machine the kernel's first access to each page of it is slow), and the
    // floors below move frames that have made that trip already: so these have made it too.
    transport.CopySeconds(frames);

    Figures figures;
    const auto cpuStart = CpuSeconds(transport.DaemonPid());
    const auto start = Clock::now();
    std::string last;
    for (const auto& frame : frames) {
        transport.Send(frame);
        last = transport.Receive();
    }
    figures.seconds = Seconds(Clock::now() - start);
    figures.daemonCpuSeconds = CpuSeconds(transport.DaemonPid()) - cpuStart;
    figures.peakRss = PeakRss(transport.DaemonPid());
    if (last.find("SUCCESS") == std::string::npos) throw std::runtime_error("upload failed: " + last.substr(0, 300));

    const auto baselineStart = Clock::now();
    const auto check = Platform::Encoding::Sha256::Hash(Bytes(content));
    const double hashSeconds = Seconds(Clock::now() - baselineStart);
    figures.pipeSeconds = transport.CopySeconds(frames);
    figures.baselineSeconds = hashSeconds + figures.pipeSeconds;
    if (check[0] != Platform::Encoding::Sha256::Hash(Bytes(content))[0]) std::abort();
    return figures;
}

Figures Download(Transport& transport, const std::string& content) {
    {
        std::ofstream out(transport.TempFolder() / "bench.bin", std::ios::binary);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
    }
    const auto total = (content.size() + ChunkSize - 1) / ChunkSize;
    // Only the replies the checks read are kept: holding every reply would time this driver's
    // page faults on hundreds of fresh megabytes instead of the daemon.
    std::string prepared, firstChunk, lastChunk;

    Figures figures;
    const auto cpuStart = CpuSeconds(transport.DaemonPid());
    const auto start = Clock::now();
    transport.Send(Request(2, R"({"action":0,"fileName":"bench.bin"})"));
    prepared = transport.Receive();
    for (std::size_t i = 0; i < total; ++i) {
        transport.Send(Request(2, R"({"action":1,"chunkIndex":)" + std::to_string(i) + "}"));
        std::string reply = transport.Receive();
        if (i == 0) firstChunk = std::move(reply);
        if (i + 1 == total) lastChunk = std::move(reply);
    }
    figures.seconds = Seconds(Clock::now() - start);
    figures.daemonCpuSeconds = CpuSeconds(transport.DaemonPid()) - cpuStart;
    figures.peakRss = PeakRss(transport.DaemonPid());
    if (DataOf(prepared) != "OK") throw std::runtime_error("prepare failed: " + prepared);
    if (total == 1) lastChunk = firstChunk;
    // Spot checks of the content: the first and last chunk decode to the file's bytes.
    for (std::size_t i : {std::size_t{0}, total - 1}) {
        std::string data = DataOf(i == 0 ? firstChunk : lastChunk);
        const auto from = data.find("chunkData\\u0022:\\u0022") + 22;
        std::string unescaped;
        for (std::size_t at = from; at < data.size();) {
            if (data.compare(at, 7, "\\\\u002B") == 0) { unescaped += '+'; at += 7; }
            else if (data.compare(at, 6, "\\u0022") == 0) break;
            else unescaped += data[at++];
        }
        const auto bytes = Platform::Encoding::Base64::Decode(unescaped);
        const auto expected = content.substr(i * ChunkSize, std::min(ChunkSize, content.size() - i * ChunkSize));
        if (std::string(bytes.begin(), bytes.end()) != expected) throw std::runtime_error("chunk content differs");
    }
    // The floor moves frames of the replies' sizes: a full chunk's reply differs from the first only
    // in its index's digits.
    std::vector<std::string> replies{prepared};
    replies.insert(replies.end(), total - 1, firstChunk);
    replies.push_back(lastChunk);

    const auto baselineStart = Clock::now();
    const auto encoded = Platform::Encoding::Base64::Encode(Bytes(content));
    const double encodeSeconds = Seconds(Clock::now() - baselineStart);
    // The replies are fresh buffers, whose first trip through the system the daemon's did not
    // pay for (see Upload).
    transport.CopySeconds(replies);
    figures.pipeSeconds = transport.CopySeconds(replies);
    figures.baselineSeconds = encodeSeconds + figures.pipeSeconds;
    if (encoded.empty() && !content.empty()) std::abort();
    return figures;
}

double Percentile(std::vector<double> values, double fraction) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())))];
}

constexpr int Pings = 5000;

struct PingFigures {
    std::vector<double> daemon;
    std::vector<double> floor;
    std::int64_t peakRss = 0;
};

PingFigures Ping(Transport& transport) {
    PingFigures figures;
    const std::string ping = R"({"action":0})";
    for (int i = 0; i < Pings; ++i) {
        const auto start = Clock::now();
        transport.Send(ping);
        if (transport.Receive() != R"({"data":"Pong","action":0,"errorCode":0})") throw std::runtime_error("bad pong");
        figures.daemon.push_back(Seconds(Clock::now() - start));
    }
    figures.peakRss = PeakRss(transport.DaemonPid());
    figures.floor = transport.CopyRoundTrips(ping, Pings);
    return figures;
}

void Header() {
    std::printf("%-17s %-16s %11s %11s %11s %6s %11s %6s %10s\n", "transport", "measure", "daemon", "slowest run",
                "floor", "ratio", "pipe only", "ratio", "peak RSS");
}

// One line; the slowest run shows the spread of the daemon's figure. A ping's floor is the
// medium alone, so it stands in both floor columns.
void Row(const char* transport, const std::string& measure, const std::string& daemon, const std::string& slowest,
         const std::string& floor, double ratio, const std::string& pipe, double pipeRatio, std::int64_t peakRss,
         const std::string& note = {}) {
    std::printf("%-17s %-16s %11s %11s %11s %6.2f %11s %6.2f %6.1f MiB%s\n", transport, measure.c_str(), daemon.c_str(),
                slowest.c_str(), floor.c_str(), ratio, pipe.c_str(), pipeRatio,
                static_cast<double>(peakRss) / (1024.0 * 1024.0), note.c_str());
    std::fflush(stdout);
}

std::string Micros(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f us", seconds * 1e6);
    return text;
}

std::string Throughput(std::size_t bytes, double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f MiB/s", static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds);
    return text;
}

// The targets set for a 256 MiB file: within 1.5 x the medium alone, and no more memory than
// the file and 16 MiB.
std::string Targets(const Figures& f, std::size_t size) {
    if (size < (std::size_t{256} << 20)) return {};
    const double rssLimit = static_cast<double>(size) + 16.0 * 1024 * 1024;
    return (f.seconds <= 1.5 * f.pipeSeconds && static_cast<double>(f.peakRss) <= rssLimit) ? "" : "  MISSED";
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::size_t> sizes{1, 32, 256};
    if (argc > 1) sizes = {std::strtoul(argv[1], nullptr, 10)};
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string only = argc > 3 ? argv[3] : "";
    try {
        // A fresh daemon for each measurement, so each peak is its own.
        const std::vector<std::pair<const char*, std::function<std::unique_ptr<Transport>()>>> transports{
            {"native messaging", [] { return std::make_unique<NativeMessagingTransport>(); }},
            {"WebSocket", [] { return std::make_unique<WebSocketTransport>(); }},
        };
        std::printf("upload and download in %zu-byte chunks; best of %d runs; ratio = daemon time / floor time\n",
                    ChunkSize, runs);
        Header();
        for (const auto& [name, make] : transports) {
            if (only.empty()) {
                const auto ping = Ping(*make());
                for (const double at : {0.5, 0.99}) {
                    const double daemon = Percentile(ping.daemon, at), floor = Percentile(ping.floor, at);
                    Row(name, at == 0.5 ? "ping median" : "ping p99", Micros(daemon), "", Micros(floor), daemon / floor,
                        Micros(floor), daemon / floor, ping.peakRss);
                }
            }
            for (const std::size_t mib : sizes) {
                const auto content = MakeFile(mib * 1024 * 1024);
                for (auto* direction : {&Upload, &Download}) {
                    const char* what = direction == &Upload ? "upload" : "download";
                    if (!only.empty() && only != what) continue;
                    Figures best;
                    double slowest = 0;
                    for (int run = 0; run < runs; ++run) {
                        const auto figures = (*direction)(*make(), content);
                        const auto least = [&](double Figures::*member) {
                            best.*member = run == 0 ? figures.*member : std::min(best.*member, figures.*member);
                        };
                        least(&Figures::seconds);
                        least(&Figures::baselineSeconds);
                        least(&Figures::pipeSeconds);
                        least(&Figures::daemonCpuSeconds);
                        best.peakRss = std::max(best.peakRss, figures.peakRss);
                        slowest = std::max(slowest, figures.seconds);
                    }
                    Row(name, std::string(what) + " " + std::to_string(mib) + " MiB",
                        Throughput(content.size(), best.seconds), Throughput(content.size(), slowest),
                        Throughput(content.size(), best.baselineSeconds), best.seconds / best.baselineSeconds,
                        Throughput(content.size(), best.pipeSeconds), best.seconds / best.pipeSeconds, best.peakRss,
                        Targets(best, content.size()));
                }
            }
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "bench_transfer: %s\n", failure.what());
        return 1;
    }
    return 0;
}
