// The ASIO channel's per-channel conversions on one copy of a stereo stream
// (both channels, as the streaming context converts them per timing
// notification), against memcpy of the same device bytes. Counters are
// device bytes per second; the ratio routine time / memcpy time of the same
// width and frame count is the figure of interest.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/asiochannel/asio_sample_conversion.h"

namespace {

constexpr ULONG kChannels = 2;
constexpr ULONG kDsdType = 33;

// Bytes per frame of the ASIO run: the sample size, 4 for DSD in 4-byte
// containers.
ULONG AsioStep(ULONG type) { return type == kDsdType ? 4 : AsioSampleBytes(type); }

void Convert(benchmark::State& state, bool render, ULONG width, ULONG type) {
    const ULONG frames = static_cast<ULONG>(state.range(0));
    const ULONG stride = kChannels * width;
    const PASIO_CONVERT routine = render ? AsioRenderConversion(width, type) : AsioCaptureConversion(width, type);
    if (routine == AsioRenderUnsupported || routine == AsioCaptureUnsupported) {
        state.SkipWithError("no conversion for this cell");
        return;
    }
    std::vector<UCHAR> device(static_cast<size_t>(frames) * stride);
    std::vector<std::vector<UCHAR>> asio(kChannels, std::vector<UCHAR>(static_cast<size_t>(frames) * AsioStep(type)));
    for (size_t i = 0; i < device.size(); ++i) device[i] = static_cast<UCHAR>(i * 131 + 7);
    for (auto& run : asio) {
        for (size_t i = 0; i < run.size(); ++i) run[i] = static_cast<UCHAR>(i * 71 + 3);
    }
    for (auto _ : state) {
        for (ULONG ch = 0; ch < kChannels; ++ch) {
            UCHAR* dev = device.data() + ch * width;
            if (render) {
                routine(asio[ch].data(), dev, frames, stride);
            } else {
                routine(dev, asio[ch].data(), frames, stride);
            }
        }
        benchmark::DoNotOptimize(device.data());
        benchmark::DoNotOptimize(asio[0].data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(device.size()));
}

void Memcpy(benchmark::State& state, ULONG width) {
    const size_t bytes = static_cast<size_t>(state.range(0)) * kChannels * width;
    std::vector<UCHAR> src(bytes, 0x5A);
    std::vector<UCHAR> dst(bytes);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), bytes);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

struct Row {
    const char* name;
    ULONG type;
};
const Row kRows[] = {{"Int16LSB", 16}, {"Int24LSB", 17}, {"Int32LSB", 18}};

// Names: memcpy/w<width>/<frames>, render|capture/w<width>/<type>/<frames>.
int Register() {
    for (ULONG width = 2; width <= 4; ++width) {
        const std::string w = "/w" + std::to_string(width);
        benchmark::RegisterBenchmark(("memcpy" + w).c_str(), Memcpy, width)->Arg(256)->Arg(2048);
        for (const Row& row : kRows) {
            benchmark::RegisterBenchmark(("render" + w + "/" + row.name).c_str(), Convert, true, width, row.type)
                ->Arg(256)
                ->Arg(2048);
            benchmark::RegisterBenchmark(("capture" + w + "/" + row.name).c_str(), Convert, false, width, row.type)
                ->Arg(256)
                ->Arg(2048);
        }
    }
    benchmark::RegisterBenchmark("render/w4/DSDInt8MSB1", Convert, true, 4, kDsdType)->Arg(256)->Arg(2048);
    return 0;
}
const int kRegistered = Register();

}  // namespace

BENCHMARK_MAIN();
