#include "codec/transform.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr std::array<std::uint8_t, 64> make_zigzag() {
    std::array<std::uint8_t, 64> z{};
    int x = 0, y = 0;
    for (int k = 0; k < 64; ++k) {
        z[k] = static_cast<std::uint8_t>(y * 8 + x);
        if ((x + y) % 2 == 0) {  // going up and to the right
            if (x == 7) ++y;
            else if (y == 0) ++x;
            else { ++x; --y; }
        } else {  // going down and to the left
            if (y == 7) ++x;
            else if (x == 0) ++y;
            else { --x; ++y; }
        }
    }
    return z;
}

// The forward DCT as a fast factorisation (the scaled 8-point flowgraph of
// Arai, Agui and Nakajima: 5 multiplications a pass), its outputs scaled by
// sqrt(2) cos(k pi / 16) per dimension (1 for k = 0) and by 8 overall; the
// scale comes off in one multiplication per coefficient at the end. One pass
// transforms the eight columns of d side by side (loops the compiler turns
// into vector operations); the rows go through it transposed.
void fdct_columns(float d[64]) {
    float t[8][8];
    for (int x = 0; x < 8; ++x) {
        t[0][x] = d[x] + d[56 + x];
        t[7][x] = d[x] - d[56 + x];
        t[1][x] = d[8 + x] + d[48 + x];
        t[6][x] = d[8 + x] - d[48 + x];
        t[2][x] = d[16 + x] + d[40 + x];
        t[5][x] = d[16 + x] - d[40 + x];
        t[3][x] = d[24 + x] + d[32 + x];
        t[4][x] = d[24 + x] - d[32 + x];
    }
    for (int x = 0; x < 8; ++x) {
        // Even half.
        const float e10 = t[0][x] + t[3][x], e13 = t[0][x] - t[3][x];
        const float e11 = t[1][x] + t[2][x], e12 = t[1][x] - t[2][x];
        d[x] = e10 + e11;
        d[32 + x] = e10 - e11;
        const float z1 = (e12 + e13) * 0.707106781f;
        d[16 + x] = e13 + z1;
        d[48 + x] = e13 - z1;
        // Odd half.
        const float o10 = t[4][x] + t[5][x], o11 = t[5][x] + t[6][x], o12 = t[6][x] + t[7][x];
        const float z5 = (o10 - o12) * 0.382683433f;
        const float z2 = 0.541196100f * o10 + z5;
        const float z4 = 1.306562965f * o12 + z5;
        const float z3 = o11 * 0.707106781f;
        const float z11 = t[7][x] + z3, z13 = t[7][x] - z3;
        d[40 + x] = z13 + z2;
        d[24 + x] = z13 - z2;
        d[8 + x] = z11 + z4;
        d[56 + x] = z11 - z4;
    }
}

void transpose8(const float in[64], float out[64]) {
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) out[x * 8 + y] = in[y * 8 + x];
}

// 1 / (8 s(u) s(v)), s(0) = 1, s(k) = sqrt(2) cos(k pi / 16): what takes the
// flowgraph's outputs to the H.263 scale.
struct FdctScale {
    float m[64];
    FdctScale() {
        const double pi = 3.14159265358979323846;
        double s[8];
        for (int k = 0; k < 8; ++k) s[k] = k ? std::sqrt(2.0) * std::cos(k * pi / 16) : 1.0;
        for (int v = 0; v < 8; ++v)
            for (int u = 0; u < 8; ++u) m[v * 8 + u] = static_cast<float>(1.0 / (8.0 * s[u] * s[v]));
    }
};

const FdctScale& fdct_scale() {
    static const FdctScale f;
    return f;
}

// Factors of the integer IDCT: sqrt(2) cos(k pi / 16) in 1/16384ths
// (the fourth one below its rounded value, as the decoder has it).
constexpr int kW1 = 22725, kW2 = 21407, kW3 = 19266, kW4 = 16383, kW5 = 12873, kW6 = 8867, kW7 = 4520;
constexpr int kRowShift = 11, kColShift = 20;

// The decoder sums in 32-bit ints; sums taken in 64 bits and cut to 32 wrap
// exactly as its do, should a pathological block ever overflow.
inline std::int32_t cut32(std::int64_t v) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(v)); }

// The even and odd halves of the 8-point inverse, from inputs v[0..7] and the
// rounding term already in a0. Results: out k = e[k] + o[k] for k < 4 and
// e[7-k] - o[7-k] beyond.
struct Butterfly {
    std::int64_t a[4], b[4];
};

inline Butterfly butterfly(std::int64_t a0, std::int64_t v1, std::int64_t v2, std::int64_t v3, std::int64_t v4,
                           std::int64_t v5, std::int64_t v6, std::int64_t v7) {
    Butterfly f;
    f.a[0] = a0 + kW2 * v2 + kW4 * v4 + kW6 * v6;
    f.a[1] = a0 + kW6 * v2 - kW4 * v4 - kW2 * v6;
    f.a[2] = a0 - kW6 * v2 - kW4 * v4 + kW2 * v6;
    f.a[3] = a0 - kW2 * v2 + kW4 * v4 - kW6 * v6;
    f.b[0] = kW1 * v1 + kW3 * v3 + kW5 * v5 + kW7 * v7;
    f.b[1] = kW3 * v1 - kW7 * v3 - kW1 * v5 - kW5 * v7;
    f.b[2] = kW5 * v1 - kW1 * v3 + kW7 * v5 + kW3 * v7;
    f.b[3] = kW7 * v1 - kW5 * v3 + kW3 * v5 - kW1 * v7;
    return f;
}

inline int butterfly_out(const Butterfly& f, int k, int shift) {
    const std::int64_t v = k < 4 ? f.a[k] + f.b[k] : f.a[7 - k] - f.b[7 - k];
    return cut32(v) >> shift;
}

// One row in place. A row of only a DC takes the decoder's shortcut: DC x 8,
// kept to 16 bits.
inline void idct_row(std::int16_t* r) {
    if (!(r[1] | r[2] | r[3] | r[4] | r[5] | r[6] | r[7])) {
        const auto v = static_cast<std::int16_t>(static_cast<std::uint16_t>(r[0] * 8));
        for (int k = 0; k < 8; ++k) r[k] = v;
        return;
    }
    const Butterfly f = butterfly(std::int64_t{kW4} * r[0] + (1 << (kRowShift - 1)), r[1], r[2], r[3], r[4], r[5],
                                  r[6], r[7]);
    for (int k = 0; k < 8; ++k) r[k] = static_cast<std::int16_t>(butterfly_out(f, k, kRowShift));
}

// One column: the rounding is folded into the DC term as the decoder folds it.
inline Butterfly idct_col(const std::int16_t* c) {
    return butterfly(std::int64_t{kW4} * (c[0] + ((1 << (kColShift - 1)) / kW4)), c[8], c[16], c[24], c[32],
                     c[40], c[48], c[56]);
}

inline std::uint8_t clamp_pixel(int v) { return static_cast<std::uint8_t>(std::clamp(v, 0, 255)); }

}  // namespace

const std::array<std::uint8_t, 64> transform_zigzag = make_zigzag();
static_assert(make_zigzag()[2] == 8 && make_zigzag()[3] == 16 && make_zigzag()[10] == 32 &&
              make_zigzag()[63] == 63 && make_zigzag()[62] == 62 && make_zigzag()[42] == 15);

void transform_fdct(const std::int16_t in[64], float out[64]) {
    const float* scale = fdct_scale().m;
    float a[64];
    for (int i = 0; i < 64; ++i) a[i] = static_cast<float>(in[i]);
    fdct_columns(a);
    transpose8(a, out);
    fdct_columns(out);
    transpose8(out, a);
    for (int i = 0; i < 64; ++i) out[i] = a[i] * scale[i];
}

int transform_last_level(const std::int16_t level[64], int first) {
    int any = 0;
    for (int i = 0; i < 64; ++i) any |= level[i];
    if (!any) return first - 1;
    int k = 63;
    while (k >= first && !level[transform_zigzag[k]]) --k;
    return k;
}

// Both quantisers work in raster order, a loop the compiler vectorises, and
// find the last level in zigzag order afterwards.
int transform_quant_intra(const float coef[64], int qp, std::int16_t level[64]) {
    const float step = 1.0f / static_cast<float>(2 * qp);
    const auto cap = static_cast<float>(transform_max_level);
    for (int i = 0; i < 64; ++i) {
        const float l = std::min(std::fabs(coef[i]) * step, cap);
        const auto m = static_cast<std::int16_t>(l);
        level[i] = coef[i] < 0 ? static_cast<std::int16_t>(-m) : m;
    }
    level[0] = static_cast<std::int16_t>(std::clamp(static_cast<int>(std::floor(coef[0] / transform_dc_scale + 0.5f)), 0, 255));
    return transform_last_level(level, 1);
}

int transform_quant_inter(const float coef[64], int qp, std::int16_t level[64]) {
    const float step = 1.0f / static_cast<float>(2 * qp);
    const float zone = static_cast<float>(qp) * 0.5f;
    const auto cap = static_cast<float>(transform_max_level);
    for (int i = 0; i < 64; ++i) {
        const float l = std::min(std::max(std::fabs(coef[i]) - zone, 0.0f) * step, cap);
        const auto m = static_cast<std::int16_t>(l);
        level[i] = coef[i] < 0 ? static_cast<std::int16_t>(-m) : m;
    }
    return transform_last_level(level, 0);
}

void transform_dequant_intra(const std::int16_t level[64], int qp, std::int16_t block[64]) {
    for (int i = 0; i < 64; ++i) block[i] = static_cast<std::int16_t>(transform_dequant_level(level[i], qp));
    block[0] = static_cast<std::int16_t>(level[0] * transform_dc_scale);
}

void transform_dequant_inter(const std::int16_t level[64], int qp, std::int16_t block[64]) {
    for (int i = 0; i < 64; ++i) block[i] = static_cast<std::int16_t>(transform_dequant_level(level[i], qp));
}

void transform_idct(std::int16_t block[64]) {
    for (int y = 0; y < 8; ++y) idct_row(block + 8 * y);
    std::int16_t out[64];
    for (int x = 0; x < 8; ++x) {
        const Butterfly f = idct_col(block + x);
        for (int k = 0; k < 8; ++k) out[8 * k + x] = static_cast<std::int16_t>(butterfly_out(f, k, kColShift));
    }
    std::copy(out, out + 64, block);
}

void transform_idct_put(std::int16_t block[64], std::uint8_t* dst, std::ptrdiff_t stride) {
    for (int y = 0; y < 8; ++y) idct_row(block + 8 * y);
    for (int x = 0; x < 8; ++x) {
        const Butterfly f = idct_col(block + x);
        for (int k = 0; k < 8; ++k) dst[k * stride + x] = clamp_pixel(butterfly_out(f, k, kColShift));
    }
}

void transform_idct_add(std::int16_t block[64], std::uint8_t* dst, std::ptrdiff_t stride) {
    for (int y = 0; y < 8; ++y) idct_row(block + 8 * y);
    for (int x = 0; x < 8; ++x) {
        const Butterfly f = idct_col(block + x);
        for (int k = 0; k < 8; ++k) dst[k * stride + x] = clamp_pixel(dst[k * stride + x] + butterfly_out(f, k, kColShift));
    }
}
