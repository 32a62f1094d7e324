// The 8x8 transform of the picture coder: forward DCT, H.263-style
// quantisation and dequantisation, and an inverse DCT that gives, bit for bit,
// what libavcodec's plain integer IDCT (the one codec_idct selects) gives for
// int16 coefficients, with its put (clamped store) and add (clamped sum).
//
// Blocks are 64 entries in raster order (row by row); coefficient scans use
// transform_zigzag, which both intra blocks without AC prediction and inter
// blocks use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#pragma GCC visibility push(hidden)

// Raster index of the k-th coefficient in zigzag order.
extern const std::array<std::uint8_t, 64> transform_zigzag;

// Forward DCT with the H.263 scale (the DC is 8 x the block mean): the exact
// inverse of what the IDCT computes, up to its rounding.
void transform_fdct(const std::int16_t in[64], float out[64]);

// The intra DC scale of this format: 8 at every quantiser.
constexpr int transform_dc_scale = 8;

// Largest level magnitude the coder writes (the fixed-length escape holds a
// signed byte; -128 is avoided).
constexpr int transform_max_level = 127;

// Quantises an intra block at qp (1..31): level[0] the DC, round(dc / 8) in
// 0..255; the AC |c| / (2 qp) truncated (no dead zone beyond the truncation).
// Returns the zigzag index of the last non-zero AC level, 0 when none.
int transform_quant_intra(const float coef[64], int qp, std::int16_t level[64]);
// Quantises an inter block at qp: (|c| - qp / 2) / (2 qp) truncated, a dead
// zone of half a step. Returns the zigzag index of the last non-zero level,
// -1 when the block has none.
int transform_quant_inter(const float coef[64], int qp, std::int16_t level[64]);

// Zigzag index of the last non-zero level from index `first` on; first - 1
// when there is none.
int transform_last_level(const std::int16_t level[64], int first);

// What the decoder makes of one AC (or inter) level l at qp:
// sign(l) * (2 qp |l| + ((qp - 1) | 1)), 0 for 0.
inline int transform_dequant_level(int l, int qp) {
    const int sign = (l > 0) - (l < 0);
    return l * 2 * qp + sign * ((qp - 1) | 1);
}

// What the decoder makes of levels: intra DC x 8; every other level as
// transform_dequant_level.
void transform_dequant_intra(const std::int16_t level[64], int qp, std::int16_t block[64]);
void transform_dequant_inter(const std::int16_t level[64], int qp, std::int16_t block[64]);

// Inverse DCT in place on block, then dst = clamp(result) (put) or
// dst = clamp(dst + result) (add), 8x8 at dst with the given stride.
void transform_idct_put(std::int16_t block[64], std::uint8_t* dst, std::ptrdiff_t stride);
void transform_idct_add(std::int16_t block[64], std::uint8_t* dst, std::ptrdiff_t stride);
// The inverse DCT alone (the results, unclamped).
void transform_idct(std::int16_t block[64]);

#pragma GCC visibility pop
