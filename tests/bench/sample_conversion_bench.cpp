// ConvertSamples throughput on one 10 ms render buffer of 192 kHz stereo,
// against memcpy of the same destination bytes. Counters are destination
// bytes per second, so every row moves the same amount of output.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "driver/core/sample_conversion.h"

namespace {

constexpr ULONG kRate = 192000;
constexpr ULONG kChannels = 2;
constexpr ULONG kFrames = kRate / 100;  // 10 ms
constexpr ULONG kDstBits = 32;

using ConvertFn = ULONG (*)(PVOID, const VOID*, ULONG, ULONG, ULONG, ULONG, ULONG);

void Convert(benchmark::State& state, ConvertFn fn, ULONG srcBits) {
  const ULONG srcBytes = kFrames * kChannels * srcBits / 8;
  std::vector<UCHAR> src(srcBytes);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<UCHAR>(i * 131 + 7);
  std::vector<UCHAR> dst(kFrames * kChannels * kDstBits / 8);
  ULONG written = 0;
  for (auto _ : state) {
    written = fn(dst.data(), src.data(), srcBytes, kChannels, kDstBits, kChannels, srcBits);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  if (written != dst.size()) state.SkipWithError("unexpected output size");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(dst.size()));
}

void BM_Memcpy(benchmark::State& state) {
  std::vector<UCHAR> src(kFrames * kChannels * kDstBits / 8, 0x5A);
  std::vector<UCHAR> dst(src.size());
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(dst.size()));
}

}  // namespace

BENCHMARK(BM_Memcpy)->Name("memcpy_15360B");
BENCHMARK_CAPTURE(Convert, 16to32, ConvertSamples, 16)->Name("ConvertSamples/16to32");
BENCHMARK_CAPTURE(Convert, 24to32, ConvertSamples, 24)->Name("ConvertSamples/24to32");
BENCHMARK_CAPTURE(Convert, 32to32, ConvertSamples, 32)->Name("ConvertSamples/32to32_copy");
BENCHMARK_CAPTURE(Convert, generic16to32, ConvertSamplesGeneric, 16)->Name("ConvertSamplesGeneric/16to32");

BENCHMARK_MAIN();
