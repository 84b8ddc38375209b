// Throughput of the Base64 encoder and decoder on 1 MiB of random bytes, with and without line
// breaks. Bytes per second are counted on the binary side for encoding and on the text side
// for decoding.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "module/client/ldb64.h"

namespace {

constexpr int32_t kBinarySize = 1 << 20;

std::vector<uint8_t> random_bytes() {
    std::vector<uint8_t> bytes(kBinarySize);
    std::mt19937 rng(42);
    for (auto &b : bytes) {
        b = static_cast<uint8_t>(rng());
    }
    return bytes;
}

int32_t text_capacity() { return kBinarySize / 3 * 4 + kBinarySize / 57 + 16; }

void BM_EncodeBase64(benchmark::State &state) {
    const auto bytes = random_bytes();
    const auto line_breaks = static_cast<int32_t>(state.range(0));
    std::vector<char> text(static_cast<size_t>(text_capacity()));
    int32_t length = 0;
    for (auto _ : state) {
        const int32_t result = encode_base64(bytes.data(), kBinarySize, text.data(),
                                             static_cast<int32_t>(text.size()), &length, line_breaks);
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kBinarySize);
}
BENCHMARK(BM_EncodeBase64)->ArgName("line_breaks")->Arg(0)->Arg(1);

void BM_DecodeBase64(benchmark::State &state) {
    const auto bytes = random_bytes();
    std::vector<char> text(static_cast<size_t>(text_capacity()));
    int32_t text_length = 0;
    encode_base64(bytes.data(), kBinarySize, text.data(), static_cast<int32_t>(text.size()), &text_length,
                  static_cast<int32_t>(state.range(0)));
    std::vector<uint8_t> decoded(static_cast<size_t>(text_length / 4 * 3 + 4));
    int32_t length = 0;
    for (auto _ : state) {
        const int32_t result = decode_base64(text.data(), text_length, decoded.data(),
                                             static_cast<int32_t>(decoded.size()), &length);
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    if (length != kBinarySize) {
        state.SkipWithError("decoded length differs from the input");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * text_length);
}
BENCHMARK(BM_DecodeBase64)->ArgName("line_breaks")->Arg(0)->Arg(1);

}  // namespace
