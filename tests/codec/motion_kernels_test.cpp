// The motion kernels: the scalar reference against independent arithmetic,
// and every vector variant this machine runs against the scalar one.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "codec/motion_kernels.h"

namespace {

using u8 = std::uint8_t;

// A block buffer with a margin on all sides, so that blocks may start at any
// offset and a kernel that reads too far stays inside the allocation.
struct Plane {
    std::vector<u8> px;
    std::ptrdiff_t stride;
    Plane(std::ptrdiff_t s, int rows) : px(static_cast<std::size_t>(s) * rows), stride(s) {}
    u8* at(int x, int y) { return px.data() + y * stride + x; }
};

enum class Fill { random, zeros, full, extremes, checker };

void fill(Plane& p, Fill how, std::mt19937& rng) {
    for (std::size_t i = 0; i < p.px.size(); ++i) {
        switch (how) {
        case Fill::random: p.px[i] = static_cast<u8>(rng()); break;
        case Fill::zeros: p.px[i] = 0; break;
        case Fill::full: p.px[i] = 255; break;
        case Fill::extremes: p.px[i] = (rng() & 1) ? 255 : 0; break;
        case Fill::checker: p.px[i] = ((i / static_cast<std::size_t>(p.stride) + i) & 1) ? 255 : 0; break;
        }
    }
}

// The reference of the tests: the half-pel prediction written out directly.
int predict(const u8* p, std::ptrdiff_t s, int mode) {
    switch (mode) {
    case 0: return p[0];
    case 1: return (p[0] + p[1] + 1) / 2;
    case 2: return (p[0] + p[s] + 1) / 2;
    default: return (p[0] + p[1] + p[s] + p[s + 1] + 2) / 4;
    }
}

// 8x8 Hadamard by its matrix: H[i][j] = (-1)^popcount(i & j).
std::uint32_t satd_by_matrix(const u8* a, std::ptrdiff_t as, const u8* b, std::ptrdiff_t bs) {
    auto h = [](int i, int j) { return (__builtin_popcount(static_cast<unsigned>(i & j)) & 1) ? -1 : 1; };
    long sum = 0;
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v) {
            long c = 0;
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x) c += h(u, y) * h(v, x) * (a[y * as + x] - b[y * bs + x]);
            sum += std::labs(c);
        }
    return static_cast<std::uint32_t>((sum + 2) / 4);
}

constexpr Fill fills[] = {Fill::random, Fill::zeros, Fill::full, Fill::extremes, Fill::checker};
// Odd strides, the plain one, and strides that put rows off any alignment.
constexpr std::ptrdiff_t strides[] = {17, 33, 64, 75, 129};

TEST(MotionKernels, ScalarMatchesDirectArithmetic) {
    const MotionKernels& k = motion_kernels_of(motion_kernels_scalar);
    std::mt19937 rng(7);
    for (Fill f : fills) {
        for (std::ptrdiff_t s : strides) {
            SCOPED_TRACE(::testing::Message() << "fill " << static_cast<int>(f) << " stride " << s);
            Plane a(s, 24), b(s, 24);
            fill(a, Fill::random, rng);
            fill(b, f, rng);
            const u8* pa = a.at(1, 2);
            const u8* pb = b.at(0, 3);
            for (int mode = 0; mode < 4; ++mode) {
                std::uint32_t sad = 0;
                u8 out[256];
                k.interpolate16[mode](pb, s, out);
                for (int y = 0; y < 16; ++y)
                    for (int x = 0; x < 16; ++x) {
                        const int p = predict(pb + y * s + x, s, mode);
                        EXPECT_EQ(out[y * 16 + x], p) << "mode " << mode << " at " << x << "," << y;
                        sad += static_cast<std::uint32_t>(std::abs(pa[y * s + x] - p));
                    }
                EXPECT_EQ(k.sad16_half[mode](pa, s, pb, s), sad) << "mode " << mode;
            }
            std::uint32_t sad8 = 0, sad16 = 0;
            for (int y = 0; y < 16; ++y)
                for (int x = 0; x < 16; ++x) {
                    const auto d = static_cast<std::uint32_t>(std::abs(pa[y * s + x] - pb[y * s + x]));
                    sad16 += d;
                    if (x < 8 && y < 8) sad8 += d;
                }
            EXPECT_EQ(k.sad16(pa, s, pb, s), sad16);
            EXPECT_EQ(k.sad8(pa, s, pb, s), sad8);
            EXPECT_EQ(k.satd8(pa, s, pb, s), satd_by_matrix(pa, s, pb, s));
        }
    }
}

TEST(MotionKernels, SatdKnownValues) {
    // A flat difference d puts 64 d into the DC coefficient alone: 16 |d|;
    // one differing sample spreads |d| over all 64: again 16 |d|.
    const MotionKernels& k = motion_kernels_of(motion_kernels_scalar);
    u8 a[64], b[64];
    for (int i = 0; i < 64; ++i) a[i] = 200, b[i] = 190;
    EXPECT_EQ(k.satd8(a, 8, b, 8), 160u);
    for (int i = 0; i < 64; ++i) b[i] = 200;
    EXPECT_EQ(k.satd8(a, 8, b, 8), 0u);
    b[27] = 255;
    EXPECT_EQ(k.satd8(a, 8, b, 8), 16u * 55u);
}

// Each vector variant against the scalar one; one the machine lacks is
// named as skipped.
class MotionKernelVariantTest : public ::testing::TestWithParam<MotionKernelVariant> {};

TEST_P(MotionKernelVariantTest, MatchesScalar) {
    const MotionKernelVariant v = GetParam();
    if (!motion_kernels_available(v)) GTEST_SKIP() << "this machine does not run kernel variant " << v;
    const MotionKernels& ref = motion_kernels_of(motion_kernels_scalar);
    const MotionKernels& k = motion_kernels_of(v);
    ASSERT_NE(&k, &ref) << "an available variant must give its own kernels";
    std::mt19937 rng(11 + v);
    for (Fill f : fills) {
        for (std::ptrdiff_t s : strides) {
            Plane a(s, 40), b(s, 40);
            for (int trial = 0; trial < 20; ++trial) {
                SCOPED_TRACE(::testing::Message() << "fill " << static_cast<int>(f) << " stride " << s << " trial "
                                                  << trial);
                fill(a, trial & 1 ? f : Fill::random, rng);
                fill(b, f, rng);
                // Any column offset (so any alignment), rows anywhere.
                const int ax = static_cast<int>(rng() % static_cast<unsigned>(s - 16));
                const int bx = static_cast<int>(rng() % static_cast<unsigned>(s - 16));
                const u8* pa = a.at(ax, static_cast<int>(rng() % 20));
                const u8* pb = b.at(bx, static_cast<int>(rng() % 20));
                EXPECT_EQ(k.sad16(pa, s, pb, s), ref.sad16(pa, s, pb, s));
                EXPECT_EQ(k.sad8(pa, s, pb, s), ref.sad8(pa, s, pb, s));
                EXPECT_EQ(k.satd8(pa, s, pb, s), ref.satd8(pa, s, pb, s));
                for (int mode = 0; mode < 4; ++mode) {
                    EXPECT_EQ(k.sad16_half[mode](pa, s, pb, s), ref.sad16_half[mode](pa, s, pb, s))
                        << "mode " << mode;
                    u8 got[256], want[256];
                    k.interpolate16[mode](pb, s, got);
                    ref.interpolate16[mode](pb, s, want);
                    EXPECT_EQ(0, std::memcmp(got, want, sizeof got)) << "mode " << mode;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, MotionKernelVariantTest,
                         ::testing::Values(motion_kernels_sse2, motion_kernels_avx2));

TEST(MotionKernels, SelectedIsTheFastestAvailable) {
    const MotionKernelVariant best = motion_kernels_available(motion_kernels_avx2)   ? motion_kernels_avx2
                                     : motion_kernels_available(motion_kernels_sse2) ? motion_kernels_sse2
                                                                                     : motion_kernels_scalar;
    EXPECT_EQ(motion_kernels_selected(), best);
    EXPECT_EQ(&motion_kernels(), &motion_kernels_of(best));
    EXPECT_EQ(motion_kernels_available(static_cast<MotionKernelVariant>(motion_kernel_variants)), 0);
}

}  // namespace
