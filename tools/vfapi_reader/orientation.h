// How a decoded picture is shown: the quarter turns and flips of a stream's
// display matrix (phone videos are stored sideways and say so there). In a
// header of its own, so that whatever builds the reader's one source file
// (the plug-in, its fuzz target) gets it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// The shown position (x, y), y going down, of the decoded picture's pixel
// (p, q): x = xp * p + xq * q, y = yp * p + yq * q, each factor -1, 0 or 1,
// shifted so that both start at 0.
struct Orientation {
    int xp = 1, xq = 0;
    int yp = 0, yq = 1;
};

// Matrices written from a floating-point angle carry rounding dust where a
// quarter turn has its zeros: anything under 1/64 counts as 0.
inline bool orientation_is_zero(int32_t v) { return std::abs(static_cast<int64_t>(v)) < (1 << 10); }

// The quarter turns and flips of a display matrix, nine 32-bit words as
// libavutil keeps them (a b u c d v x y w, a to d in 16.16 fixed point).
// Upright for a null matrix, and for one that turns by any other angle or
// skews, which only a general resampler could show.
inline Orientation orientation_of_matrix(const int32_t* matrix) {
    Orientation o;
    if (!matrix) return o;
    const int32_t a = matrix[0], b = matrix[1], c = matrix[3], d = matrix[4];
    auto sign_of = [](int32_t v) { return v > 0 ? 1 : -1; };
    if (orientation_is_zero(b) && orientation_is_zero(c) && !orientation_is_zero(a) && !orientation_is_zero(d)) {
        o.xp = sign_of(a);
        o.yq = sign_of(d);
    } else if (orientation_is_zero(a) && orientation_is_zero(d) && !orientation_is_zero(b) &&
               !orientation_is_zero(c)) {
        o.xp = 0;
        o.xq = sign_of(c);
        o.yp = sign_of(b);
        o.yq = 0;
    }
    return o;
}

inline bool orientation_is_upright(const Orientation& o) { return o.xp == 1 && o.xq == 0 && o.yp == 0 && o.yq == 1; }

// Width and height trade places (a quarter turn, or a flip over a diagonal).
inline bool orientation_swaps_sides(const Orientation& o) { return o.xq != 0; }

// Copies the top-down 24-bit picture of width x height at src (rows src_pitch
// bytes apart) onto the rows at dst_top (dst_down bytes from one shown row to
// the one below), as it is shown.
inline void orientation_copy(const Orientation& o, const uint8_t* src, ptrdiff_t src_pitch, int width, int height,
                             uint8_t* dst_top, ptrdiff_t dst_down) {
    // A factor of -1 starts that axis at its far end.
    const ptrdiff_t x0 = (o.xp < 0 ? width - 1 : 0) + (o.xq < 0 ? height - 1 : 0);
    const ptrdiff_t y0 = (o.yp < 0 ? width - 1 : 0) + (o.yq < 0 ? height - 1 : 0);
    // Steps through the shown rows for one pixel along a source row, and for one source row.
    const ptrdiff_t step_p = o.xp * 3 + o.yp * dst_down;
    const ptrdiff_t step_q = o.xq * 3 + o.yq * dst_down;
    // Offsets, not pointers, so that no step past the last pixel leaves the rows.
    ptrdiff_t row_start = x0 * 3 + y0 * dst_down;
    for (int q = 0; q < height; ++q, row_start += step_q) {
        const uint8_t* from = src + q * src_pitch;
        ptrdiff_t to = row_start;
        for (int p = 0; p < width; ++p, from += 3, to += step_p) std::memcpy(dst_top + to, from, 3);
    }
}
