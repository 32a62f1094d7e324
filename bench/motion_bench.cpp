// Speed of the motion search: each kernel in each variant this machine runs,
// and the whole search over a 640x480 moving picture (ms per frame), with
// half-pel candidates ranked by SAD or by SATD. The search benchmarks also
// report the mean SAD per macroblock of the vectors found (lower is a better
// prediction) and the mean vector bits, to weigh the two rankings.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "codec/motion_kernels.h"
#include "codec/motion_search.h"

namespace {

constexpr int W = 640, H = 480, MBW = W / 16, MBH = H / 16, B = codec_ref_border;

// A smooth random canvas with fine detail, larger than the picture so that
// frames can be cut from it at moving offsets.
struct Canvas {
    int w = W + 200, h = H + 200;
    std::vector<std::uint8_t> px;
    Canvas() : px(static_cast<std::size_t>(w) * h) {
        std::mt19937 rng(1);
        const int cell = 8, gw = w / cell + 2, gh = h / cell + 2;
        std::vector<int> grid(static_cast<std::size_t>(gw) * gh);
        for (int& g : grid) g = static_cast<int>(rng() % 200) + 28;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int ix = x / cell, iy = y / cell, fx = x % cell, fy = y % cell;
                auto g = [&](int gx, int gy) { return grid[static_cast<std::size_t>(gy) * gw + gx]; };
                const int top = g(ix, iy) * (cell - fx) + g(ix + 1, iy) * fx;
                const int bottom = g(ix, iy + 1) * (cell - fx) + g(ix + 1, iy + 1) * fx;
                const int v = (top * (cell - fy) + bottom * fy) / (cell * cell) + static_cast<int>(rng() % 9) - 4;
                px[static_cast<std::size_t>(y) * w + x] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
            }
    }
};

// Frame n: a pan of (3, 1) pixels a frame, half a pixel more every other
// frame, with a block moving the other way.
void make_frame(const Canvas& c, int n, std::vector<std::uint8_t>& out) {
    out.resize(static_cast<std::size_t>(W) * H);
    const int ox = 20 + 3 * n, oy = 40 + n, half = n & 1;
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            int sx = ox + x, sy = oy + y;
            if (x >= 200 && x < 360 && y >= 150 && y < 300) sx = 150 - 2 * n + x, sy = 100 - n + y;
            const std::uint8_t* p = &c.px[static_cast<std::size_t>(sy) * c.w + sx];
            out[static_cast<std::size_t>(y) * W + x] = static_cast<std::uint8_t>(half ? (p[0] + p[1] + 1) >> 1 : p[0]);
        }
}

void add_border(const std::vector<std::uint8_t>& pic, std::vector<std::uint8_t>& ref) {
    const int stride = W + 2 * B;
    ref.resize(static_cast<std::size_t>(stride) * (H + 2 * B));
    for (int y = -B; y < H + B; ++y)
        for (int x = -B; x < W + B; ++x)
            ref[static_cast<std::size_t>(y + B) * stride + x + B] =
                pic[static_cast<std::size_t>(std::clamp(y, 0, H - 1)) * W + std::clamp(x, 0, W - 1)];
}

void BM_Kernel(benchmark::State& state, MotionKernelVariant variant, int which) {
    if (!motion_kernels_available(variant)) {
        state.SkipWithError("variant not run by this machine");
        return;
    }
    const MotionKernels& k = motion_kernels_of(variant);
    std::vector<std::uint8_t> a(64 * 64), b(64 * 64);
    std::mt19937 rng(5);
    for (auto& v : a) v = static_cast<std::uint8_t>(rng());
    for (auto& v : b) v = static_cast<std::uint8_t>(rng());
    MotionCompareFn f = which == 0 ? k.sad16 : which == 1 ? k.sad8 : which == 2 ? k.satd8 : k.sad16_half[which - 3];
    int offset = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f(a.data() + offset, 64, b.data() + 1 + offset, 64));
        offset = (offset + 1) & 15;
    }
    state.SetLabel(k.name);
}

void register_kernels() {
    static const char* const names[] = {"sad16", "sad8", "satd8", "sad16_full", "sad16_h", "sad16_v", "sad16_hv"};
    static const char* const variants[] = {"scalar", "sse2", "avx2"};
    for (int which = 0; which < 7; ++which)
        for (int v = 0; v < motion_kernel_variants; ++v)
            benchmark::RegisterBenchmark((std::string("BM_Kernel/") + names[which] + "/" + variants[v]).c_str(),
                                         BM_Kernel, static_cast<MotionKernelVariant>(v), which);
}

void BM_Search(benchmark::State& state, MotionKernelVariant variant, int satd) {
    if (!motion_kernels_available(variant)) {
        state.SkipWithError("variant not run by this machine");
        return;
    }
    static const Canvas canvas;
    constexpr int frames = 8;
    std::vector<std::vector<std::uint8_t>> pics(frames), refs(frames);
    for (int n = 0; n < frames; ++n) {
        make_frame(canvas, n, pics[n]);
        add_border(pics[n], refs[n]);
    }
    MotionSearch s;
    if (!motion_search_open(s, MBW, MBH)) {
        state.SkipWithError("open failed");
        return;
    }
    s.kernels = &motion_kernels_of(variant);
    s.half_pel_satd = satd;
    std::vector<CodecMv> v(MBW * MBH);
    std::vector<std::uint32_t> cost(MBW * MBH);
    const std::ptrdiff_t ref_stride = W + 2 * B;
    const int lambda = 4 * 16;  // four SAD units a bit: a middling quantiser
    auto search = [&](int n) {
        const std::uint8_t* ref = refs[n - 1].data() + B * ref_stride + B;
        motion_search_frame(s, pics[n].data(), W, ref, ref_stride, lambda, v.data(), cost.data());
    };
    // Quality first, untimed and the same for every variant: one pass over the clip.
    double sad_sum = 0, bits_sum = 0;
    for (int n = 1; n < frames; ++n) {
        search(n);
        for (int mby = 0; mby < MBH; ++mby)
            for (int mbx = 0; mbx < MBW; ++mbx) {
                const int i = mby * MBW + mbx;
                const int bits = motion_bits(v[i], motion_predict(v.data(), MBW, mbx, mby));
                bits_sum += bits;
                sad_sum += cost[i] - ((lambda * bits + 8) >> 4);
            }
    }
    state.counters["mean_sad"] = sad_sum / ((frames - 1) * MBW * MBH);
    state.counters["mean_bits"] = bits_sum / ((frames - 1) * MBW * MBH);
    int n = 1;
    for (auto _ : state) {
        search(n);
        n = n + 1 < frames ? n + 1 : 1;
    }
    state.SetLabel(s.kernels->name);
    motion_search_close(s);
}

BENCHMARK_CAPTURE(BM_Search, sad_scalar, motion_kernels_scalar, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Search, sad_sse2, motion_kernels_sse2, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Search, sad_avx2, motion_kernels_avx2, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Search, satd_scalar, motion_kernels_scalar, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Search, satd_sse2, motion_kernels_sse2, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Search, satd_avx2, motion_kernels_avx2, 1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    register_kernels();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
