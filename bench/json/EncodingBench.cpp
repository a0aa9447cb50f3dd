#include "Platform/Encoding/Base64.hpp"
#include "Platform/Encoding/Sha256.hpp"
#include "bench/json/Payloads.hpp"

#include <benchmark/benchmark.h>

using Quillmark::Platform::Encoding::Base64;
using Quillmark::Platform::Encoding::Sha256;

namespace {

void Base64Encode(benchmark::State& state) {
    const auto bytes = Quillmark::Bench::RandomBytes(Quillmark::Bench::ChunkSize);
    for (auto _ : state) benchmark::DoNotOptimize(Base64::Encode(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(Base64Encode);

void Base64Decode(benchmark::State& state) {
    const std::string text = Base64::Encode(Quillmark::Bench::RandomBytes(Quillmark::Bench::ChunkSize));
    for (auto _ : state) benchmark::DoNotOptimize(Base64::Decode(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Base64Decode);

// Line-broken text takes the skipping path.
void Base64DecodeWithLineBreaks(benchmark::State& state) {
    const std::string plain = Base64::Encode(Quillmark::Bench::RandomBytes(Quillmark::Bench::ChunkSize));
    std::string text;
    for (std::size_t i = 0; i < plain.size(); i += 76) text += plain.substr(i, 76) + "\r\n";
    for (auto _ : state) benchmark::DoNotOptimize(Base64::Decode(text));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(Base64DecodeWithLineBreaks);

void Sha256Hash(benchmark::State& state) {
    const auto bytes = Quillmark::Bench::RandomBytes(Quillmark::Bench::ChunkSize);
    for (auto _ : state) benchmark::DoNotOptimize(Sha256::Hash(bytes));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(Sha256Hash);

}  // namespace
