#include "codec/motion_search.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <new>

#include "codec/mpg4_tables.h"
#include "common/dib.h"

namespace {

constexpr int span = 2 * motion_max_component + 1;  // components -63..63

// The decoder's sum of a predicted component and a sent difference.
int wrap_component(int sum) {
    if (sum <= -64) return sum + 64;
    if (sum >= 64) return sum - 64;
    return sum;
}

bool in_range(int c) { return c >= -motion_max_component && c <= motion_max_component; }

// Bits of the shortest difference from pred that the decoder turns into v; -1 if none.
int component_bits(int v, int pred) {
    if (!in_range(v) || !in_range(pred)) return -1;
    int best = -1;
    for (int d : {v - pred, v - pred + 64, v - pred - 64}) {
        if (d < -32 || d > 32 || wrap_component(pred + d) != v) continue;
        const int bits = mpg4_mv[std::abs(d)].len + (d != 0);
        if (best < 0 || bits < best) best = bits;
    }
    return best;
}

// Per predicted component: the bits of every component, and the window of
// the reachable ones, built once.
struct BitTable {
    std::array<std::array<std::int8_t, span>, span> bits;  // [pred + 63][v + 63]
    std::array<std::int8_t, span> lo, hi;                    // [pred + 63]
};

const BitTable& bit_table() {
    static const BitTable table = [] {
        BitTable t{};
        for (std::size_t i = 0; i < span; ++i) {
            const int p = static_cast<int>(i) - motion_max_component;
            int lo = motion_max_component + 1, hi = -motion_max_component - 1;
            for (std::size_t j = 0; j < span; ++j) {
                const int v = static_cast<int>(j) - motion_max_component;
                const int b = component_bits(v, p);
                t.bits[i][j] = static_cast<std::int8_t>(b);
                if (b >= 0) lo = std::min(lo, v), hi = std::max(hi, v);
            }
            t.lo[i] = static_cast<std::int8_t>(lo);
            t.hi[i] = static_cast<std::int8_t>(hi);
        }
        return t;
    }();
    return table;
}

int median3(int a, int b, int c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

// One macroblock's search: the blocks, the predictor and its window.
struct Block {
    const MotionKernels* k;
    const std::uint8_t* cur;
    std::ptrdiff_t cur_stride;
    const std::uint8_t* ref;  // the reference at the macroblock's own position
    std::ptrdiff_t ref_stride;
    int lambda;
    CodecMv pred;
    const std::int8_t* bits_x;  // bit_table().bits[pred.x + 63]
    const std::int8_t* bits_y;
    int lo_x, hi_x, lo_y, hi_y;  // reachable components

    bool inside(int x, int y) const { return x >= lo_x && x <= hi_x && y >= lo_y && y <= hi_y; }
    std::uint32_t rate(int x, int y) const {
        const int bits = bits_x[x + 63] + bits_y[y + 63];
        return static_cast<std::uint32_t>((lambda * bits + 8) >> 4);
    }
    const std::uint8_t* at(int x, int y) const { return ref + (y >> 1) * ref_stride + (x >> 1); }
    std::uint32_t sad(int x, int y) const {
        return k->sad16_half[(x & 1) | ((y & 1) << 1)](cur, cur_stride, at(x, y), ref_stride);
    }
    std::uint32_t satd(int x, int y) const {
        alignas(32) std::uint8_t pred_block[256];
        k->interpolate16[(x & 1) | ((y & 1) << 1)](at(x, y), ref_stride, pred_block);
        std::uint32_t sum = 0;
        for (int by = 0; by < 16; by += 8)
            for (int bx = 0; bx < 16; bx += 8)
                sum += k->satd8(cur + by * cur_stride + bx, cur_stride, pred_block + by * 16 + bx, 16);
        return sum;
    }
};

// The best whole-pixel point so far.
struct Best {
    int x = 0, y = 0;
    std::uint32_t sad = 0, cost = 0;
};

// Tries whole-pixel point (x, y), unless it is out of the window; 1 when it is the new best.
bool try_full(const Block& b, Best& best, int x, int y) {
    if (!b.inside(x, y)) return false;
    const std::uint32_t sad = b.sad(x, y);
    const std::uint32_t cost = sad + b.rate(x, y);
    if (cost >= best.cost) return false;
    best = {x, y, sad, cost};
    return true;
}

// Hexagon of radius two pixels until its centre is the best, then the eight
// one-pixel neighbours until the centre is the best again. Bounded: every
// move lowers the cost, and the steps are capped anyway.
void pattern_search(const Block& b, Best& best) {
    static constexpr int hexagon[6][2] = {{-4, 0}, {4, 0}, {-2, -4}, {2, -4}, {-2, 4}, {2, 4}};
    static constexpr int square[8][2] = {{-2, 0}, {2, 0}, {0, -2}, {0, 2}, {-2, -2}, {2, -2}, {-2, 2}, {2, 2}};
    for (int step = 0; step < 32; ++step) {
        const int cx = best.x, cy = best.y;
        bool moved = false;
        for (const auto& d : hexagon) moved |= try_full(b, best, cx + d[0], cy + d[1]);
        if (!moved) break;
    }
    for (int step = 0; step < 32; ++step) {
        const int cx = best.x, cy = best.y;
        bool moved = false;
        for (const auto& d : square) moved |= try_full(b, best, cx + d[0], cy + d[1]);
        if (!moved) break;
    }
}

int even_at_least(int v) { return v + (v & 1); }
int even_at_most(int v) { return v - (v & 1); }

// Every second pixel of the window, each way.
void wide_scan(const Block& b, Best& best) {
    for (int y = even_at_least(b.lo_y); y <= b.hi_y; y += 4)
        for (int x = even_at_least(b.lo_x); x <= b.hi_x; x += 4) try_full(b, best, x, y);
}

// The whole range, sparsely (every fourth pixel), then the pattern search;
// distortion alone, the bits of a vector out of reach being meaningless.
// A match beyond the predictor's reach and much better than the best within
// it moves the vector to the nearest reachable point towards it, so that the
// following macroblocks' predictors can reach the motion.
void steer(const Block& b, const CodecMv* cands, int n_cands, Best& best) {
    Block all = b;
    all.lambda = 0;
    all.lo_x = all.lo_y = -motion_max_component;
    all.hi_x = all.hi_y = motion_max_component;
    Best far;
    far.cost = UINT32_MAX;
    for (int i = 0; i < n_cands; ++i) try_full(all, far, even_at_most(cands[i].x), even_at_most(cands[i].y));
    for (int y = -56; y <= 56; y += 8)
        for (int x = -56; x <= 56; x += 8) try_full(all, far, x, y);
    pattern_search(all, far);
    if (b.inside(far.x, far.y) || far.sad * 2 >= best.sad) return;
    const int x = std::clamp(far.x, even_at_least(b.lo_x), even_at_most(b.hi_x));
    const int y = std::clamp(far.y, even_at_least(b.lo_y), even_at_most(b.hi_y));
    const std::uint32_t sad = b.sad(x, y);
    best = {x, y, sad, sad + b.rate(x, y)};
}

void search_block(const MotionSearch& s, const Block& b, const CodecMv* cands, int n_cands, CodecMv& out,
                  std::uint32_t& out_cost) {
    // Whole-pixel starting points: each candidate on the whole-pixel grid
    // (rounded down) and clamped into the window's whole-pixel part.
    const int flo_x = even_at_least(b.lo_x), fhi_x = even_at_most(b.hi_x);
    const int flo_y = even_at_least(b.lo_y), fhi_y = even_at_most(b.hi_y);
    Best best;
    best.cost = UINT32_MAX;
    std::array<CodecMv, 16> tried{};
    int n_tried = 0;
    for (int i = 0; i < n_cands; ++i) {
        const int x = std::clamp(even_at_most(cands[i].x), flo_x, fhi_x);
        const int y = std::clamp(even_at_most(cands[i].y), flo_y, fhi_y);
        bool seen = false;
        for (int j = 0; j < n_tried; ++j) seen |= tried[j].x == x && tried[j].y == y;
        if (seen) continue;
        tried[n_tried++] = {static_cast<std::int16_t>(x), static_cast<std::int16_t>(y)};
        try_full(b, best, x, y);
    }
    if (best.sad >= s.early_exit) {
        pattern_search(b, best);
        if (best.sad > s.wide_threshold) {
            const Best before = best;
            wide_scan(b, best);
            if (best.x != before.x || best.y != before.y) pattern_search(b, best);
        }
        if (s.steer && best.sad > s.wide_threshold) steer(b, cands, n_cands, best);
    }

    // Half-pel refinement around the whole-pixel best, and the predictor
    // itself (the cheapest vector to send).
    int bx = best.x, by = best.y;
    std::uint32_t best_sad = best.sad;
    std::uint32_t best_rank = s.half_pel_satd ? b.satd(bx, by) + b.rate(bx, by) : best.cost;
    auto try_half = [&](int x, int y) {
        if (!b.inside(x, y) || (x == bx && y == by)) return;
        const std::uint32_t sad = b.sad(x, y);
        const std::uint32_t rank = (s.half_pel_satd ? b.satd(x, y) : sad) + b.rate(x, y);
        if (rank < best_rank) best_rank = rank, best_sad = sad, bx = x, by = y;
    };
    const int cx = best.x, cy = best.y;
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            if (dx || dy) try_half(cx + dx, cy + dy);
    try_half(b.pred.x, b.pred.y);
    out = {static_cast<std::int16_t>(bx), static_cast<std::int16_t>(by)};
    out_cost = best_sad + b.rate(bx, by);
}

}  // namespace

int motion_codable(CodecMv v, CodecMv pred) { return motion_bits(v, pred) >= 0 ? 1 : 0; }

int motion_bits(CodecMv v, CodecMv pred) {
    const int bx = component_bits(v.x, pred.x);
    const int by = component_bits(v.y, pred.y);
    return bx < 0 || by < 0 ? -1 : bx + by;
}

void motion_codable_range(int pred, int* lo, int* hi) {
    if (!in_range(pred)) {
        *lo = 1;
        *hi = 0;
        return;
    }
    *lo = bit_table().lo[pred + 63];
    *hi = bit_table().hi[pred + 63];
}

CodecMv motion_predict(const CodecMv* vectors, int mb_width, int mbx, int mby, int slice_rows) {
    const CodecMv zero{0, 0};
    const CodecMv a = mbx > 0 ? vectors[static_cast<std::ptrdiff_t>(mby) * mb_width + mbx - 1] : zero;
    if (mby == 0 || (slice_rows > 0 && mby % slice_rows == 0)) return a;
    const CodecMv* above = vectors + static_cast<std::ptrdiff_t>(mby - 1) * mb_width;
    const CodecMv b = above[mbx];
    const CodecMv c = mbx + 1 < mb_width ? above[mbx + 1] : zero;
    return {static_cast<std::int16_t>(median3(a.x, b.x, c.x)), static_cast<std::int16_t>(median3(a.y, b.y, c.y))};
}

int motion_search_open(MotionSearch& s, int mb_width, int mb_height) {
    motion_search_close(s);
    constexpr int max_mbs = (codec_max_side + 15) / 16;
    if (mb_width <= 0 || mb_height <= 0 || mb_width > max_mbs || mb_height > max_mbs) return 0;
    try {
        s.previous.assign(static_cast<std::size_t>(mb_width) * mb_height, CodecMv{0, 0});
    } catch (const std::bad_alloc&) {
        motion_search_close(s);
        return 0;
    }
    (void)bit_table();
    s.mb_width = mb_width;
    s.mb_height = mb_height;
    s.kernels = &motion_kernels();
    return 1;
}

void motion_search_close(MotionSearch& s) { s = MotionSearch{}; }

void motion_search_row(MotionSearch& s, const std::uint8_t* cur, std::ptrdiff_t cur_stride,
                       const std::uint8_t* ref, std::ptrdiff_t ref_stride, int mby, int lambda, CodecMv* vectors,
                       std::uint32_t* costs) {
    if (!s.mb_width || !s.kernels || mby < 0 || mby >= s.mb_height || !cur || !ref || !vectors || !costs) return;
    const BitTable& table = bit_table();
    const int w = s.mb_width;
    CodecMv* row = vectors + static_cast<std::ptrdiff_t>(mby) * w;
    // The first row of a slice neither predicts from the row above nor tries its vectors.
    const bool first_row = mby == 0 || (s.slice_rows > 0 && mby % s.slice_rows == 0);
    const CodecMv* above = first_row ? nullptr : row - w;
    const CodecMv* prev = s.previous.data();
    Block b{};
    b.k = s.kernels;
    b.cur_stride = cur_stride;
    b.ref_stride = ref_stride;
    b.lambda = std::clamp(lambda, 0, 1 << 20);
    for (int mbx = 0; mbx < w; ++mbx) {
        // Vectors the decoder could not hold (the caller's) are clamped: the tables end at +-63.
        b.pred = motion_predict(vectors, w, mbx, mby, s.slice_rows);
        b.pred.x = static_cast<std::int16_t>(std::clamp<int>(b.pred.x, -motion_max_component, motion_max_component));
        b.pred.y = static_cast<std::int16_t>(std::clamp<int>(b.pred.y, -motion_max_component, motion_max_component));
        b.bits_x = table.bits[b.pred.x + 63].data();
        b.bits_y = table.bits[b.pred.y + 63].data();
        b.lo_x = table.lo[b.pred.x + 63];
        b.hi_x = table.hi[b.pred.x + 63];
        b.lo_y = table.lo[b.pred.y + 63];
        b.hi_y = table.hi[b.pred.y + 63];
        b.cur = cur + static_cast<std::ptrdiff_t>(mby) * 16 * cur_stride + mbx * 16;
        b.ref = ref + static_cast<std::ptrdiff_t>(mby) * 16 * ref_stride + mbx * 16;

        CodecMv cands[12];
        int n = 0;
        cands[n++] = b.pred;
        cands[n++] = {0, 0};
        if (mbx > 0) cands[n++] = row[mbx - 1];
        if (above) {
            cands[n++] = above[mbx];
            if (mbx + 1 < w) cands[n++] = above[mbx + 1];
        }
        const std::ptrdiff_t i = static_cast<std::ptrdiff_t>(mby) * w + mbx;
        cands[n++] = prev[i];
        if (mbx > 0) cands[n++] = prev[i - 1];
        if (mbx + 1 < w) cands[n++] = prev[i + 1];
        if (mby > 0) cands[n++] = prev[i - w];
        if (mby + 1 < s.mb_height) cands[n++] = prev[i + w];
        search_block(s, b, cands, n, row[mbx], costs[i]);
    }
}

void motion_search_frame(MotionSearch& s, const std::uint8_t* cur, std::ptrdiff_t cur_stride,
                         const std::uint8_t* ref, std::ptrdiff_t ref_stride, int lambda, CodecMv* vectors,
                         std::uint32_t* costs) {
    if (!s.mb_width || !cur || !ref || !vectors || !costs) return;
    for (int mby = 0; mby < s.mb_height; ++mby)
        motion_search_row(s, cur, cur_stride, ref, ref_stride, mby, lambda, vectors, costs);
    motion_search_end_frame(s, vectors);
}

void motion_search_end_frame(MotionSearch& s, const CodecMv* vectors) {
    if (!s.mb_width || !vectors) return;
    std::copy(vectors, vectors + s.previous.size(), s.previous.begin());
}
