// Speed of the built-in MPEG-4 drivers at 640x480: compression as the engine
// drives it (key frame every 240, budgets of 3000 kbit/s) and decompression;
// in test builds also our own MP42 coder on one and two threads, at 640x480
// and 1280x720. The frames are 60 frames of ffmpeg's testsrc2, held in
// memory bottom-up.
// Each benchmark also reports the heap allocations per frame made inside the
// timed loop (by the driver and by libavcodec), counted by wrapping malloc.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/platform.h"
#ifdef TWOPASS_TEST_HOOKS
#include "codec/codec_testing.h"
#endif
#include "tests/codec/codec_util.h"
#include "tests/support/alloc_counter.h"

// Every allocation counts, from the start of the program: the benchmarks take
// the difference over their timed loops (by the driver and by libavcodec).
static const bool g_counting_on = (testsupport::allocation_counting(true), true);
static long allocs() { return testsupport::allocation_count(); }

namespace {

constexpr int W = 640, H = 480, N = 60;

std::vector<std::vector<std::uint8_t>> make_frames(int w, int h) {
    std::vector<std::vector<std::uint8_t>> out;
    const std::string path = "/tmp/codec_bench_testsrc2.bgr";
    char cmd[512];
    std::snprintf(cmd, sizeof cmd,
                  "ffmpeg -y -v error -f lavfi -i testsrc2=size=%dx%d:rate=30000/1001 -frames:v %d "
                  "-f rawvideo -pix_fmt bgr24 %s",
                  w, h, N, path.c_str());
    const std::size_t size = static_cast<std::size_t>(w) * h * 3;
    std::FILE* f = nullptr;
    if (std::system(cmd) == 0) f = std::fopen(path.c_str(), "rb");
    std::vector<std::uint8_t> top(size);
    for (int n = 0; n < N; ++n) {
        std::vector<std::uint8_t> px(size);
        if (f && std::fread(top.data(), 1, size, f) == size) {
            for (int y = 0; y < h; ++y) std::memcpy(&px[y * w * 3], &top[(h - 1 - y) * w * 3], w * 3);
        } else {
            icmtest::make_picture(px, w, h, n);  // no ffmpeg: synthetic frames
        }
        out.push_back(std::move(px));
    }
    if (f) std::fclose(f);
    std::remove(path.c_str());
    return out;
}

const std::vector<std::vector<std::uint8_t>>& frames() {
    static const std::vector<std::vector<std::uint8_t>> all = make_frames(W, H);
    return all;
}

// checked: the caller declares the engine's default block-noise rule, and the
// driver decodes and measures its own frames.
void BM_Compress(benchmark::State& state, DWORD fcc, bool checked, const std::vector<std::vector<std::uint8_t>>& src,
                 int w, int h) {
    icmtest::Compressor c;
    if (!c.open(fcc, w, h)) {
        state.SkipWithError("codec did not open");
        return;
    }
    if (checked) ICSendMessage(c.hic, ICM_SET, icm_set_checked, icm_checked_rule(9, 28));
    std::size_t n = 0, bytes = 0;
    bool key;
    DWORD size;
    c.encode(src[0].data(), key, size);  // first frame outside the count: set-up
    const long before = allocs();
    for (auto _ : state) {
        c.encode(src[++n % N].data(), key, size);
        bytes += size;
    }
    const long made = allocs() - before;
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.counters["allocs_per_frame"] = static_cast<double>(made) / static_cast<double>(state.iterations());
    state.counters["bytes_per_frame"] = static_cast<double>(bytes) / static_cast<double>(state.iterations());
}

void BM_Compress(benchmark::State& state, DWORD fcc, bool checked) { BM_Compress(state, fcc, checked, frames(), W, H); }

#ifdef TWOPASS_TEST_HOOKS
// Our own MP42 coder through the driver, on one or two threads.
void BM_CompressOwn(benchmark::State& state, int w, int h, int threads) {
    static std::vector<std::vector<std::uint8_t>> other;
    if (w != W && other.empty()) other = make_frames(w, h);  // one other size only
    codec_set_own_encoder(1);
    codec_set_encoder_threads(threads);
    BM_Compress(state, mmioFOURCC('M', 'P', '4', '2'), false, w == W ? frames() : other, w, h);
    codec_set_encoder_threads(2);
    codec_set_own_encoder(0);
}

// MP42 at one quantiser for every frame, by libavcodec's coder (with the
// driver's decoding of each frame, which keeps it in step) or by ours (on
// both cores): the coders like for like, the rate control aside.
void BM_CompressAtQuantiser(benchmark::State& state, bool own, int qp) {
    codec_set_own_encoder(own ? 1 : 0);
    codec_set_fixed_quantiser(qp);
    BM_Compress(state, mmioFOURCC('M', 'P', '4', '2'), false);
    codec_set_fixed_quantiser(0);
    codec_set_own_encoder(TWOPASS_MP42_OWN_ENCODER);
}
#endif

void BM_Decompress(benchmark::State& state, DWORD fcc) {
    const auto& src = frames();
    icmtest::Compressor c;
    icmtest::Decompressor d;
    if (!c.open(fcc, W, H) || !d.open(fcc, W, H)) {
        state.SkipWithError("codec did not open");
        return;
    }
    std::vector<std::vector<std::uint8_t>> packets;
    std::vector<bool> keys;
    for (const auto& px : src) {
        bool key;
        DWORD size;
        c.encode(px.data(), key, size);
        packets.emplace_back(c.buffer.begin(), c.buffer.begin() + size);
        keys.push_back(key);
    }
    std::size_t n = 0;
    d.decode(packets[0].data(), static_cast<DWORD>(packets[0].size()), true);
    const long before = allocs();
    for (auto _ : state) {
        // Loop over the 60 frames; frame 0 is the only key frame, so restart there.
        n = (n + 1) % N;
        if (n == 0) d.begin();
        d.decode(packets[n].data(), static_cast<DWORD>(packets[n].size()), keys[n]);
        benchmark::DoNotOptimize(d.picture.data());
    }
    const long made = allocs() - before;
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.counters["allocs_per_frame"] = static_cast<double>(made) / static_cast<double>(state.iterations());
}

BENCHMARK_CAPTURE(BM_Compress, MP42, mmioFOURCC('M', 'P', '4', '2'), false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Compress, MP42_checked, mmioFOURCC('M', 'P', '4', '2'), true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Compress, MP43, mmioFOURCC('M', 'P', '4', '3'), false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Compress, DIV3, mmioFOURCC('D', 'I', 'V', '3'), false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Compress, DIV4, mmioFOURCC('D', 'I', 'V', '4'), false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Compress, MPG4, mmioFOURCC('M', 'P', 'G', '4'), false)->Unit(benchmark::kMillisecond)->UseRealTime();
#ifdef TWOPASS_TEST_HOOKS
BENCHMARK_CAPTURE(BM_CompressOwn, MP42_own_640x480_1thread, 640, 480, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CompressOwn, MP42_own_640x480_2threads, 640, 480, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CompressOwn, MP42_own_1280x720_1thread, 1280, 720, 1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CompressOwn, MP42_own_1280x720_2threads, 1280, 720, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CompressAtQuantiser, MP42_libavcodec_q4, false, 4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CompressAtQuantiser, MP42_own_q4, true, 4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CompressAtQuantiser, MP42_libavcodec_q8, false, 8)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_CompressAtQuantiser, MP42_own_q8, true, 8)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif
BENCHMARK_CAPTURE(BM_Decompress, MP42, mmioFOURCC('M', 'P', '4', '2'))->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decompress, MP43, mmioFOURCC('M', 'P', '4', '3'))->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_Decompress, MPG4, mmioFOURCC('M', 'P', 'G', '4'))->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
