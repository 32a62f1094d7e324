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

// The decoder sums in 32-bit ints. The sums here are taken in unsigned 32-bit
// arithmetic, which wraps exactly as its do should a pathological block ever
// overflow, and read back as signed before the shift.
using Sum = std::uint32_t;
inline int descale(Sum v, int shift) { return static_cast<std::int32_t>(v) >> shift; }

// One row in place. A row of only a DC takes the decoder's shortcut: DC x 8,
// kept to 16 bits.
inline void idct_row(std::int16_t* r) {
    if (!(r[1] | r[2] | r[3] | r[4] | r[5] | r[6] | r[7])) {
        const auto v = static_cast<std::int16_t>(static_cast<std::uint16_t>(r[0] * 8));
        for (int k = 0; k < 8; ++k) r[k] = v;
        return;
    }
    const Sum v0 = static_cast<Sum>(r[0]), v1 = static_cast<Sum>(r[1]), v2 = static_cast<Sum>(r[2]),
              v3 = static_cast<Sum>(r[3]), v4 = static_cast<Sum>(r[4]), v5 = static_cast<Sum>(r[5]),
              v6 = static_cast<Sum>(r[6]), v7 = static_cast<Sum>(r[7]);
    const Sum a0 = kW4 * v0 + (1u << (kRowShift - 1));
    const Sum e0 = a0 + kW2 * v2 + kW4 * v4 + kW6 * v6, e1 = a0 + kW6 * v2 - kW4 * v4 - kW2 * v6;
    const Sum e2 = a0 - kW6 * v2 - kW4 * v4 + kW2 * v6, e3 = a0 - kW2 * v2 + kW4 * v4 - kW6 * v6;
    const Sum o0 = kW1 * v1 + kW3 * v3 + kW5 * v5 + kW7 * v7, o1 = kW3 * v1 - kW7 * v3 - kW1 * v5 - kW5 * v7;
    const Sum o2 = kW5 * v1 - kW1 * v3 + kW7 * v5 + kW3 * v7, o3 = kW7 * v1 - kW5 * v3 + kW3 * v5 - kW1 * v7;
    r[0] = static_cast<std::int16_t>(descale(e0 + o0, kRowShift));
    r[1] = static_cast<std::int16_t>(descale(e1 + o1, kRowShift));
    r[2] = static_cast<std::int16_t>(descale(e2 + o2, kRowShift));
    r[3] = static_cast<std::int16_t>(descale(e3 + o3, kRowShift));
    r[4] = static_cast<std::int16_t>(descale(e3 - o3, kRowShift));
    r[5] = static_cast<std::int16_t>(descale(e2 - o2, kRowShift));
    r[6] = static_cast<std::int16_t>(descale(e1 - o1, kRowShift));
    r[7] = static_cast<std::int16_t>(descale(e0 - o0, kRowShift));
}

// The rows, then the eight columns side by side (loops the compiler turns
// into vector operations) into out, row by row; the columns' rounding is
// folded into the DC term as the decoder folds it.
void idct_2d(std::int16_t block[64], int out[64]) {
    for (int y = 0; y < 8; ++y) idct_row(block + 8 * y);
    for (int x = 0; x < 8; ++x) {
        const Sum v0 = static_cast<Sum>(block[x] + (1 << (kColShift - 1)) / kW4), v1 = static_cast<Sum>(block[8 + x]),
                  v2 = static_cast<Sum>(block[16 + x]), v3 = static_cast<Sum>(block[24 + x]),
                  v4 = static_cast<Sum>(block[32 + x]), v5 = static_cast<Sum>(block[40 + x]),
                  v6 = static_cast<Sum>(block[48 + x]), v7 = static_cast<Sum>(block[56 + x]);
        const Sum a0 = kW4 * v0;
        const Sum e0 = a0 + kW2 * v2 + kW4 * v4 + kW6 * v6, e1 = a0 + kW6 * v2 - kW4 * v4 - kW2 * v6;
        const Sum e2 = a0 - kW6 * v2 - kW4 * v4 + kW2 * v6, e3 = a0 - kW2 * v2 + kW4 * v4 - kW6 * v6;
        const Sum o0 = kW1 * v1 + kW3 * v3 + kW5 * v5 + kW7 * v7, o1 = kW3 * v1 - kW7 * v3 - kW1 * v5 - kW5 * v7;
        const Sum o2 = kW5 * v1 - kW1 * v3 + kW7 * v5 + kW3 * v7, o3 = kW7 * v1 - kW5 * v3 + kW3 * v5 - kW1 * v7;
        out[x] = descale(e0 + o0, kColShift);
        out[8 + x] = descale(e1 + o1, kColShift);
        out[16 + x] = descale(e2 + o2, kColShift);
        out[24 + x] = descale(e3 + o3, kColShift);
        out[32 + x] = descale(e3 - o3, kColShift);
        out[40 + x] = descale(e2 - o2, kColShift);
        out[48 + x] = descale(e1 - o1, kColShift);
        out[56 + x] = descale(e0 - o0, kColShift);
    }
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
    int out[64];
    idct_2d(block, out);
    for (int i = 0; i < 64; ++i) block[i] = static_cast<std::int16_t>(out[i]);
}

void transform_idct_put(std::int16_t block[64], std::uint8_t* dst, std::ptrdiff_t stride) {
    int out[64];
    idct_2d(block, out);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) dst[y * stride + x] = clamp_pixel(out[y * 8 + x]);
}

void transform_idct_add(std::int16_t block[64], std::uint8_t* dst, std::ptrdiff_t stride) {
    int out[64];
    idct_2d(block, out);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) dst[y * stride + x] = clamp_pixel(dst[y * stride + x] + out[y * 8 + x]);
}
