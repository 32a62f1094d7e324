#include "codec/v2_encoder.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/bit_writer.h"
#include "codec/dc_predict.h"
#include "codec/motion_kernels.h"
#include "codec/mpg4_tables.h"
#include "codec/transform.h"
#include "common/dib.h"

namespace {

// ---- code tables ----------------------------------------------------------------

constexpr int kMaxTableLevel = 27;  // largest level either coefficient table holds
constexpr int kEscape = 102;        // entry of the escape code in both tables

// Reverse lookup of a run-level table: the entry coding (last, run, level) and
// the largest level per run and run per level, which the first two escapes
// are relative to.
struct RunLevelIndex {
    const Mpg4RunLevelTable* table;
    std::int16_t index[2][64][kMaxTableLevel + 1];
    std::uint8_t max_level[2][64];
    std::uint8_t max_run[2][kMaxTableLevel + 1];

    explicit RunLevelIndex(const Mpg4RunLevelTable& t) : table(&t) {
        std::fill(&index[0][0][0], &index[0][0][0] + sizeof index / sizeof index[0][0][0], -1);
        std::memset(max_level, 0, sizeof max_level);
        std::memset(max_run, 0, sizeof max_run);
        for (int k = 0; k < t.size; ++k) {
            const int last = k >= t.last_start, run = t.run[k], level = t.level[k];
            index[last][run][level] = static_cast<std::int16_t>(k);
            max_level[last][run] = std::max<std::uint8_t>(max_level[last][run], static_cast<std::uint8_t>(level));
            max_run[last][level] = std::max<std::uint8_t>(max_run[last][level], static_cast<std::uint8_t>(run));
        }
    }
    int find(int last, int run, int level) const {
        if (run < 0 || run > 63 || level < 1 || level > kMaxTableLevel) return -1;
        return index[last][run][level];
    }
};

const RunLevelIndex& intra_index() {
    static const RunLevelIndex r(mpg4_intra_table);
    return r;
}
const RunLevelIndex& inter_index() {
    static const RunLevelIndex r(mpg4_inter_table);
    return r;
}

// ---- syntax elements --------------------------------------------------------------

// One coefficient: the table code and a sign bit when the table has it; else
// the escape with 1 (level beyond the run's largest), 01 (run beyond the
// level's longest; version 2 adds no one to it), whichever is shorter, and
// 00 with last, a 6-bit run and an 8-bit level when neither holds it.
void put_coefficient(BitWriter& w, const RunLevelIndex& rl, int last, int run, int level) {
    const Mpg4RunLevelTable& t = *rl.table;
    const int magnitude = std::abs(level);
    const std::uint32_t sign = level < 0;
    const int direct = rl.find(last, run, magnitude);
    if (direct >= 0) {
        bit_writer_put(w, t.codes[direct]);
        bit_writer_put(w, sign, 1);
        return;
    }
    const int by_level = rl.find(last, run, magnitude - rl.max_level[last][run]);
    const int by_run =
        magnitude <= kMaxTableLevel ? rl.find(last, run - rl.max_run[last][magnitude], magnitude) : -1;
    int pick = -1, prefix_len = 0;
    if (by_level >= 0) {
        pick = by_level;
        prefix_len = 1;
    }
    if (by_run >= 0 && (pick < 0 || t.codes[by_run].len + 2 < t.codes[pick].len + 1)) {
        pick = by_run;
        prefix_len = 2;
    }
    bit_writer_put(w, t.codes[kEscape]);
    if (pick >= 0) {
        bit_writer_put(w, 1, prefix_len);  // "1" or "01"
        bit_writer_put(w, t.codes[pick]);
        bit_writer_put(w, sign, 1);
        return;
    }
    bit_writer_put(w, 0, 2);
    bit_writer_put(w, static_cast<std::uint32_t>(last), 1);
    bit_writer_put(w, static_cast<std::uint32_t>(run), 6);
    bit_writer_put(w, static_cast<std::uint32_t>(level) & 0xFF, 8);
}

// The levels of one block in zigzag order from index `first` to `last`.
void put_block(BitWriter& w, const RunLevelIndex& rl, const std::int16_t level[64], int first, int last) {
    int run = 0;
    for (int k = first; k <= last; ++k) {
        const int l = level[transform_zigzag[k]];
        if (!l) {
            ++run;
            continue;
        }
        put_coefficient(w, rl, k == last, run, l);
        run = 0;
    }
}

// Intra DC difference (-255..255): size prefix, the value's bits (one's
// complement when negative), a marker bit above 8 bits.
void put_dc(BitWriter& w, int diff, bool chroma) {
    int size = 0;
    for (int v = std::abs(diff); v; v >>= 1) ++size;
    bit_writer_put(w, chroma ? mpg4_dc_size_chroma[size] : mpg4_dc_size_luma[size]);
    if (!size) return;
    const auto bits = diff < 0 ? static_cast<std::uint32_t>(-diff) ^ ((1u << size) - 1) : static_cast<std::uint32_t>(diff);
    bit_writer_put(w, bits, size);
    if (size > 8) bit_writer_put(w, 1, 1);
}

// The decoder adds a difference of -32..32 to the predictor and wraps sums
// beyond +-63 by 64.
int wrap_mv(int v) { return v <= -64 ? v + 64 : v >= 64 ? v - 64 : v; }

int mv_difference(int pred, int value) {
    for (int d : {value - pred, value - pred + 64, value - pred - 64})
        if (d >= -32 && d <= 32 && wrap_mv(pred + d) == value) return d;
    return 1000;
}

// value is codable from pred (the coder moves every vector to one that is
// first); the index stays inside the table even were it not.
void put_mv_component(BitWriter& w, int pred, int value) {
    const int d = mv_difference(pred, value);
    assert(d != 1000);
    bit_writer_put(w, mpg4_mv[std::min(std::abs(d), 32)]);
    if (d) bit_writer_put(w, d < 0, 1);
}

// ---- pictures -----------------------------------------------------------------------

constexpr int kChromaBorder = codec_ref_border / 2;

std::uint8_t* plane_origin(std::vector<std::uint8_t>& buf, std::size_t offset, std::ptrdiff_t stride, int border) {
    return buf.data() + offset + static_cast<std::size_t>(border) * static_cast<std::size_t>(stride) +
           static_cast<std::size_t>(border);
}

// Lays out three planes of a macroblock-aligned picture in buf, each with
// `border` (chroma half of it) around; returns false on no memory.
bool make_planes(std::vector<std::uint8_t>& buf, V2Picture& p, int mb_width, int mb_height, int border) {
    const std::ptrdiff_t ls = mb_width * 16 + 2 * border, cs = mb_width * 8 + border;
    const std::size_t luma = static_cast<std::size_t>(ls) * static_cast<std::size_t>(mb_height * 16 + 2 * border);
    const std::size_t chroma = static_cast<std::size_t>(cs) * static_cast<std::size_t>(mb_height * 8 + border);
    try {
        buf.assign(luma + 2 * chroma, 128);
    } catch (const std::bad_alloc&) {
        return false;
    }
    p.stride[0] = ls;
    p.stride[1] = p.stride[2] = cs;
    p.plane[0] = plane_origin(buf, 0, ls, border);
    p.plane[1] = plane_origin(buf, luma, cs, border / 2);
    p.plane[2] = plane_origin(buf, luma + chroma, cs, border / 2);
    return true;
}

// Rows [y0, y1) of a plane of aw columns whose first w x h are the picture:
// the last column replicated to the right, the last row below.
void pad_rows(std::uint8_t* p, std::ptrdiff_t stride, int w, int h, int aw, int y0, int y1) {
    for (int y = y0; y < std::min(y1, h); ++y)
        std::memset(p + y * stride + w, p[y * stride + w - 1], static_cast<std::size_t>(aw - w));
    for (int y = std::max(y0, h); y < y1; ++y) std::memcpy(p + y * stride, p + (h - 1) * stride, static_cast<std::size_t>(aw));
}

// Replicates the edges of a w x h plane over `border` pixels on every side.
void extend_plane(std::uint8_t* p, std::ptrdiff_t stride, int w, int h, int border) {
    for (int y = 0; y < h; ++y) {
        std::uint8_t* row = p + y * stride;
        std::memset(row - border, row[0], static_cast<std::size_t>(border));
        std::memset(row + w, row[w - 1], static_cast<std::size_t>(border));
    }
    const std::size_t span = static_cast<std::size_t>(w + 2 * border);
    for (int y = 1; y <= border; ++y) {
        std::memcpy(p - y * stride - border, p - border, span);
        std::memcpy(p + (h - 1 + y) * stride - border, p + (h - 1) * stride - border, span);
    }
}

// Half-pel prediction of an n x n block (n 16 or 8) from ref at integer
// position src and half-pel flags hx, hy; the format rounds halves up.
void predict_block(const std::uint8_t* src, std::ptrdiff_t stride, int hx, int hy, int n, std::uint8_t* dst,
                   std::ptrdiff_t dst_stride) {
    for (int y = 0; y < n; ++y) {
        const std::uint8_t* a = src + y * stride;
        const std::uint8_t* b = a + (hy ? stride : 0);
        std::uint8_t* d = dst + y * dst_stride;
        if (hx && hy) {
            for (int x = 0; x < n; ++x) d[x] = static_cast<std::uint8_t>((a[x] + a[x + 1] + b[x] + b[x + 1] + 2) >> 2);
        } else if (hx) {
            for (int x = 0; x < n; ++x) d[x] = static_cast<std::uint8_t>((a[x] + a[x + 1] + 1) >> 1);
        } else if (hy) {
            for (int x = 0; x < n; ++x) d[x] = static_cast<std::uint8_t>((a[x] + b[x] + 1) >> 1);
        } else {
            std::memcpy(d, a, static_cast<std::size_t>(n));
        }
    }
}

// The prediction of one macroblock: luma 16x16 then Cb and Cr 8x8, each
// block row-contiguous at stride 16 / 8.
struct MbPrediction {
    std::uint8_t luma[256];
    std::uint8_t chroma[2][64];
};

void predict_mb(const V2Picture& ref, int mb_x, int mb_y, CodecMv mv, MbPrediction& out) {
    const int mx = mv.x, my = mv.y;
    const std::uint8_t* y = ref.plane[0] + (mb_y * 16 + (my >> 1)) * ref.stride[0] + mb_x * 16 + (mx >> 1);
    motion_kernels().interpolate16[(mx & 1) | (my & 1) << 1](y, ref.stride[0], out.luma);
    // Chroma: the luma position halved, a half pel wherever the luma vector
    // is not a whole multiple of two pixels.
    const int cx = mx >> 2, cy = my >> 2, hx = (mx & 3) != 0, hy = (my & 3) != 0;
    for (int c = 0; c < 2; ++c) {
        const std::uint8_t* p = ref.plane[1 + c] + (mb_y * 8 + cy) * ref.stride[1 + c] + mb_x * 8 + cx;
        predict_block(p, ref.stride[1 + c], hx, hy, 8, out.chroma[c], 8);
    }
}

int median3(int a, int b, int c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

// Position of block b (0..5) of a macroblock in its plane.
struct BlockAt {
    int plane;
    int x, y;  // pixels
};
BlockAt block_at(int b, int mb_x, int mb_y) {
    if (b < 4) return {0, mb_x * 16 + (b & 1) * 8, mb_y * 16 + (b >> 1) * 8};
    return {b - 3, mb_x * 8, mb_y * 8};
}

// ---- the caller's check ------------------------------------------------------------------

// The check's count: a pixel `level` or more off its source counts
// kOffWeight, one a level nearer 1, so that such pixels never tip a block
// with room over its target, but a block at its target is rounded further
// while it has any. The caller measures luminance after the conversion to
// RGB, where a difference a level short of the rule's taken to Y' ends up
// over the rule now and then: a block of car-detection at 1000 kbit/s with
// 14 pixels off in Y' (its target) and 10 a level nearer came to 28 by the
// caller's measure and was redone. (Counting a level nearer in full made
// mandelbrot's clean files 17 % larger; counting it as half an off pixel, 6 %.)
constexpr int kOffWeight = 65;  // more than the pixels of a block
inline int near_level(int level) { return std::max(1, level - 1); }

// The count (as above) of an 8x8 block of rec (stride 8) off src.
int count_off(const std::uint8_t* src, std::ptrdiff_t ss, const std::uint8_t* rec, int level) {
    std::uint8_t a[64];
    for (int y = 0; y < 8; ++y) std::memcpy(a + y * 8, src + y * ss, 8);
    const auto l = static_cast<std::uint8_t>(level), h = static_cast<std::uint8_t>(near_level(level));
    int n = 0;
    for (int i = 0; i < 64; ++i) {
        const std::uint8_t d = a[i] > rec[i] ? static_cast<std::uint8_t>(a[i] - rec[i]) : static_cast<std::uint8_t>(rec[i] - a[i]);
        n += d >= l ? kOffWeight : d >= h;
    }
    return n;
}

// What the decoder makes of one block's levels: intra on its own, inter over
// the prediction base (stride bs); into out, stride 8.
void reconstruct(const std::int16_t level[64], int qp, bool intra, const std::uint8_t* base, std::ptrdiff_t bs,
                 std::uint8_t out[64]) {
    std::int16_t block[64];
    if (intra) {
        transform_dequant_intra(level, qp, block);
        transform_idct_put(block, out, 8);
        return;
    }
    for (int y = 0; y < 8; ++y) std::memcpy(out + y * 8, base + y * bs, 8);
    bool any = false;
    for (int i = 0; i < 64; ++i) any |= level[i] != 0;
    if (!any) return;  // nothing coded: the decoder adds nothing either
    transform_dequant_inter(level, qp, block);
    transform_idct_add(block, out, 8);
}

// The level whose reconstruction lies nearest to coefficient c.
int nearest_level(float c, int qp) {
    const int qmul = 2 * qp, qadd = (qp - 1) | 1;
    const float a = std::fabs(c);
    if (a * 2 < static_cast<float>(qmul + qadd)) return 0;
    const int l = std::clamp(static_cast<int>(std::floor((a - static_cast<float>(qadd)) / static_cast<float>(qmul) + 0.5f)),
                             1, transform_max_level);
    return c < 0 ? -l : l;
}

constexpr int kRefineSteps = 10;  // single level steps tried on a block that still fails
constexpr int kRefineChoices = 4; // coefficients tried per step
constexpr int kRefineWidePasses = 3; // steps a block may look for among all its coefficients
constexpr int kRefineExact = 3;      // approximately best steps reconstructed exactly

// How far a block is off its source (both 8x8, stride 8): its count
// (count_off) times 4096 plus how far past the nearer level its pixels lie,
// so that a step that brings an off pixel nearer counts even before it
// brings it back.
int off_score(const std::uint8_t src[64], const std::uint8_t rec[64], int level) {
    const int h = near_level(level);
    int n = 0, excess = 0;
    for (int i = 0; i < 64; ++i) {
        const int d = src[i] > rec[i] ? src[i] - rec[i] : rec[i] - src[i];
        const int past = d - h + 1;
        n += d >= level ? kOffWeight : past > 0;
        excess += past > 0 ? past : 0;
    }
    return n * 4096 + excess;
}

// The DCT's basis pictures at the H.263 scale: m[i][p] is what a change of 1
// in coefficient i (raster order) adds to pixel p.
struct DctPictures {
    float m[64][64];
    DctPictures() {
        const double pi = 3.14159265358979323846;
        for (int v = 0; v < 8; ++v)
            for (int u = 0; u < 8; ++u)
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x)
                        m[v * 8 + u][y * 8 + x] = static_cast<float>((u ? 0.5 : 0.5 / std::sqrt(2.0)) * (v ? 0.5 : 0.5 / std::sqrt(2.0)) *
                                                                     std::cos((2 * x + 1) * u * pi / 16) *
                                                                     std::cos((2 * y + 1) * v * pi / 16));
    }
};

const DctPictures& dct_pictures() {
    static const DctPictures d;
    return d;
}

// Keeps one luma block within the caller's check where the rounding can: if
// the reconstruction of `level` counts more than `target` off (count_off at
// off_level), every coefficient (intra: every AC one) is rounded to
// its nearest level instead of into the dead zone; while it still fails,
// single level steps follow on the coefficients where the error of the off
// pixels projects most (or, where those bring nothing, on any coefficient
// rounded half a step or more off its value), each kept only if it brings
// the off pixels nearer (off_score). `level` and out (its reconstruction,
// stride 8) are left at the best found; returns its count, and counts a
// changed block in *refined.
int refine_block(const float coef[64], int qp, bool intra, const std::uint8_t* src, std::ptrdiff_t ss,
                 const std::uint8_t* base, std::ptrdiff_t bs, int off_level, int target, std::int16_t level[64],
                 std::uint8_t out[64], int* refined) {
    reconstruct(level, qp, intra, base, bs, out);
    const int off = count_off(src, ss, out, off_level);
    if (off <= target) return off;
    std::uint8_t source[64];
    for (int y = 0; y < 8; ++y) std::memcpy(source + y * 8, src + y * ss, 8);
    std::int16_t trial[64];
    std::uint8_t trial_out[64];
    int score = off_score(source, out, off_level);
    bool changed = false;
    const auto take = [&](int n) {
        std::memcpy(level, trial, sizeof trial);
        std::memcpy(out, trial_out, sizeof trial_out);
        score = n;
        changed = true;
    };
    std::memcpy(trial, level, sizeof trial);
    for (int i = intra ? 1 : 0; i < 64; ++i) trial[i] = static_cast<std::int16_t>(nearest_level(coef[i], qp));
    reconstruct(trial, qp, intra, base, bs, trial_out);
    int n = off_score(source, trial_out, off_level);
    if (n < score) take(n);

    // Single steps are weighed on the reconstruction plus the step's basis
    // picture, which the IDCT's rounding may miss by one here and there; the
    // best one is then reconstructed exactly and kept only if it holds.
    const DctPictures& pictures = dct_pictures();
    const int first = intra ? 1 : 0;
    int wide_passes = 0;
    for (int step = 0; step < kRefineSteps && score / 4096 > target; ++step) {
        // The few best steps by the approximation, best first.
        struct Step {
            int score, i, by;
        };
        Step best[kRefineExact];
        int found = 0;
        const auto try_step = [&](int i, int by) {
            const int l = level[i] + by;
            if (l > transform_max_level || l < -transform_max_level) return;
            const auto delta = static_cast<float>(transform_dequant_level(l, qp) - transform_dequant_level(level[i], qp));
            const float* picture = pictures.m[i];
            std::uint8_t approx[64];
            for (int p = 0; p < 64; ++p) {
                const float v = static_cast<float>(out[p]) + delta * picture[p] + 0.5f;
                approx[p] = static_cast<std::uint8_t>(std::clamp(v, 0.0f, 255.0f));
            }
            const int m = off_score(source, approx, off_level);
            if (m >= score || (found == kRefineExact && m >= best[found - 1].score)) return;
            int k = found < kRefineExact ? found++ : found - 1;
            for (; k > 0 && best[k - 1].score > m; --k) best[k] = best[k - 1];
            best[k] = Step{m, i, by};
        };
        // The coefficients where the error of the off pixels projects most.
        std::int16_t excess[64];
        for (int p = 0; p < 64; ++p) {
            const int e = source[p] - out[p];
            excess[p] = static_cast<std::int16_t>(std::abs(e) >= near_level(off_level) ? e : 0);
        }
        float ec[64];
        transform_fdct(excess, ec);
        int pick[kRefineChoices];
        for (int& k : pick) k = -1;
        for (int i = first; i < 64; ++i)
            for (int k = 0; k < kRefineChoices; ++k)
                if (pick[k] < 0 || std::fabs(ec[i]) > std::fabs(ec[pick[k]])) {
                    for (int j = kRefineChoices - 1; j > k; --j) pick[j] = pick[j - 1];
                    pick[k] = i;
                    break;
                }
        for (int i : pick)
            if (i >= 0) try_step(i, ec[i] > 0 ? 1 : -1);
        // Where those bring nothing, every coefficient whose rounding left it
        // half a step or more from its value, toward it.
        if (!found && wide_passes < kRefineWidePasses) {
            ++wide_passes;
            for (int i = first; i < 64; ++i) {
                const float rest = coef[i] - static_cast<float>(transform_dequant_level(level[i], qp));
                if (std::fabs(rest) >= static_cast<float>(qp) * 0.5f) try_step(i, rest > 0 ? 1 : -1);
            }
        }
        bool kept = false;
        for (int k = 0; k < found && !kept; ++k) {
            std::memcpy(trial, level, sizeof trial);
            trial[best[k].i] = static_cast<std::int16_t>(level[best[k].i] + best[k].by);
            reconstruct(trial, qp, intra, base, bs, trial_out);
            n = off_score(source, trial_out, off_level);
            if (n < score) {
                take(n);
                kept = true;
            }
        }
        if (!kept) break;
    }
    if (changed) ++*refined;
    return score / 4096;
}

// ---- the coder of one picture ---------------------------------------------------------

// Most bits one macroblock can take: six blocks of 64 coefficients at the
// longest escape (30 bits each) and its header.
constexpr int kMbBitsMax = 6 * 64 * 30 + 64;

// The weight of a bit against squared error in the mode decision:
// 0.85 qp^2, in units of 1 / 2^kLambdaShift.
constexpr int kLambdaShift = 8;
inline std::int64_t rd_lambda(int qp) { return (std::int64_t{218} * qp * qp); }

// A macroblock's levels and the reconstruction they give, made before any of
// its bits is written, so that another coding of it can be weighed.
struct MbCoding {
    std::int16_t level[6][64];
    int last[6];  // zigzag index of the last non-zero level: intra AC 0 when none, inter -1
    int cbp = 0;
    MbPrediction rec;  // luma stride 16, chroma stride 8
    int worst_off = 0; // largest count of a checked block (count_off)
    int refined = 0;   // blocks whose rounding the check changed
};

struct PictureCoder {
    V2Encoder& e;
    BitWriter& w;
    int qp;
    const V2Picture& src;
    const V2Picture& ref;
    const V2Picture& dst;
    int slice_rows;  // every row at a multiple of it starts a slice
    bool checked;    // a delta picture under the caller's check
    int counts[3] = {};
    int worst_off = 0;  // as MbCoding's
    int refined = 0;

    bool first_row(int mb_y) const { return mb_y % slice_rows == 0; }
    // The largest count (count_off) a checked block may have.
    int allowed() const { return kOffWeight * e.check_target; }

    std::int16_t* dc_luma(int x, int y) const {
        return &e.dc[static_cast<std::size_t>(y) * (2 * e.mb_width) + static_cast<std::size_t>(x)];
    }
    std::int16_t* dc_chroma(int c, int x, int y) const {
        const std::size_t luma = static_cast<std::size_t>(4) * e.mb_width * e.mb_height;
        return &e.dc[luma + static_cast<std::size_t>(c) * e.mb_width * e.mb_height +
                     static_cast<std::size_t>(y) * e.mb_width + static_cast<std::size_t>(x)];
    }
    // DC level of a block in the grid; outside the picture and in
    // macroblocks not coded intra, mid grey (1024 / 8 as the decoder keeps it).
    int dc_at(int b, int x, int y) const {
        if (x < 0 || y < 0) return 128;
        return b < 4 ? *dc_luma(x, y) : *dc_chroma(b - 4, x, y);
    }
    // From the left or the upper neighbour, whichever side the gradient
    // through the upper-left one is flatter across; the first row of a slice
    // sees nothing above its upper blocks.
    int predict_dc(int b, int mb_x, int mb_y, bool first_row) const {
        int x = mb_x, y = mb_y;
        if (b < 4) {
            x = 2 * mb_x + (b & 1);
            y = 2 * mb_y + (b >> 1);
        }
        const int a = dc_at(b, x - 1, y);
        // Not even read there: the slice above may be coded at the same time.
        if (first_row && !(b & 2)) return dc_predict_v2(a, 128, 128);
        return dc_predict_v2(a, dc_at(b, x - 1, y - 1), dc_at(b, x, y - 1));
    }
    void set_dc(int b, int mb_x, int mb_y, int v) const {
        if (b < 4)
            *dc_luma(2 * mb_x + (b & 1), 2 * mb_y + (b >> 1)) = static_cast<std::int16_t>(v);
        else
            *dc_chroma(b - 4, mb_x, mb_y) = static_cast<std::int16_t>(v);
    }
    void clear_dc(int mb_x, int mb_y) const {
        for (int b = 0; b < 6; ++b) set_dc(b, mb_x, mb_y, 128);
    }
    CodecMv& mv_at(int mb_x, int mb_y) const {
        return e.mv[static_cast<std::size_t>(mb_y) * e.mb_width + static_cast<std::size_t>(mb_x)];
    }

    // Whether luma block b of the macroblock is one the check measures: whole
    // inside the visible picture.
    bool block_checked(int b, int mb_x, int mb_y) const {
        if (!checked || b >= 4) return false;
        const BlockAt at = block_at(b, mb_x, mb_y);
        return at.x + 8 <= e.width && at.y + 8 <= e.height;
    }

    // Levels and reconstruction of the macroblock coded intra (pred null) or
    // inter over pred.
    void quantise(int mb_x, int mb_y, const MbPrediction* pred, MbCoding& m) const {
        const bool intra = !pred;
        m.cbp = 0;
        for (int b = 0; b < 6; ++b) {
            const BlockAt at = block_at(b, mb_x, mb_y);
            const std::ptrdiff_t ss = src.stride[at.plane];
            const std::uint8_t* p = src.plane[at.plane] + at.y * ss + at.x;
            const std::uint8_t* q = nullptr;
            int qs = 0;
            if (pred) {
                q = b < 4 ? pred->luma + (b >> 1) * 128 + (b & 1) * 8 : pred->chroma[b - 4];
                qs = b < 4 ? 16 : 8;
            }
            std::uint8_t* out = b < 4 ? m.rec.luma + (b >> 1) * 128 + (b & 1) * 8 : m.rec.chroma[b - 4];
            const int os = b < 4 ? 16 : 8;
            const bool block_check = block_checked(b, mb_x, mb_y);
            std::int16_t in[64];
            if (q) {
                int sad = 0;
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x) {
                        const int r = p[y * ss + x] - q[y * qs + x];
                        in[y * 8 + x] = static_cast<std::int16_t>(r);
                        sad += r < 0 ? -r : r;
                    }
                // No coefficient of the block exceeds a quarter of its SAD;
                // under 2.5 qp every one quantises to zero, and the block is
                // the prediction unless the check wants more of it.
                if (sad < 10 * qp - 1) {
                    std::uint8_t block[64];
                    for (int y = 0; y < 8; ++y) std::memcpy(block + y * 8, q + y * qs, 8);
                    const int off = block_check ? count_off(p, ss, block, e.check_level) : 0;
                    if (off <= allowed()) {
                        std::memset(m.level[b], 0, sizeof m.level[b]);
                        for (int y = 0; y < 8; ++y) std::memcpy(out + y * os, block + y * 8, 8);
                        m.worst_off = std::max(m.worst_off, off);
                        m.last[b] = -1;
                        continue;
                    }
                }
            } else {
                for (int y = 0; y < 8; ++y)
                    for (int x = 0; x < 8; ++x) in[y * 8 + x] = p[y * ss + x];
            }
            float coef[64];
            transform_fdct(in, coef);
            std::int16_t* level = m.level[b];
            int last = intra ? transform_quant_intra(coef, qp, level) : transform_quant_inter(coef, qp, level);
            const int refined = m.refined;
            std::uint8_t block[64];
            if (block_check)
                m.worst_off = std::max(m.worst_off, refine_block(coef, qp, intra, p, ss, q, qs, e.check_level,
                                                                 allowed(), level, block, &m.refined));
            else
                reconstruct(level, qp, intra, q, qs, block);
            for (int y = 0; y < 8; ++y) std::memcpy(out + y * os, block + y * 8, 8);
            if (m.refined != refined) last = transform_last_level(level, intra ? 1 : 0);
            m.last[b] = last;
            if (intra ? last > 0 : last >= 0) m.cbp |= 32 >> b;
        }
    }

    void store(int mb_x, int mb_y, const MbCoding& m) const {
        for (int y = 0; y < 16; ++y)
            std::memcpy(dst.plane[0] + (mb_y * 16 + y) * dst.stride[0] + mb_x * 16, m.rec.luma + y * 16, 16);
        for (int c = 0; c < 2; ++c)
            for (int y = 0; y < 8; ++y)
                std::memcpy(dst.plane[1 + c] + (mb_y * 8 + y) * dst.stride[1 + c] + mb_x * 8, m.rec.chroma[c] + y * 8, 8);
    }

    void account(const MbCoding& m, V2MbMode mode) {
        ++counts[mode];
        worst_off = std::max(worst_off, m.worst_off);
        refined += m.refined;
    }

    // The bits of an intra macroblock into bw; the DC levels of its blocks go
    // into the grid as they are predicted (an inter coding of the macroblock
    // clears them again).
    void put_intra(BitWriter& bw, int mb_x, int mb_y, bool key_picture, const MbCoding& m) const {
        const int cbp = m.cbp;
        if (key_picture) {
            bit_writer_put(bw, mpg4_v2_intra_cbpc[cbp & 3]);
        } else {
            bit_writer_put(bw, 0, 1);  // not skipped
            bit_writer_put(bw, mpg4_v2_mb_type[4 | (cbp & 3)]);
        }
        bit_writer_put(bw, 0, 1);  // no AC prediction
        bit_writer_put(bw, mpg4_cbpy[cbp >> 2]);
        for (int b = 0; b < 6; ++b) {
            const int pred = predict_dc(b, mb_x, mb_y, first_row(mb_y));
            put_dc(bw, m.level[b][0] - pred, b >= 4);
            set_dc(b, mb_x, mb_y, m.level[b][0]);
            if (cbp & (32 >> b)) put_block(bw, b < 4 ? intra_index() : inter_index(), m.level[b], 1, m.last[b]);
        }
    }

    // The bits of an inter macroblock that is not skipped, with vector mv.
    void put_inter(BitWriter& bw, int mb_x, int mb_y, CodecMv mv, const MbCoding& m) const {
        const int cbp = m.cbp;
        const CodecMv p = v2enc_predict_mv(e.mv.data(), e.mb_width, mb_x, mb_y, first_row(mb_y));
        bit_writer_put(bw, 0, 1);
        bit_writer_put(bw, mpg4_v2_mb_type[cbp & 3]);
        // Unless both chroma blocks are coded the luma bits go inverted.
        bit_writer_put(bw, mpg4_cbpy[(cbp >> 2) ^ ((cbp & 3) != 3 ? 0xF : 0)]);
        put_mv_component(bw, p.x, mv.x);
        put_mv_component(bw, p.y, mv.y);
        for (int b = 0; b < 6; ++b)
            if (cbp & (32 >> b)) put_block(bw, inter_index(), m.level[b], 0, m.last[b]);
    }

    // A coding's bits written into a scratch buffer: their exact count for
    // the decision, and the bits themselves, appended as they are should the
    // coding win (the state they were written in is the same then).
    struct Scratch {
        std::uint8_t data[kMbBitsMax / 8 + 8];
        BitWriter w;
    };
    template <class Put>
    int bits_of(Scratch& s, Put put) const {
        bit_writer_open(s.w, s.data, sizeof s.data);
        put(s.w);
        return static_cast<int>(bit_writer_bits(s.w));
    }
    // The scratch bits of the coding, or its bits written afresh by put.
    template <class Put>
    void put_or_append(const Scratch* bits, Put put) {
        if (bits && !bits->w.overflow)
            bit_writer_append(w, bits->w);
        else
            put(w);
    }

    void write_intra(int mb_x, int mb_y, bool key_picture, const MbCoding& m, const Scratch* bits = nullptr) {
        put_or_append(bits, [&](BitWriter& bw) { put_intra(bw, mb_x, mb_y, key_picture, m); });
        store(mb_x, mb_y, m);
        mv_at(mb_x, mb_y) = CodecMv{0, 0};
        account(m, v2_mb_intra);
    }

    // Inter with vector mv, or skipped when mv is zero and nothing is left
    // to code.
    void write_inter(int mb_x, int mb_y, CodecMv mv, const MbCoding& m, const Scratch* bits = nullptr) {
        store(mb_x, mb_y, m);
        clear_dc(mb_x, mb_y);
        if (!m.cbp && !mv.x && !mv.y) {
            bit_writer_put(w, 1, 1);
            mv_at(mb_x, mb_y) = CodecMv{0, 0};
            account(m, v2_mb_skip);
            return;
        }
        put_or_append(bits, [&](BitWriter& bw) { put_inter(bw, mb_x, mb_y, mv, m); });
        mv_at(mb_x, mb_y) = mv;
        account(m, v2_mb_inter);
    }

    void code_key(int mb_x, int mb_y) {
        MbCoding m;
        quantise(mb_x, mb_y, nullptr, m);
        write_intra(mb_x, mb_y, true, m);
    }

    // The skipped macroblock: the prediction of the zero vector as it is.
    void make_skip(int mb_x, int mb_y, const MbPrediction& pred, MbCoding& m) const {
        m.cbp = 0;
        m.rec = pred;
        for (int b = 0; b < 4; ++b) {
            if (!block_checked(b, mb_x, mb_y)) continue;
            const BlockAt at = block_at(b, mb_x, mb_y);
            std::uint8_t block[64];
            for (int y = 0; y < 8; ++y) std::memcpy(block + y * 8, pred.luma + ((b >> 1) * 8 + y) * 16 + (b & 1) * 8, 8);
            m.worst_off = std::max(m.worst_off, count_off(src.plane[0] + at.y * src.stride[0] + at.x, src.stride[0],
                                                          block, e.check_level));
        }
    }

    // Squared error of a macroblock's reconstruction.
    std::int64_t distortion(int mb_x, int mb_y, const MbCoding& m) const {
        std::int64_t d = 0;
        const std::ptrdiff_t ls = src.stride[0];
        for (int y = 0; y < 16; ++y) {
            const std::uint8_t* a = src.plane[0] + (mb_y * 16 + y) * ls + mb_x * 16;
            const std::uint8_t* b = m.rec.luma + y * 16;
            int row = 0;
            for (int x = 0; x < 16; ++x) row += (a[x] - b[x]) * (a[x] - b[x]);
            d += row;
        }
        for (int c = 0; c < 2; ++c) {
            const std::ptrdiff_t cs = src.stride[1 + c];
            for (int y = 0; y < 8; ++y) {
                const std::uint8_t* a = src.plane[1 + c] + (mb_y * 8 + y) * cs + mb_x * 8;
                const std::uint8_t* b = m.rec.chroma[c] + y * 8;
                int row = 0;
                for (int x = 0; x < 8; ++x) row += (a[x] - b[x]) * (a[x] - b[x]);
                d += row;
            }
        }
        return d;
    }

    // A delta macroblock: the cheap estimates name the likely codings (skip,
    // inter with the better vector, intra), each is coded in full, and the
    // one of least squared error plus lambda times its exact bits is written;
    // under the caller's check only among those that keep every block within
    // it, or the one that fails least when none does.
    void code_delta(int mb_x, int mb_y, CodecMv candidate) {
        // The candidate as the format can code it from this predictor.
        const CodecMv p = v2enc_predict_mv(e.mv.data(), e.mb_width, mb_x, mb_y, first_row(mb_y));
        candidate.x = static_cast<std::int16_t>(v2enc_nearest_codable(p.x, candidate.x));
        candidate.y = static_cast<std::int16_t>(v2enc_nearest_codable(p.y, candidate.y));
        const V2MbDecision d = v2enc_decide_mb(e, mb_x, mb_y, candidate);
        const std::int64_t lambda = rd_lambda(qp);
        MbCoding coding[3];
        std::int64_t cost[3];
        bool tried[3] = {};
        Scratch scratch[2];  // inter's bits, intra's
        const auto clean = [&](int k) { return !checked || coding[k].worst_off <= allowed(); };

        // Inter, unless intra is far ahead by the estimates.
        const bool zero_mv = !d.mv.x && !d.mv.y;
        if (d.deviation * 2 + 512 >= d.sad) {
            MbPrediction pred;
            predict_mb(ref, mb_x, mb_y, d.mv, pred);
            quantise(mb_x, mb_y, &pred, coding[v2_mb_inter]);
            tried[v2_mb_inter] = true;
            const MbCoding& m = coding[v2_mb_inter];
            const int bits =
                !m.cbp && zero_mv ? 1 : bits_of(scratch[0], [&](BitWriter& bw) { put_inter(bw, mb_x, mb_y, d.mv, m); });
            cost[v2_mb_inter] = (distortion(mb_x, mb_y, m) << kLambdaShift) + lambda * bits;
            // Skip: the zero vector's prediction, where it comes near.
            if ((m.cbp || !zero_mv) && (zero_mv || d.sad_zero <= d.sad + d.sad / 4 + 64)) {
                if (!zero_mv) predict_mb(ref, mb_x, mb_y, CodecMv{0, 0}, pred);
                make_skip(mb_x, mb_y, pred, coding[v2_mb_skip]);
                tried[v2_mb_skip] = true;
                cost[v2_mb_skip] = (distortion(mb_x, mb_y, coding[v2_mb_skip]) << kLambdaShift) + lambda;
            }
        }
        // Intra, where the picture's own deviation is under the inter SAD or
        // the inter coding fails the check. (Trying it also where it comes
        // within a quarter above picked intra seldom: 8 % more time on
        // car-detection for 0.1 % of its size.)
        if (!tried[v2_mb_inter] || !clean(v2_mb_inter) || d.deviation < d.sad) {
            quantise(mb_x, mb_y, nullptr, coding[v2_mb_intra]);
            tried[v2_mb_intra] = true;
            const MbCoding& m = coding[v2_mb_intra];
            const int bits = bits_of(scratch[1], [&](BitWriter& bw) { put_intra(bw, mb_x, mb_y, false, m); });
            cost[v2_mb_intra] = (distortion(mb_x, mb_y, m) << kLambdaShift) + lambda * bits;
        }
        int pick = -1;
        for (int k = 0; k < 3; ++k) {
            if (!tried[k]) continue;
            if (pick < 0) {
                pick = k;
                continue;
            }
            const bool a = clean(k), b = clean(pick);
            if (a != b) {
                if (a) pick = k;
            } else if (!a && coding[k].worst_off != coding[pick].worst_off) {
                if (coding[k].worst_off < coding[pick].worst_off) pick = k;
            } else if (cost[k] < cost[pick]) {
                pick = k;
            }
        }
        switch (pick) {
            case v2_mb_intra:
                write_intra(mb_x, mb_y, false, coding[v2_mb_intra], &scratch[1]);
                break;
            case v2_mb_skip:
                write_inter(mb_x, mb_y, CodecMv{0, 0}, coding[v2_mb_skip]);
                break;
            default:
                write_inter(mb_x, mb_y, d.mv, coding[v2_mb_inter], !coding[v2_mb_inter].cbp && zero_mv ? nullptr : &scratch[0]);
                break;
        }
    }
};

}  // namespace

// ---- vectors -----------------------------------------------------------------------------

CodecMv v2enc_predict_mv(const CodecMv* mv, int mb_width, int mb_x, int mb_y, bool first_row) {
    const auto at = [&](int x, int y) { return mv[static_cast<std::size_t>(y) * mb_width + static_cast<std::size_t>(x)]; };
    const CodecMv zero{0, 0};
    const CodecMv a = mb_x > 0 ? at(mb_x - 1, mb_y) : zero;
    if (first_row) return a;
    const CodecMv b = at(mb_x, mb_y - 1);
    const CodecMv c = mb_x + 1 < mb_width ? at(mb_x + 1, mb_y - 1) : zero;
    return CodecMv{static_cast<std::int16_t>(median3(a.x, b.x, c.x)), static_cast<std::int16_t>(median3(a.y, b.y, c.y))};
}

bool v2enc_mv_codable(int pred, int value) { return value >= -63 && value <= 63 && mv_difference(pred, value) != 1000; }

int v2enc_nearest_codable(int pred, int value) {
    if (v2enc_mv_codable(pred, value)) return value;
    int best = pred, best_distance = 1 << 30;
    for (int d = -32; d <= 32; ++d) {
        const int v = wrap_mv(pred + d);
        const int distance = std::abs(v - value);
        // Ties go to the shorter vector.
        if (distance < best_distance || (distance == best_distance && std::abs(v) < std::abs(best))) {
            best = v;
            best_distance = distance;
        }
    }
    return best;
}

V2MbDecision v2enc_decide_mb(const V2Encoder& e, int mb_x, int mb_y, CodecMv candidate) {
    const V2Picture& ref = e.frame[e.reference];
    const std::ptrdiff_t ss = e.source.stride[0], rs = ref.stride[0];
    const std::uint8_t* s = e.source.plane[0] + mb_y * 16 * ss + mb_x * 16;
    const std::uint8_t* r = ref.plane[0] + mb_y * 16 * rs + mb_x * 16;
    const MotionKernels& k = motion_kernels();
    const int sad_zero = static_cast<int>(k.sad16(s, ss, r, rs));
    int best = sad_zero;
    CodecMv mv{0, 0};
    if (candidate.x || candidate.y) {
        const int sad = static_cast<int>(k.sad16_half[(candidate.x & 1) | (candidate.y & 1) << 1](
            s, ss, r + (candidate.y >> 1) * rs + (candidate.x >> 1), rs));
        if (sad < best) {
            best = sad;
            mv = candidate;
        }
    }
    int sum = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) sum += s[y * ss + x];
    const int mean = (sum + 128) >> 8;
    int deviation = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) deviation += std::abs(s[y * ss + x] - mean);
    if (deviation + 512 < best) return {v2_mb_intra, CodecMv{0, 0}, best, sad_zero, deviation};
    return {v2_mb_inter, mv, best, sad_zero, deviation};
}

// ---- the coder -------------------------------------------------------------------------

namespace {

// More bytes than any macroblock can take: every code is at most 16 bits,
// so a coefficient (escape, prefix, code, sign, or the 24-bit last escape)
// stays under 40 bits and a DC under 26; 6 blocks of 64, plus the macroblock
// header and its vector.
constexpr std::size_t kMbBoundBytes = (6 * 64 * 40 + 6 * 26 + 80) / 8 + 1;

int bands_of(int mb_height, int slice_rows) { return (mb_height + slice_rows - 1) / slice_rows; }

void code_band_job(void* arg, int k) { v2enc_code_band(*static_cast<V2Encoder*>(arg), k); }

}  // namespace

int v2enc_choose_slices(int mb_height) { return mb_height >= 2 ? 2 : 1; }

int v2enc_open(V2Encoder& e, int width, int height, int threads) {
    v2enc_close(e);
    if (width <= 0 || height <= 0 || width > codec_max_side || height > codec_max_side) return 0;
    e.width = width;
    e.height = height;
    e.mb_width = (width + 15) / 16;
    e.mb_height = (height + 15) / 16;
    e.slices = v2enc_choose_slices(e.mb_height);
    e.slice_rows = e.mb_height / e.slices;
    (void)intra_index();
    (void)inter_index();
    const std::size_t mbs = static_cast<std::size_t>(e.mb_width) * static_cast<std::size_t>(e.mb_height);
    bool ok = make_planes(e.source_buffer, e.source, e.mb_width, e.mb_height, 0) &&
              make_planes(e.frame_buffer[0], e.frame[0], e.mb_width, e.mb_height, codec_ref_border) &&
              make_planes(e.frame_buffer[1], e.frame[1], e.mb_width, e.mb_height, codec_ref_border);
    if (ok) {
        try {
            e.dc.assign(mbs * 6, 128);
            e.mv.assign(mbs, CodecMv{0, 0});
            e.slice_bits.resize(static_cast<std::size_t>(bands_of(e.mb_height, e.slice_rows)));
        } catch (const std::bad_alloc&) {
            ok = false;
        }
    }
    if (!ok) {
        v2enc_close(e);
        return 0;
    }
    e.workers = codec_workers_start(std::min(threads, static_cast<int>(e.slice_bits.size())));
    return 1;
}

void v2enc_close(V2Encoder& e) {
    codec_workers_stop(e.workers);
    e = V2Encoder{};
}

V2Picture v2enc_source(V2Encoder& e) { return e.source; }

V2Picture v2enc_reconstruction(const V2Encoder& e) { return e.frame[e.reference]; }

int v2enc_begin(V2Encoder& e, bool key, int qp, const CodecMv* vectors, std::uint8_t* out, std::size_t capacity) {
    V2Coding& c = e.coding;
    c.active = false;
    if (!e.mb_width || !out || qp < 2 || qp > 31 || (!key && !e.has_reference)) return -1;
    c.key = key;
    c.qp = qp;
    c.vectors = vectors;
    c.slices = key ? v2enc_choose_slices(e.mb_height) : e.slices;
    c.slice_rows = e.mb_height / c.slices;
    c.bands = bands_of(e.mb_height, c.slice_rows);
    if (static_cast<std::size_t>(c.bands) > e.slice_bits.size()) return -1;
    // Bands after the first get buffers of their own, as large as the
    // picture may be or as the band can be, whichever is less: one that
    // fills its buffer cannot fit the picture. Grown once, then reused.
    for (int k = 1; k < c.bands; ++k) {
        const V2Band rows = v2enc_band(e, k);
        const std::size_t bound =
            static_cast<std::size_t>(rows.end - rows.first) * static_cast<std::size_t>(e.mb_width) * kMbBoundBytes;
        const std::size_t need = std::min(capacity, bound);
        V2SliceBits& b = e.slice_bits[static_cast<std::size_t>(k)];
        if (b.data.size() < need) {
            try {
                b.data.resize(need);
            } catch (const std::bad_alloc&) {
                return -1;
            }
        }
        bit_writer_open(b.w, b.data.data(), need);
    }
    BitWriter& w = e.slice_bits[0].w;
    bit_writer_open(w, out, capacity);
    // Picture type (0 key, 1 delta) and quantiser; a key picture's slice code
    // (0x16 + the number of slices), a delta's flag that skipped macroblocks
    // are signalled.
    bit_writer_put(w, key ? 0u : 1u, 2);
    bit_writer_put(w, static_cast<std::uint32_t>(qp), 5);
    if (key)
        bit_writer_put(w, static_cast<std::uint32_t>(0x16 + c.slices), 5);
    else
        bit_writer_put(w, 1, 1);
    c.checked = !key && e.check_level > 0;
    c.active = true;
    return c.bands;
}

V2Band v2enc_band(const V2Encoder& e, int k) {
    const int rows = e.coding.slice_rows;
    return {std::min(k * rows, e.mb_height), std::min((k + 1) * rows, e.mb_height)};
}

void v2enc_code_band(V2Encoder& e, int k) {
    const V2Coding& c = e.coding;
    if (!c.active || k < 0 || k >= c.bands) return;
    V2SliceBits& b = e.slice_bits[static_cast<std::size_t>(k)];
    PictureCoder pc{e, b.w, c.qp, e.source, e.frame[e.reference], e.frame[1 - e.reference], c.slice_rows, c.checked};
    const V2Band rows = v2enc_band(e, k);
    for (int mb_y = rows.first; mb_y < rows.end && !b.w.overflow; ++mb_y) {
        for (int mb_x = 0; mb_x < e.mb_width; ++mb_x) {
            if (c.key) {
                pc.code_key(mb_x, mb_y);
            } else {
                const CodecMv candidate =
                    c.vectors ? c.vectors[static_cast<std::size_t>(mb_y) * e.mb_width + static_cast<std::size_t>(mb_x)]
                              : CodecMv{0, 0};
                pc.code_delta(mb_x, mb_y, candidate);
            }
        }
    }
    std::copy(pc.counts, pc.counts + 3, b.counts);
    b.worst_off = pc.worst_off;
    b.refined = pc.refined;
}

int v2enc_finish(V2Encoder& e) {
    V2Coding& c = e.coding;
    if (!c.active) return -1;
    c.active = false;
    BitWriter& w = e.slice_bits[0].w;
    // No resync markers: the slices' bits run on, byte-unaligned.
    for (int k = 1; k < c.bands; ++k) bit_writer_append(w, e.slice_bits[static_cast<std::size_t>(k)].w);
    if (c.key && e.ext_fps >= 0) {
        bit_writer_put(w, static_cast<std::uint32_t>(std::clamp(e.ext_fps, 0, 31)), 5);
        bit_writer_put(w, static_cast<std::uint32_t>(std::clamp(e.ext_kbps, 0, 2047)), 11);
    }
    const std::size_t size = bit_writer_finish(w);
    if (!size) return 0;

    const int target = 1 - e.reference;
    const int aw = e.mb_width * 16, ah = e.mb_height * 16;
    const V2Picture& made = e.frame[target];
    extend_plane(made.plane[0], made.stride[0], aw, ah, codec_ref_border);
    extend_plane(made.plane[1], made.stride[1], aw / 2, ah / 2, kChromaBorder);
    extend_plane(made.plane[2], made.stride[2], aw / 2, ah / 2, kChromaBorder);
    e.reference = target;
    e.has_reference = true;
    if (c.key) {
        e.slices = c.slices;
        e.slice_rows = c.slice_rows;
    }
    for (int m = 0; m < 3; ++m) {
        e.mode_count[m] = 0;
        for (int k = 0; k < c.bands; ++k) e.mode_count[m] += e.slice_bits[static_cast<std::size_t>(k)].counts[m];
    }
    e.worst_off = c.checked ? 0 : -1;
    e.refined_blocks = 0;
    for (int k = 0; k < c.bands; ++k) {
        const V2SliceBits& b = e.slice_bits[static_cast<std::size_t>(k)];
        if (c.checked) e.worst_off = std::max(e.worst_off, b.worst_off / kOffWeight);
        e.refined_blocks += b.refined;
    }
    return static_cast<int>(size);
}

void v2enc_pad_rows(V2Encoder& e, V2Band rows) {
    const int aw = e.mb_width * 16;
    const int first = std::clamp(rows.first, 0, e.mb_height), end = std::clamp(rows.end, first, e.mb_height);
    pad_rows(e.source.plane[0], e.source.stride[0], e.width, e.height, aw, 16 * first, 16 * end);
    for (int p = 1; p < 3; ++p)
        pad_rows(e.source.plane[p], e.source.stride[p], (e.width + 1) / 2, (e.height + 1) / 2, aw / 2, 8 * first, 8 * end);
}

int v2enc_code(V2Encoder& e, bool key, int qp, const CodecMv* vectors, std::uint8_t* out, std::size_t capacity) {
    if (e.mb_width) v2enc_pad_rows(e, V2Band{0, e.mb_height});
    const int bands = v2enc_begin(e, key, qp, vectors, out, capacity);
    if (bands < 0) return -1;
    codec_workers_run(e.workers, bands, code_band_job, &e);
    return v2enc_finish(e);
}
