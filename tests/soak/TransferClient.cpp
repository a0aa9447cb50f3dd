#include "tests/soak/TransferClient.hpp"

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <malloc.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

// RapidJSON's SSE2 scan reads whole aligned 16-byte blocks, past a string's end within its page
// but outside the allocation, which AddressSanitizer reports; the sanitizer build scans bytewise.
#if defined(__SSE2__) && !defined(RAPIDJSON_SSE2) && !defined(__SANITIZE_ADDRESS__)
#define RAPIDJSON_SSE2
#endif
#include <rapidjson/document.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

namespace Quillmark::TestSupport {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

// Files, their Base64 and the messages carrying it come and go with every transfer: kept in the
// heap rather than mapped afresh each time, their pages are not faulted in again and again,
// which on some virtual machines costs more than the transfer itself.
[[maybe_unused]] const bool keepLargeBuffers =
    (mallopt(M_MMAP_THRESHOLD, 32 << 20), mallopt(M_TRIM_THRESHOLD, 512 << 20), true);

// Starts an async operation and runs the context until it completes or the time is up; an
// operation still pending then is cancelled by closing the socket.
template <class Start>
bool RunBounded(asio::io_context& io, std::chrono::milliseconds timeout, tcp::socket& socket, Start start,
                beast::error_code* error = nullptr) {
    bool done = false;
    beast::error_code ec;
    start([&](beast::error_code e, auto&&...) {
        done = true;
        ec = e;
    });
    io.restart();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        io.run_one_for(deadline - std::chrono::steady_clock::now());
    }
    if (!done) {
        beast::error_code ignored;
        socket.close(ignored);
        io.restart();
        io.run_for(std::chrono::seconds(2));
        if (error) *error = asio::error::timed_out;
        return false;
    }
    if (error) *error = ec;
    return !ec;
}

}  // namespace

std::optional<Reply> ParseReply(std::string_view json) {
    std::string text(json);
    return ParseReplyInPlace(text);
}

std::optional<Reply> ParseReplyInPlace(std::string& json) {
    // Parsed where it lies: a chunk's text is copied once, into the reply.
    rapidjson::Document doc;
    doc.ParseInsitu(json.data());
    if (doc.HasParseError() || !doc.IsObject()) return std::nullopt;
    Reply reply;
    for (auto it = doc.MemberBegin(); it != doc.MemberEnd(); ++it) {
        const std::string name(it->name.GetString(), it->name.GetStringLength());
        const auto& v = it->value;
        if (name == "action" && v.IsInt()) reply.action = v.GetInt();
        else if (name == "errorCode" && v.IsInt()) reply.errorCode = v.GetInt();
        else if (name == "data" && v.IsString()) reply.data = std::string(v.GetString(), v.GetStringLength());
        else if (name == "errorMessage" && v.IsString())
            reply.errorMessage = std::string(v.GetString(), v.GetStringLength());
        else return std::nullopt;
    }
    return reply;
}

struct WsChannel::State {
    asio::io_context io;
    websocket::stream<beast::tcp_stream> ws{io};
    std::uint16_t port = 0;
    beast::flat_buffer buffer;
    std::uint16_t closeCode = 0;
    std::string closeReason;
    bool peerClosed = false;

    tcp::socket& Socket() { return beast::get_lowest_layer(ws).socket(); }
};

WsChannel::WsChannel() : state_(std::make_unique<State>()) {}
WsChannel::~WsChannel() { Drop(); }

bool WsChannel::ConnectTcp(std::uint16_t port, std::chrono::milliseconds timeout) {
    state_->port = port;
    const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), port);
    if (!RunBounded(state_->io, timeout, state_->Socket(),
                    [&](auto handler) { beast::get_lowest_layer(state_->ws).async_connect(endpoint, handler); }))
        return false;
    // A browser sends each small message at once; without this, delayed acknowledgements
    // would make every request wait.
    beast::error_code ignored;
    state_->Socket().set_option(tcp::no_delay(true), ignored);
    // Large messages go out in frames of 131,000 bytes, as Chromium sends them, not in the
    // library's default of 4 KiB.
    state_->ws.auto_fragment(true);
    state_->ws.write_buffer_bytes(131000);
    return true;
}

bool WsChannel::Handshake(std::chrono::milliseconds timeout) {
    const std::string host = "127.0.0.1:" + std::to_string(state_->port);
    return RunBounded(state_->io, timeout, state_->Socket(),
                      [&](auto handler) { state_->ws.async_handshake(host, "/soak", handler); });
}

bool WsChannel::Connect(std::uint16_t port, std::chrono::milliseconds timeout) {
    return ConnectTcp(port, timeout) && Handshake(timeout);
}

bool WsChannel::Send(std::string_view json) {
    state_->ws.text(true);
    return RunBounded(state_->io, std::chrono::seconds(30), state_->Socket(),
                      [&](auto handler) { state_->ws.async_write(asio::buffer(json.data(), json.size()), handler); });
}

bool WsChannel::SendPartial(std::string_view text) {
    state_->ws.text(true);
    return RunBounded(state_->io, std::chrono::seconds(10), state_->Socket(), [&](auto handler) {
        state_->ws.async_write_some(false, asio::buffer(text.data(), text.size()), handler);
    });
}

std::optional<std::string> WsChannel::Receive(std::chrono::milliseconds timeout) {
    state_->buffer.clear();
    beast::error_code ec;
    if (!RunBounded(state_->io, timeout, state_->Socket(),
                    [&](auto handler) { state_->ws.async_read(state_->buffer, handler); }, &ec)) {
        if (ec == websocket::error::closed) {
            state_->peerClosed = true;
            state_->closeCode = static_cast<std::uint16_t>(state_->ws.reason().code);
            state_->closeReason = std::string(state_->ws.reason().reason.c_str());
        } else if (ec) {
            state_->peerClosed = ec != asio::error::timed_out;
        }
        return std::nullopt;
    }
    return beast::buffers_to_string(state_->buffer.data());
}

bool WsChannel::SendRaw(std::string_view bytes) {
    return RunBounded(state_->io, std::chrono::seconds(10), state_->Socket(), [&](auto handler) {
        asio::async_write(state_->Socket(), asio::buffer(bytes.data(), bytes.size()), handler);
    });
}

bool WsChannel::Close(std::chrono::milliseconds timeout) {
    if (!RunBounded(state_->io, timeout, state_->Socket(), [&](auto handler) {
            state_->ws.async_close(websocket::close_reason(websocket::close_code::normal), handler);
        }))
        return false;
    state_->closeCode = static_cast<std::uint16_t>(state_->ws.reason().code);
    state_->closeReason = std::string(state_->ws.reason().reason.c_str());
    return true;
}

void WsChannel::Drop() {
    beast::error_code ignored;
    state_->Socket().shutdown(tcp::socket::shutdown_both, ignored);
    state_->Socket().close(ignored);
}

std::uint16_t WsChannel::CloseCode() const { return state_->closeCode; }
std::string WsChannel::CloseReason() const { return state_->closeReason; }

bool WsChannel::WaitClosedByPeer(std::chrono::milliseconds timeout) {
    if (state_->peerClosed) return true;
    // Whatever still arrives is read and dropped until the connection ends.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        std::array<char, 4096> scratch;
        beast::error_code ec;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        RunBounded(state_->io, left, state_->Socket(),
                   [&](auto handler) { state_->Socket().async_read_some(asio::buffer(scratch), handler); }, &ec);
        if (ec == asio::error::timed_out) return false;
        if (ec) return true;
    }
    return false;
}

int PlainHttpStatus(std::uint16_t port, std::chrono::milliseconds timeout) {
    asio::io_context io;
    beast::tcp_stream stream(io);
    auto& socket = stream.socket();
    const tcp::endpoint endpoint(asio::ip::make_address_v4("127.0.0.1"), port);
    if (!RunBounded(io, timeout, socket, [&](auto handler) { stream.async_connect(endpoint, handler); })) return 0;
    beast::http::request<beast::http::empty_body> request(beast::http::verb::get, "/index.html", 11);
    request.set(beast::http::field::host, "127.0.0.1");
    if (!RunBounded(io, timeout, socket, [&](auto handler) { beast::http::async_write(stream, request, handler); }))
        return 0;
    beast::flat_buffer buffer;
    beast::http::response<beast::http::string_body> response;
    if (!RunBounded(io, timeout, socket,
                    [&](auto handler) { beast::http::async_read(stream, buffer, response, handler); }))
        return 0;
    return static_cast<int>(response.result_int());
}

std::string Sha256Hex(std::span<const std::uint8_t> bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += Digits[digest[i] >> 4];
        hex += Digits[digest[i] & 15];
    }
    return hex;
}

std::string ToBase64(std::span<const std::uint8_t> bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3), '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(n));
    return text;
}

bool AppendBase64(std::string_view text, Bytes& bytes) {
    if (text.size() % 4 != 0) return false;
    const std::size_t at = bytes.size();
    bytes.resize(at + 3 * (text.size() / 4));
    const int n = EVP_DecodeBlock(bytes.data() + at, reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0) {
        bytes.resize(at);
        return false;
    }
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=') ++padding;
    if (text.size() > 1 && text[text.size() - 2] == '=') ++padding;
    bytes.resize(at + static_cast<std::size_t>(n) - padding);
    return true;
}

std::optional<Bytes> FromBase64(std::string_view text) {
    Bytes bytes;
    if (!AppendBase64(text, bytes)) return std::nullopt;
    return bytes;
}

std::string JsonQuote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 2);
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        // Runs that need no escape go in whole: a chunk's Base64 is one such run.
        std::size_t run = i;
        while (run < text.size() && text[run] != '"' && text[run] != '\\' && static_cast<unsigned char>(text[run]) >= 0x20)
            ++run;
        out.append(text, i, run - i);
        if (run == text.size()) break;
        i = run + 1;
        const char c = text[run];
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
            out += escape;
        }
    }
    out += '"';
    return out;
}

Bytes RandomBytes(std::size_t count, std::uint64_t seed) {
    Bytes bytes(count);
    // SplitMix64: files of megabytes are made for every transfer, and this is quick.
    auto next = [state = seed]() mutable {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    };
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const std::uint64_t word = next();
        std::memcpy(bytes.data() + i, &word, 8);
    }
    for (; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(next());
    return bytes;
}

namespace {

std::optional<Reply> Exchange(Channel& channel, std::string_view json, std::chrono::milliseconds timeout) {
    if (!channel.Send(json)) return std::nullopt;
    auto text = channel.Receive(timeout);
    if (!text) return std::nullopt;
    return ParseReplyInPlace(*text);
}

// An upload chunk's request, its Base64 written straight into the message: Base64 needs no
// escape inside the two JSON strings it sits in.
std::string ChunkRequest(std::size_t index, std::span<const std::uint8_t> piece, bool corrupt) {
    const std::string head = R"({"action":1,"data":"{\"action\":1,\"chunkIndex\":)" + std::to_string(index) +
                             R"(,\"chunkData\":\")" + (corrupt ? "*" : "");
    constexpr std::string_view tail = R"(\"}"})";
    std::string json(head.size() + 4 * ((piece.size() + 2) / 3) + tail.size(), '\0');
    std::memcpy(json.data(), head.data(), head.size());
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(json.data() + head.size()), piece.data(),
                                  static_cast<int>(piece.size()));
    json.replace(head.size() + static_cast<std::size_t>(n), std::string::npos, tail);
    return json;
}

}  // namespace

std::optional<Reply> Request(Channel& channel, std::int32_t action, std::optional<std::string> data,
                             std::chrono::milliseconds timeout) {
    std::string json = "{\"action\":" + std::to_string(action);
    if (data) json += ",\"data\":" + JsonQuote(*data);
    json += '}';
    return Exchange(channel, json, timeout);
}

UploadOutcome Upload(Channel& channel, std::span<const std::uint8_t> bytes, const UploadOptions& options) {
    UploadOutcome outcome;
    const std::size_t chunkBytes = std::max<std::size_t>(options.chunkBytes, 1);
    const std::size_t total = bytes.empty() ? 1 : (bytes.size() + chunkBytes - 1) / chunkBytes;
    std::ostringstream metadata;
    metadata << "{\"action\":0,\"fileName\":\"ignored\",\"originalFileName\":" << JsonQuote(options.originalFileName)
             << ",\"fileSize\":" << options.fileSize.value_or(static_cast<std::int64_t>(bytes.size()))
             << ",\"totalChunks\":" << total << ",\"fileHash\":" << JsonQuote(options.hash.value_or(Sha256Hex(bytes)))
             << '}';
    auto reply = Request(channel, 1, metadata.str());
    if (!reply || reply->errorCode != 0 || reply->data != "OK") {
        outcome.last = reply;
        outcome.problem = "metadata step not answered OK";
        return outcome;
    }
    for (std::size_t i = 0; i < total; ++i) {
        const auto piece = bytes.subspan(std::min(i * chunkBytes, bytes.size()),
                                         std::min(chunkBytes, bytes.size() - std::min(i * chunkBytes, bytes.size())));
        reply = Exchange(channel, ChunkRequest(i, piece, options.corruptChunk && i == total / 2), ReplyWait);
        outcome.last = reply;
        if (!reply) {
            outcome.problem = "no reply to chunk " + std::to_string(i);
            return outcome;
        }
        if (i + 1 < total && (reply->errorCode != 0 || reply->data != "OK")) {
            outcome.problem = "chunk " + std::to_string(i) + " not answered OK";
            return outcome;
        }
    }
    if (reply->errorCode != 0 || !reply->data) return outcome;
    rapidjson::Document doc;
    doc.Parse(reply->data->c_str());
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("status") || !doc["status"].IsString() ||
        std::string_view(doc["status"].GetString()) != "SUCCESS" || !doc.HasMember("fileName") ||
        !doc["fileName"].IsString()) {
        outcome.problem = "success reply malformed: " + *reply->data;
        return outcome;
    }
    outcome.completed = true;
    outcome.fileName = doc["fileName"].GetString();
    return outcome;
}

std::optional<Bytes> Download(Channel& channel, std::string_view fileName, std::string* problem) {
    auto fail = [&](std::string why) -> std::optional<Bytes> {
        if (problem) *problem = std::move(why);
        return std::nullopt;
    };
    auto reply = Request(channel, 2, "{\"action\":0,\"fileName\":" + JsonQuote(fileName) + "}");
    if (!reply || reply->errorCode != 0 || reply->data != "OK") return fail("prepare step not answered OK");
    Bytes bytes;
    for (std::int64_t i = 0;; ++i) {
        reply = Request(channel, 2, "{\"action\":1,\"chunkIndex\":" + std::to_string(i) + "}");
        if (!reply) return fail("no reply to chunk request " + std::to_string(i));
        if (reply->errorCode == 2) {
            const bool end = reply->errorMessage == "Chunk index is out of range Arg_ParamName_Name, chunkIndex" ||
                             (i == 0 && reply->errorMessage == "No chunks available to send");
            if (!end) return fail("chunk " + std::to_string(i) + ": " + reply->errorMessage.value_or(""));
            return bytes;
        }
        if (!reply->data) return fail("chunk reply without data at " + std::to_string(i));
        rapidjson::Document doc;
        doc.ParseInsitu(reply->data->data());
        if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("chunkIndex") || !doc["chunkIndex"].IsInt64() ||
            doc["chunkIndex"].GetInt64() != i || !doc.HasMember("chunkData") || !doc["chunkData"].IsString())
            return fail("chunk reply malformed at " + std::to_string(i));
        const std::size_t before = bytes.size();
        if (!AppendBase64(std::string_view(doc["chunkData"].GetString(), doc["chunkData"].GetStringLength()), bytes) ||
            bytes.size() == before || bytes.size() - before > 524288)
            return fail("chunk data bad at " + std::to_string(i));
    }
}

MemoryUse MemoryOf(int pid) {
    MemoryUse use;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        std::istringstream fields(line);
        std::string key;
        std::int64_t value = 0;
        fields >> key >> value;
        if (key == "VmRSS:") use.rssKiB = value;
        if (key == "VmHWM:") use.peakKiB = value;
    }
    return use;
}

}  // namespace Quillmark::TestSupport
