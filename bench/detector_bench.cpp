// Block-noise scan throughput on clean frame pairs (the whole grid is read),
// for the reference scan and each vector path this processor runs.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "engine/detector.h"

namespace {

struct FramePair {
    BITMAPINFOHEADER header{};
    std::vector<uint8_t> source, decoded;
    FramePair(int32_t width, int32_t height) {
        header.biSize = sizeof header;
        header.biWidth = width;
        header.biHeight = height;
        header.biBitCount = 24;
        source.resize(static_cast<size_t>(width) * height * 3);
        std::mt19937 rng(7);
        for (auto& b : source) b = static_cast<uint8_t>(rng());
        // Small differences everywhere, none reaching the default threshold of 9.
        decoded = source;
        for (auto& b : decoded) b = static_cast<uint8_t>(b < 128 ? b + (rng() & 3) : b - (rng() & 3));
    }
};

void scan(benchmark::State& state, int path) {
    const FramePair frames(static_cast<int32_t>(state.range(0)), static_cast<int32_t>(state.range(1)));
    if (path >= 0 && !detector_path_available(static_cast<DetectorPath>(path))) {
        state.SkipWithError("path not available on this processor");
        return;
    }
    for (auto _ : state) {
        const BadBlockHit hit =
            path < 0 ? block_noise_scan_reference(frames.source.data(), frames.decoded.data(), frames.header, 9, 28)
                     : block_noise_scan_path(static_cast<DetectorPath>(path), frames.source.data(),
                                             frames.decoded.data(), frames.header, 9, 28);
        if (hit != 0) state.SkipWithError("clean frame reported noisy");
        benchmark::DoNotOptimize(hit);
    }
    state.counters["pixels/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * state.range(0) * state.range(1)),
                           benchmark::Counter::kIsRate);
}

void sizes(benchmark::internal::Benchmark* b) {
    b->Args({1920, 1080})->Args({640, 480});
}

}  // namespace

BENCHMARK_CAPTURE(scan, reference, -1)->Apply(sizes);
BENCHMARK_CAPTURE(scan, portable, static_cast<int>(kDetectorPortable))->Apply(sizes);
BENCHMARK_CAPTURE(scan, ssse3, static_cast<int>(kDetectorSsse3))->Apply(sizes);
BENCHMARK_CAPTURE(scan, avx2, static_cast<int>(kDetectorAvx2))->Apply(sizes);
BENCHMARK_CAPTURE(scan, selected, static_cast<int>(detector_path_selected()))->Apply(sizes);

BENCHMARK_MAIN();
