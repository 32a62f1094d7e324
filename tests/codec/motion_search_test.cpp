// The motion search: vector codes against the decoder's arithmetic, known
// shifts found, still pictures, rows alone equal to whole frames, and the
// same vectors from every kernel variant.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <vector>

#include "codec/motion_search.h"
#include "codec/mpg4_tables.h"

namespace {

using u8 = std::uint8_t;
constexpr int B = codec_ref_border;

// ---- the decoder's rule, built forwards: every code it can read -----------------

// bits[pred + 63] maps each component the decoder can reach from pred to the
// fewest bits that reach it.
std::vector<std::map<int, int>> decoder_reachable() {
    std::vector<std::map<int, int>> out(127);
    for (int pred = -63; pred <= 63; ++pred) {
        for (int code = 0; code <= 32; ++code) {
            for (int sign : {1, -1}) {
                if (code == 0 && sign < 0) continue;  // no sign bit follows a zero
                int val = pred + sign * code;
                if (val <= -64)
                    val += 64;
                else if (val >= 64)
                    val -= 64;
                const int bits = mpg4_mv[code].len + (code ? 1 : 0);
                auto [it, fresh] = out[pred + 63].emplace(val, bits);
                if (!fresh) it->second = std::min(it->second, bits);
            }
        }
    }
    return out;
}

TEST(MotionCodes, AgreeWithDecoderOnEveryPair) {
    const auto rule = decoder_reachable();
    for (int pred = -63; pred <= 63; ++pred) {
        const auto& reach = rule[pred + 63];
        int lo = 0, hi = 0;
        motion_codable_range(pred, &lo, &hi);
        for (int v = -70; v <= 70; ++v) {
            SCOPED_TRACE(::testing::Message() << "v " << v << " pred " << pred);
            const auto it = reach.find(v);
            const bool reachable = it != reach.end();
            // One component at a time, the other at zero from zero (1 bit),
            // then both, in either place.
            EXPECT_EQ(motion_codable({static_cast<std::int16_t>(v), 0}, {static_cast<std::int16_t>(pred), 0}),
                      reachable ? 1 : 0);
            EXPECT_EQ(motion_bits({0, static_cast<std::int16_t>(v)}, {0, static_cast<std::int16_t>(pred)}),
                      reachable ? it->second + 1 : -1);
            EXPECT_EQ(v >= lo && v <= hi, reachable);
        }
    }
    std::mt19937 rng(3);
    for (int i = 0; i < 20000; ++i) {
        const int vx = static_cast<int>(rng() % 127) - 63, vy = static_cast<int>(rng() % 127) - 63;
        const int px = static_cast<int>(rng() % 127) - 63, py = static_cast<int>(rng() % 127) - 63;
        const auto ix = rule[px + 63].find(vx), iy = rule[py + 63].find(vy);
        const bool ok = ix != rule[px + 63].end() && iy != rule[py + 63].end();
        const CodecMv v{static_cast<std::int16_t>(vx), static_cast<std::int16_t>(vy)};
        const CodecMv p{static_cast<std::int16_t>(px), static_cast<std::int16_t>(py)};
        EXPECT_EQ(motion_codable(v, p), ok ? 1 : 0);
        EXPECT_EQ(motion_bits(v, p), ok ? ix->second + iy->second : -1);
    }
}

TEST(MotionCodes, OutOfRangeIsNeverCodable) {
    const struct {
        CodecMv v, pred;
    } cases[] = {
        {{64, 0}, {63, 0}}, {{-64, 0}, {-63, 0}}, {{0, 0}, {64, 0}}, {{0, 0}, {0, -64}},
        {{0, 100}, {0, 63}}, {{-32768, 0}, {0, 0}}, {{0, 0}, {32767, 32767}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(motion_codable(c.v, c.pred), 0) << c.v.x << "," << c.v.y << " from " << c.pred.x << "," << c.pred.y;
        EXPECT_EQ(motion_bits(c.v, c.pred), -1);
    }
    int lo = 0, hi = 0;
    motion_codable_range(64, &lo, &hi);
    EXPECT_GT(lo, hi);
    // The wrap: 63 + 32 wraps to 31, so 31 costs no more than from 31 + 32.
    EXPECT_EQ(motion_bits({31, 0}, {63, 0}), mpg4_mv[32].len + 1 + 1);
    EXPECT_EQ(motion_bits({0, 0}, {63, 0}), mpg4_mv[1].len + 1 + 1);  // 63 + 1 wraps to 0
}

// ---- pictures ------------------------------------------------------------------

// Random values on grids of 9 and 4 pixels, interpolated smoothly, with
// fine detail on top: no repeating pattern, so one best match, and slopes a
// descent can follow to it.
std::vector<u8> make_picture(int w, int h, int seed) {
    std::mt19937 rng(static_cast<unsigned>(seed));
    auto layer = [&](int cell, int amplitude) {
        const int gw = w / cell + 3, gh = h / cell + 3;
        std::vector<int> grid(static_cast<std::size_t>(gw) * gh);
        for (int& g : grid) g = static_cast<int>(rng() % static_cast<unsigned>(2 * amplitude + 1)) - amplitude;
        std::vector<double> out(static_cast<std::size_t>(w) * h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const double fx = static_cast<double>(x) / cell, fy = static_cast<double>(y) / cell;
                const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
                // Smoothstep weights: no creases along the grid lines.
                const double tx = (fx - ix) * (fx - ix) * (3 - 2 * (fx - ix));
                const double ty = (fy - iy) * (fy - iy) * (3 - 2 * (fy - iy));
                auto g = [&](int gx, int gy) { return static_cast<double>(grid[static_cast<std::size_t>(gy) * gw + gx]); };
                out[static_cast<std::size_t>(y) * w + x] =
                    (1 - ty) * ((1 - tx) * g(ix, iy) + tx * g(ix + 1, iy)) +
                    ty * ((1 - tx) * g(ix, iy + 1) + tx * g(ix + 1, iy + 1));
            }
        return out;
    };
    const std::vector<double> coarse = layer(9, 90), fine = layer(4, 30);
    std::vector<u8> px(static_cast<std::size_t>(w) * h);
    for (std::size_t i = 0; i < px.size(); ++i) {
        const double v = 128 + coarse[i] + fine[i] + static_cast<double>(rng() % 7) - 3;
        px[i] = static_cast<u8>(std::clamp(v, 0.0, 255.0));
    }
    return px;
}

// A reference plane: the picture with B pixels of replicated edge around it.
struct RefPlane {
    std::vector<u8> px;
    std::ptrdiff_t stride = 0;
    const u8* origin() const { return px.data() + B * stride + B; }
};

RefPlane bordered(const std::vector<u8>& pic, int w, int h) {
    RefPlane r;
    r.stride = w + 2 * B;
    r.px.resize(static_cast<std::size_t>(r.stride) * (h + 2 * B));
    for (int y = -B; y < h + B; ++y)
        for (int x = -B; x < w + B; ++x)
            r.px[static_cast<std::size_t>(y + B) * r.stride + x + B] =
                pic[static_cast<std::size_t>(std::clamp(y, 0, h - 1)) * w + std::clamp(x, 0, w - 1)];
    return r;
}

// The decoder's prediction of the whole picture with one vector.
int predict_at(const RefPlane& r, int x, int y, CodecMv v) {
    const u8* p = r.origin() + (y + (v.y >> 1)) * r.stride + x + (v.x >> 1);
    const int s = static_cast<int>(r.stride);
    switch ((v.x & 1) | ((v.y & 1) << 1)) {
    case 0: return p[0];
    case 1: return (p[0] + p[1] + 1) >> 1;
    case 2: return (p[0] + p[s] + 1) >> 1;
    default: return (p[0] + p[1] + p[s] + p[s + 1] + 2) >> 2;
    }
}

std::vector<u8> shifted(const RefPlane& r, int w, int h, CodecMv v) {
    std::vector<u8> px(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) px[static_cast<std::size_t>(y) * w + x] = static_cast<u8>(predict_at(r, x, y, v));
    return px;
}

std::uint32_t block_sad(const std::vector<u8>& cur, int w, const RefPlane& r, int mbx, int mby, CodecMv v) {
    std::uint32_t sad = 0;
    for (int y = mby * 16; y < mby * 16 + 16; ++y)
        for (int x = mbx * 16; x < mbx * 16 + 16; ++x)
            sad += static_cast<std::uint32_t>(std::abs(cur[static_cast<std::size_t>(y) * w + x] - predict_at(r, x, y, v)));
    return sad;
}

int median3(int a, int b, int c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

// The predictor of the decoder, written again from the vectors found; in
// slices of slice_rows rows when that is not 0.
CodecMv median_pred(const std::vector<CodecMv>& v, int mbw, int mbx, int mby, int slice_rows = 0) {
    const CodecMv zero{0, 0};
    const CodecMv a = mbx ? v[mby * mbw + mbx - 1] : zero;
    if (mby == 0 || (slice_rows && mby % slice_rows == 0)) return a;
    const CodecMv b = v[(mby - 1) * mbw + mbx];
    const CodecMv c = mbx + 1 < mbw ? v[(mby - 1) * mbw + mbx + 1] : zero;
    return {static_cast<std::int16_t>(median3(a.x, b.x, c.x)), static_cast<std::int16_t>(median3(a.y, b.y, c.y))};
}

std::uint32_t rate(int lambda, int bits) { return static_cast<std::uint32_t>((lambda * bits + 8) >> 4); }

bool same(CodecMv a, CodecMv b) { return a.x == b.x && a.y == b.y; }

constexpr int MBW = 8, MBH = 6, W = MBW * 16, H = MBH * 16;

struct ShiftCase {
    CodecMv shift;
    int lambda;
};

// Whole and half pixels, small and near the limit, every direction.
constexpr ShiftCase shift_cases[] = {
    {{4, -6}, 0},    {{3, 5}, 0},     {{-7, 1}, 0},    {{1, 1}, 0},     {{-1, 0}, 64},  {{10, -20}, 64},
    {{59, -59}, 0},  {{-59, 59}, 0},  {{-58, 41}, 0},  {{63, 0}, 0},    {{0, -63}, 32}, {{59, 59}, 64},
    {{-45, -3}, 16}, {{22, 37}, 160},
};

TEST(MotionSearch, FindsKnownShifts) {
    const std::vector<u8> prev = make_picture(W, H, 1);
    const RefPlane ref = bordered(prev, W, H);
    const auto& k = motion_kernels_of(motion_kernels_scalar);
    for (const ShiftCase& c : shift_cases) {
        SCOPED_TRACE(::testing::Message() << "shift " << c.shift.x << "," << c.shift.y << " lambda " << c.lambda);
        const std::vector<u8> cur = shifted(ref, W, H, c.shift);
        MotionSearch s;
        ASSERT_EQ(motion_search_open(s, MBW, MBH), 1);
        s.kernels = &k;
        std::vector<CodecMv> v(MBW * MBH);
        std::vector<std::uint32_t> cost(MBW * MBH);
        motion_search_frame(s, cur.data(), W, ref.origin(), ref.stride, c.lambda, v.data(), cost.data());
        int interior = 0, exact = 0;
        for (int mby = 0; mby < MBH; ++mby)
            for (int mbx = 0; mbx < MBW; ++mbx) {
                SCOPED_TRACE(::testing::Message() << "macroblock " << mbx << "," << mby);
                const int i = mby * MBW + mbx;
                const CodecMv pred = median_pred(v, MBW, mbx, mby);
                const int bits = motion_bits(v[i], pred);
                ASSERT_GE(bits, 0) << "vector " << v[i].x << "," << v[i].y << " not codable from its predictor";
                EXPECT_EQ(cost[i], block_sad(cur, W, ref, mbx, mby, v[i]) + rate(c.lambda, bits));
                const int true_bits = motion_bits(c.shift, pred);
                if (true_bits < 0) continue;  // the format cannot send it here
                // The true vector predicts exactly: nothing may cost more.
                EXPECT_LE(cost[i], rate(c.lambda, true_bits));
                // Off the edge the replicated border matches many vectors;
                // inside the picture only the true one does.
                const int x0 = mbx * 16 + (c.shift.x >> 1), y0 = mby * 16 + (c.shift.y >> 1);
                if (c.lambda == 0 && x0 >= 0 && y0 >= 0 && x0 + 17 <= W && y0 + 17 <= H) {
                    ++interior;
                    exact += same(v[i], c.shift);
                    EXPECT_TRUE(same(v[i], c.shift)) << "found " << v[i].x << "," << v[i].y;
                }
            }
        if (c.lambda == 0 && std::abs(c.shift.x) < 20 && std::abs(c.shift.y) < 20) {
            EXPECT_GE(interior, (MBW - 2) * (MBH - 2)) << "too few macroblocks checked exactly";
        }
        EXPECT_EQ(exact, interior);
        motion_search_close(s);
    }
}

// Large shifts are reached in steps of at most 32 half pixels from the
// predictor: after the first macroblocks every one has the true vector.
TEST(MotionSearch, ReachesLargeShiftsAlongTheRow) {
    const int mbw = 12, mbh = 4, w = mbw * 16, h = mbh * 16;
    const std::vector<u8> prev = make_picture(w, h, 5);
    const RefPlane ref = bordered(prev, w, h);
    for (CodecMv shift : {CodecMv{59, 0}, CodecMv{-59, 0}, CodecMv{0, 59}, CodecMv{57, -57}}) {
        SCOPED_TRACE(::testing::Message() << "shift " << shift.x << "," << shift.y);
        const std::vector<u8> cur = shifted(ref, w, h, shift);
        MotionSearch s;
        ASSERT_EQ(motion_search_open(s, mbw, mbh), 1);
        std::vector<CodecMv> v(mbw * mbh);
        std::vector<std::uint32_t> cost(mbw * mbh);
        motion_search_frame(s, cur.data(), w, ref.origin(), ref.stride, 0, v.data(), cost.data());
        int found = 0;
        for (const CodecMv& m : v) found += same(m, shift);
        EXPECT_GE(found, mbw * mbh / 2);
        motion_search_close(s);
    }
}

TEST(MotionSearch, StillPictureGivesZeroVectors) {
    for (int seed : {2, 9}) {
        const std::vector<u8> pic = make_picture(W, H, seed);
        const RefPlane ref = bordered(pic, W, H);
        MotionSearch s;
        ASSERT_EQ(motion_search_open(s, MBW, MBH), 1);
        std::vector<CodecMv> v(MBW * MBH, CodecMv{9, 9});
        std::vector<std::uint32_t> cost(MBW * MBH, 7);
        for (int frame = 0; frame < 2; ++frame) {
            motion_search_frame(s, pic.data(), W, ref.origin(), ref.stride, 32, v.data(), cost.data());
            for (int i = 0; i < MBW * MBH; ++i) {
                EXPECT_TRUE(same(v[i], CodecMv{0, 0})) << "macroblock " << i << ": " << v[i].x << "," << v[i].y;
                EXPECT_EQ(cost[i], rate(32, 2));  // two 1-bit zero differences
            }
        }
        motion_search_close(s);
    }
    // A flat picture matches everywhere: the cheapest vector wins.
    const std::vector<u8> flat(W * H, 77);
    const RefPlane ref = bordered(flat, W, H);
    MotionSearch s;
    ASSERT_EQ(motion_search_open(s, MBW, MBH), 1);
    std::vector<CodecMv> v(MBW * MBH);
    std::vector<std::uint32_t> cost(MBW * MBH);
    motion_search_frame(s, flat.data(), W, ref.origin(), ref.stride, 16, v.data(), cost.data());
    for (const CodecMv& m : v) EXPECT_TRUE(same(m, CodecMv{0, 0}));
}

// A moving picture: two frames, the second with the first's vectors as candidates.
struct Clip {
    std::vector<u8> f0, f1, f2;
    RefPlane r0, r1;
};

Clip make_clip(int w, int h) {
    Clip c;
    c.f0 = make_picture(w, h, 3);
    c.r0 = bordered(c.f0, w, h);
    c.f1 = shifted(c.r0, w, h, {5, -3});
    // Parts of the second step move differently.
    c.r1 = bordered(c.f1, w, h);
    c.f2 = shifted(c.r1, w, h, {-9, 12});
    for (int y = h / 3; y < h / 2; ++y)
        for (int x = w / 4; x < w / 2; ++x) c.f2[y * w + x] = static_cast<u8>(predict_at(c.r1, x, y, {20, 1}));
    return c;
}

void search_two_frames(MotionSearch& s, const Clip& c, int w, int lambda, std::vector<CodecMv>& v,
                       std::vector<std::uint32_t>& cost, bool by_rows) {
    const std::pair<const std::vector<u8>*, const RefPlane*> frames[] = {{&c.f1, &c.r0}, {&c.f2, &c.r1}};
    for (const auto& [cur, ref] : frames) {
        if (!by_rows) {
            motion_search_frame(s, cur->data(), w, ref->origin(), ref->stride, lambda, v.data(), cost.data());
            continue;
        }
        // Rows alone, with rows below still holding junk: a row may read only
        // itself and the row above. Slices last first, the rows above them
        // junk too: a slice's first row reads nothing above it.
        std::fill(v.begin(), v.end(), CodecMv{-41, 27});
        std::fill(cost.begin(), cost.end(), 12345u);
        const int rows = s.slice_rows ? s.slice_rows : s.mb_height;
        for (int first = (s.mb_height - 1) / rows * rows; first >= 0; first -= rows)
            for (int mby = first; mby < std::min(first + rows, s.mb_height); ++mby)
                motion_search_row(s, cur->data(), w, ref->origin(), ref->stride, mby, lambda, v.data(), cost.data());
        motion_search_end_frame(s, v.data());
    }
}

TEST(MotionSearch, RowByRowEqualsFrame) {
    const Clip c = make_clip(W, H);
    for (int lambda : {0, 40}) {
        for (int satd : {0, 1})
        for (int slice_rows : {0, 2, 4}) {
            SCOPED_TRACE(::testing::Message() << "lambda " << lambda << " satd " << satd << " slices of " << slice_rows);
            MotionSearch a, b;
            ASSERT_EQ(motion_search_open(a, MBW, MBH), 1);
            ASSERT_EQ(motion_search_open(b, MBW, MBH), 1);
            a.half_pel_satd = b.half_pel_satd = satd;
            a.slice_rows = b.slice_rows = slice_rows;
            std::vector<CodecMv> va(MBW * MBH), vb(MBW * MBH);
            std::vector<std::uint32_t> ca(MBW * MBH), cb(MBW * MBH);
            search_two_frames(a, c, W, lambda, va, ca, false);
            search_two_frames(b, c, W, lambda, vb, cb, true);
            for (int i = 0; i < MBW * MBH; ++i) {
                EXPECT_TRUE(same(va[i], vb[i])) << "macroblock " << i;
                EXPECT_EQ(ca[i], cb[i]) << "macroblock " << i;
                EXPECT_TRUE(same(a.previous[i], b.previous[i]));
                // Codable from the predictor of the slices, at the cost of its bits.
                const int bits = motion_bits(va[i], median_pred(va, MBW, i % MBW, i / MBW, slice_rows));
                ASSERT_GE(bits, 0) << "macroblock " << i;
                EXPECT_EQ(ca[i], block_sad(c.f2, W, c.r1, i % MBW, i / MBW, va[i]) + rate(lambda, bits));
            }
        }
    }
}

// Vectors out of range above a row (no decoder holds them) still give
// vectors within range, codable from the clamped predictor.
TEST(MotionSearch, OutOfRangeVectorsAboveAreClamped) {
    const std::vector<u8> pic = make_picture(W, H, 4);
    const RefPlane ref = bordered(pic, W, H);
    const std::vector<u8> cur = shifted(ref, W, H, {6, 2});
    const CodecMv junk[] = {{200, -300}, {-32768, 32767}, {64, -64}};
    for (const CodecMv j : junk) {
        MotionSearch s;
        ASSERT_EQ(motion_search_open(s, MBW, MBH), 1);
        std::vector<CodecMv> v(MBW * MBH, j);
        std::vector<std::uint32_t> cost(MBW * MBH);
        motion_search_row(s, cur.data(), W, ref.origin(), ref.stride, 1, 16, v.data(), cost.data());
        for (int mbx = 0; mbx < MBW; ++mbx) {
            CodecMv p = median_pred(v, MBW, mbx, 1);
            p.x = static_cast<std::int16_t>(std::clamp<int>(p.x, -63, 63));
            p.y = static_cast<std::int16_t>(std::clamp<int>(p.y, -63, 63));
            EXPECT_EQ(motion_codable(v[MBW + mbx], p), 1) << "junk " << j.x << "," << j.y << " macroblock " << mbx;
        }
    }
}

class MotionSearchVariantTest : public ::testing::TestWithParam<MotionKernelVariant> {};

TEST_P(MotionSearchVariantTest, SameVectorsAsScalar) {
    const MotionKernelVariant variant = GetParam();
    if (!motion_kernels_available(variant)) GTEST_SKIP() << "this machine does not run kernel variant " << variant;
    const Clip c = make_clip(W, H);
    for (int satd : {0, 1}) {
        MotionSearch a, b;
        ASSERT_EQ(motion_search_open(a, MBW, MBH), 1);
        ASSERT_EQ(motion_search_open(b, MBW, MBH), 1);
        a.kernels = &motion_kernels_of(motion_kernels_scalar);
        b.kernels = &motion_kernels_of(variant);
        a.half_pel_satd = b.half_pel_satd = satd;
        std::vector<CodecMv> va(MBW * MBH), vb(MBW * MBH);
        std::vector<std::uint32_t> ca(MBW * MBH), cb(MBW * MBH);
        search_two_frames(a, c, W, 24, va, ca, false);
        search_two_frames(b, c, W, 24, vb, cb, false);
        for (int i = 0; i < MBW * MBH; ++i) {
            EXPECT_TRUE(same(va[i], vb[i])) << "satd " << satd << " macroblock " << i;
            EXPECT_EQ(ca[i], cb[i]) << "satd " << satd << " macroblock " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, MotionSearchVariantTest,
                         ::testing::Values(motion_kernels_sse2, motion_kernels_avx2));

TEST(MotionSearch, OpenRejectsBadSizesAndCloseIsSafe) {
    const struct {
        int w, h, ok;
    } cases[] = {{1, 1, 1}, {40, 30, 1}, {0, 5, 0}, {5, 0, 0}, {-1, 3, 0}, {1024, 1, 1}, {1025, 1, 0}, {1, 1025, 0}};
    for (const auto& c : cases) {
        MotionSearch s;
        EXPECT_EQ(motion_search_open(s, c.w, c.h), c.ok) << c.w << "x" << c.h;
        if (c.ok) {
            EXPECT_EQ(s.previous.size(), static_cast<std::size_t>(c.w) * c.h);
            EXPECT_NE(s.kernels, nullptr);
        } else {
            EXPECT_EQ(s.mb_width, 0);
        }
        motion_search_close(s);
        motion_search_close(s);
        EXPECT_EQ(s.mb_width, 0);
    }
    // A closed search writes nothing.
    MotionSearch s;
    CodecMv v{5, 5};
    std::uint32_t cost = 9;
    const u8 px[16 * 16] = {};
    motion_search_row(s, px, 16, px, 16, 0, 0, &v, &cost);
    EXPECT_TRUE(same(v, CodecMv{5, 5}));
    EXPECT_EQ(cost, 9u);
}

}  // namespace
