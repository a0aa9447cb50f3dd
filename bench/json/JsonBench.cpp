#include "Daemon/Config/AppJsonCtx.hpp"
#include "Daemon/MessageListeners/RequestData.hpp"
#include "Platform/Encoding/Base64.hpp"
#include "Platform/Json/JsonObject.hpp"
#include "bench/json/Payloads.hpp"

#include <benchmark/benchmark.h>

using Quillmark::Daemon::Config::AppJsonCtx;
using Quillmark::Daemon::MessageListeners::RequestData;
using Quillmark::Daemon::Models::FileChunk;
using Quillmark::Daemon::Models::Message;
using Quillmark::Platform::Encoding::Base64;

namespace {

FileChunk FullChunk() {
    return FileChunk{0, Base64::Encode(Quillmark::Bench::RandomBytes(Quillmark::Bench::ChunkSize))};
}

// The reply to a download chunk request.
Message DownloadReply() {
    Message message;
    message._action = 2;
    message.Data = AppJsonCtx::EncodeFileChunk(FullChunk());
    return message;
}

// An upload chunk request as a page's JSON.stringify writes it: quotes escaped with backslashes.
std::string UploadRequestText() {
    return R"({"action":1,"data":"{\"action\":1,\"chunkIndex\":0,\"chunkData\":\")" + *FullChunk().ChunkData +
           R"(\"}"})";
}

void EncodeDownloadReply(benchmark::State& state) {
    const Message message = DownloadReply();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = AppJsonCtx::EncodeMessage(message);
        bytes += text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(EncodeDownloadReply);

void EncodeDownloadReplyUtf8(benchmark::State& state) {
    const Message message = DownloadReply();
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto utf8 = AppJsonCtx::EncodeMessageUtf8(message);
        bytes += utf8.size();
        benchmark::DoNotOptimize(utf8);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(EncodeDownloadReplyUtf8);

void DecodeDownloadReply(benchmark::State& state) {
    const std::string text = AppJsonCtx::EncodeMessage(DownloadReply());
    for (auto _ : state) benchmark::DoNotOptimize(AppJsonCtx::DecodeMessage(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(DecodeDownloadReply);

void DecodeUploadChunkRequest(benchmark::State& state) {
    const std::string text = UploadRequestText();
    for (auto _ : state) benchmark::DoNotOptimize(AppJsonCtx::DecodeMessage(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(DecodeUploadChunkRequest);

// The whole reading of an upload chunk: the message, its request object, the step, the chunk.
void ReadUploadChunkRequest(benchmark::State& state) {
    const std::string text = UploadRequestText();
    for (auto _ : state) {
        const auto message = AppJsonCtx::DecodeMessage(text);
        const auto request = RequestData::Parse(message->Data);
        benchmark::DoNotOptimize(RequestData::SelectStep(request));
        benchmark::DoNotOptimize(AppJsonCtx::DecodeFileChunk(request));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(ReadUploadChunkRequest);

void EncodeFileChunk(benchmark::State& state) {
    const FileChunk chunk = FullChunk();
    std::size_t bytes = 0;
    for (auto _ : state) {
        std::string text = AppJsonCtx::EncodeFileChunk(chunk);
        bytes += text.size();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(EncodeFileChunk);

}  // namespace
