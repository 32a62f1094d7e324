#include "codec/motion_kernels.h"

#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#define VNT_MOTION_X86 1
#include <immintrin.h>
#else
#define VNT_MOTION_X86 0
#endif

namespace {

using u8 = std::uint8_t;

// ---- scalar: the reference ------------------------------------------------------

// One reference sample of the prediction at half-pel position Mode.
template <int Mode>
inline int predicted(const u8* p, std::ptrdiff_t stride) {
    if constexpr (Mode == motion_full) return p[0];
    if constexpr (Mode == motion_half_h) return (p[0] + p[1] + 1) >> 1;
    if constexpr (Mode == motion_half_v) return (p[0] + p[stride] + 1) >> 1;
    if constexpr (Mode == motion_half_hv) return (p[0] + p[1] + p[stride] + p[stride + 1] + 2) >> 2;
    return 0;
}

template <int N, int Mode>
std::uint32_t sad_scalar(const u8* a, std::ptrdiff_t as, const u8* b, std::ptrdiff_t bs) {
    std::uint32_t sum = 0;
    for (int y = 0; y < N; ++y, a += as, b += bs)
        for (int x = 0; x < N; ++x) sum += static_cast<std::uint32_t>(std::abs(a[x] - predicted<Mode>(b + x, bs)));
    return sum;
}

template <int Mode>
void interpolate16_scalar(const u8* ref, std::ptrdiff_t rs, u8* out) {
    for (int y = 0; y < 16; ++y, ref += rs, out += 16)
        for (int x = 0; x < 16; ++x) out[x] = static_cast<u8>(predicted<Mode>(ref + x, rs));
}

// In-place 8-point Walsh-Hadamard transform of v[0], v[step], ... v[7*step].
inline void hadamard8(int* v, int step) {
    for (int half = 1; half < 8; half *= 2)
        for (int i = 0; i < 8; i += 2 * half)
            for (int j = i; j < i + half; ++j) {
                const int p = v[j * step], q = v[(j + half) * step];
                v[j * step] = p + q;
                v[(j + half) * step] = p - q;
            }
}

std::uint32_t satd8_scalar(const u8* a, std::ptrdiff_t as, const u8* b, std::ptrdiff_t bs) {
    int d[64];
    for (int y = 0; y < 8; ++y, a += as, b += bs)
        for (int x = 0; x < 8; ++x) d[y * 8 + x] = a[x] - b[x];
    for (int y = 0; y < 8; ++y) hadamard8(d + y * 8, 1);
    for (int x = 0; x < 8; ++x) hadamard8(d + x, 8);
    std::uint32_t sum = 0;
    for (int c : d) sum += static_cast<std::uint32_t>(std::abs(c));
    return (sum + 2) >> 2;
}

constexpr MotionKernels scalar_kernels = {
    "scalar",
    sad_scalar<16, motion_full>,
    sad_scalar<8, motion_full>,
    satd8_scalar,
    {sad_scalar<16, motion_full>, sad_scalar<16, motion_half_h>, sad_scalar<16, motion_half_v>,
     sad_scalar<16, motion_half_hv>},
    {interpolate16_scalar<motion_full>, interpolate16_scalar<motion_half_h>, interpolate16_scalar<motion_half_v>,
     interpolate16_scalar<motion_half_hv>},
};

#if VNT_MOTION_X86

// ---- SSE2 ---------------------------------------------------------------------

#define VNT_SSE2 __attribute__((target("sse2")))
#define VNT_AVX2 __attribute__((target("avx2")))

VNT_SSE2 inline __m128i load16(const u8* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
VNT_SSE2 inline __m128i load8(const u8* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }

// (a+b+c+d+2)>>2 in bytes, exactly: the rounded average of the two rounded
// pair averages is one too high when both pairs' low bits were lost and
// the pair averages differ in their low bit.
VNT_SSE2 inline __m128i avg4_sse2(__m128i a, __m128i b, __m128i c, __m128i d) {
    const __m128i p = _mm_avg_epu8(a, b);
    const __m128i q = _mm_avg_epu8(c, d);
    const __m128i lost = _mm_or_si128(_mm_xor_si128(a, b), _mm_xor_si128(c, d));
    const __m128i fix = _mm_and_si128(_mm_and_si128(lost, _mm_xor_si128(p, q)), _mm_set1_epi8(1));
    return _mm_sub_epi8(_mm_avg_epu8(p, q), fix);
}

// The 16 predicted bytes of one row at half-pel position Mode.
template <int Mode>
VNT_SSE2 inline __m128i predicted16_sse2(const u8* p, std::ptrdiff_t stride) {
    if constexpr (Mode == motion_full) return load16(p);
    if constexpr (Mode == motion_half_h) return _mm_avg_epu8(load16(p), load16(p + 1));
    if constexpr (Mode == motion_half_v) return _mm_avg_epu8(load16(p), load16(p + stride));
    if constexpr (Mode == motion_half_hv)
        return avg4_sse2(load16(p), load16(p + 1), load16(p + stride), load16(p + stride + 1));
    return _mm_setzero_si128();
}

VNT_SSE2 inline std::uint32_t sum_sad_lanes(__m128i s) {
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(s) + _mm_cvtsi128_si32(_mm_srli_si128(s, 8)));
}

template <int Mode>
VNT_SSE2 std::uint32_t sad16_sse2(const u8* a, std::ptrdiff_t as, const u8* b, std::ptrdiff_t bs) {
    __m128i sum = _mm_setzero_si128();
    if constexpr (Mode == motion_half_v || Mode == motion_half_hv) {
        // Each reference row serves two predicted rows: load it once.
        __m128i above = load16(b), above_right = Mode == motion_half_hv ? load16(b + 1) : above;
        for (int y = 0; y < 16; ++y, a += as) {
            b += bs;
            const __m128i below = load16(b);
            __m128i p;
            if constexpr (Mode == motion_half_v) {
                p = _mm_avg_epu8(above, below);
            } else {
                const __m128i below_right = load16(b + 1);
                p = avg4_sse2(above, above_right, below, below_right);
                above_right = below_right;
            }
            above = below;
            sum = _mm_add_epi64(sum, _mm_sad_epu8(load16(a), p));
        }
    } else {
        for (int y = 0; y < 16; ++y, a += as, b += bs)
            sum = _mm_add_epi64(sum, _mm_sad_epu8(load16(a), predicted16_sse2<Mode>(b, bs)));
    }
    return sum_sad_lanes(sum);
}

VNT_SSE2 std::uint32_t sad8_sse2(const u8* a, std::ptrdiff_t as, const u8* b, std::ptrdiff_t bs) {
    __m128i sum = _mm_setzero_si128();
    for (int y = 0; y < 8; y += 2, a += 2 * as, b += 2 * bs) {
        const __m128i ra = _mm_unpacklo_epi64(load8(a), load8(a + as));
        const __m128i rb = _mm_unpacklo_epi64(load8(b), load8(b + bs));
        sum = _mm_add_epi64(sum, _mm_sad_epu8(ra, rb));
    }
    return sum_sad_lanes(sum);
}

template <int Mode>
VNT_SSE2 void interpolate16_sse2(const u8* ref, std::ptrdiff_t rs, u8* out) {
    for (int y = 0; y < 16; ++y, ref += rs, out += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), predicted16_sse2<Mode>(ref, rs));
}

VNT_SSE2 inline void butterfly(__m128i& p, __m128i& q) {
    const __m128i sum = _mm_add_epi16(p, q);
    q = _mm_sub_epi16(p, q);
    p = sum;
}

// Butterflies across eight registers: the 8-point transform of every lane.
VNT_SSE2 inline void hadamard8_sse2(__m128i* r) {
    butterfly(r[0], r[1]), butterfly(r[2], r[3]), butterfly(r[4], r[5]), butterfly(r[6], r[7]);
    butterfly(r[0], r[2]), butterfly(r[1], r[3]), butterfly(r[4], r[6]), butterfly(r[5], r[7]);
    butterfly(r[0], r[4]), butterfly(r[1], r[5]), butterfly(r[2], r[6]), butterfly(r[3], r[7]);
}

VNT_SSE2 inline void transpose8x16_sse2(__m128i* r) {
    const __m128i a0 = _mm_unpacklo_epi16(r[0], r[1]), a1 = _mm_unpackhi_epi16(r[0], r[1]);
    const __m128i a2 = _mm_unpacklo_epi16(r[2], r[3]), a3 = _mm_unpackhi_epi16(r[2], r[3]);
    const __m128i a4 = _mm_unpacklo_epi16(r[4], r[5]), a5 = _mm_unpackhi_epi16(r[4], r[5]);
    const __m128i a6 = _mm_unpacklo_epi16(r[6], r[7]), a7 = _mm_unpackhi_epi16(r[6], r[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2), b1 = _mm_unpackhi_epi32(a0, a2);
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3), b3 = _mm_unpackhi_epi32(a1, a3);
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6), b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7), b7 = _mm_unpackhi_epi32(a5, a7);
    r[0] = _mm_unpacklo_epi64(b0, b4);
    r[1] = _mm_unpackhi_epi64(b0, b4);
    r[2] = _mm_unpacklo_epi64(b1, b5);
    r[3] = _mm_unpackhi_epi64(b1, b5);
    r[4] = _mm_unpacklo_epi64(b2, b6);
    r[5] = _mm_unpackhi_epi64(b2, b6);
    r[6] = _mm_unpacklo_epi64(b3, b7);
    r[7] = _mm_unpackhi_epi64(b3, b7);
}

// Differences are -255..255, after both passes at most 64 * 255 in
// magnitude: 16-bit lanes hold every step.
VNT_SSE2 std::uint32_t satd8_sse2(const u8* a, std::ptrdiff_t as, const u8* b, std::ptrdiff_t bs) {
    const __m128i zero = _mm_setzero_si128();
    __m128i r[8];
    for (int y = 0; y < 8; ++y, a += as, b += bs)
        r[y] = _mm_sub_epi16(_mm_unpacklo_epi8(load8(a), zero), _mm_unpacklo_epi8(load8(b), zero));
    hadamard8_sse2(r);
    transpose8x16_sse2(r);
    hadamard8_sse2(r);
    __m128i sum = zero;
    const __m128i ones = _mm_set1_epi16(1);
    for (const __m128i& v : r) {
        const __m128i magnitude = _mm_max_epi16(v, _mm_sub_epi16(zero, v));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(magnitude, ones));
    }
    sum = _mm_add_epi32(sum, _mm_srli_si128(sum, 8));
    sum = _mm_add_epi32(sum, _mm_srli_si128(sum, 4));
    return (static_cast<std::uint32_t>(_mm_cvtsi128_si32(sum)) + 2) >> 2;
}

const MotionKernels sse2_kernels = {
    "sse2",
    sad16_sse2<motion_full>,
    sad8_sse2,
    satd8_sse2,
    {sad16_sse2<motion_full>, sad16_sse2<motion_half_h>, sad16_sse2<motion_half_v>, sad16_sse2<motion_half_hv>},
    {interpolate16_sse2<motion_full>, interpolate16_sse2<motion_half_h>, interpolate16_sse2<motion_half_v>,
     interpolate16_sse2<motion_half_hv>},
};

// ---- AVX2: two 16-byte rows a register --------------------------------------------

VNT_AVX2 inline __m256i load2x16(const u8* p, std::ptrdiff_t stride) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(load16(p)), load16(p + stride), 1);
}

VNT_AVX2 inline __m256i avg4_avx2(__m256i a, __m256i b, __m256i c, __m256i d) {
    const __m256i p = _mm256_avg_epu8(a, b);
    const __m256i q = _mm256_avg_epu8(c, d);
    const __m256i lost = _mm256_or_si256(_mm256_xor_si256(a, b), _mm256_xor_si256(c, d));
    const __m256i fix = _mm256_and_si256(_mm256_and_si256(lost, _mm256_xor_si256(p, q)), _mm256_set1_epi8(1));
    return _mm256_sub_epi8(_mm256_avg_epu8(p, q), fix);
}

template <int Mode>
VNT_AVX2 inline __m256i predicted2x16_avx2(const u8* p, std::ptrdiff_t stride) {
    if constexpr (Mode == motion_full) return load2x16(p, stride);
    if constexpr (Mode == motion_half_h) return _mm256_avg_epu8(load2x16(p, stride), load2x16(p + 1, stride));
    if constexpr (Mode == motion_half_v) return _mm256_avg_epu8(load2x16(p, stride), load2x16(p + stride, stride));
    if constexpr (Mode == motion_half_hv)
        return avg4_avx2(load2x16(p, stride), load2x16(p + 1, stride), load2x16(p + stride, stride),
                         load2x16(p + stride + 1, stride));
    return _mm256_setzero_si256();
}

template <int Mode>
VNT_AVX2 std::uint32_t sad16_avx2(const u8* a, std::ptrdiff_t as, const u8* b, std::ptrdiff_t bs) {
    __m256i sum = _mm256_setzero_si256();
    for (int y = 0; y < 16; y += 2, a += 2 * as, b += 2 * bs)
        sum = _mm256_add_epi64(sum, _mm256_sad_epu8(load2x16(a, as), predicted2x16_avx2<Mode>(b, bs)));
    const __m128i s = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(s) + _mm_cvtsi128_si32(_mm_srli_si128(s, 8)));
}

template <int Mode>
VNT_AVX2 void interpolate16_avx2(const u8* ref, std::ptrdiff_t rs, u8* out) {
    for (int y = 0; y < 16; y += 2, ref += 2 * rs, out += 32)
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), predicted2x16_avx2<Mode>(ref, rs));
}

const MotionKernels avx2_kernels = {
    "avx2",
    sad16_avx2<motion_full>,
    sad8_sse2,
    satd8_sse2,
    {sad16_avx2<motion_full>, sad16_avx2<motion_half_h>, sad16_avx2<motion_half_v>, sad16_avx2<motion_half_hv>},
    {interpolate16_avx2<motion_full>, interpolate16_avx2<motion_half_h>, interpolate16_avx2<motion_half_v>,
     interpolate16_avx2<motion_half_hv>},
};

#endif  // VNT_MOTION_X86

MotionKernelVariant pick_variant() {
    if (motion_kernels_available(motion_kernels_avx2)) return motion_kernels_avx2;
    if (motion_kernels_available(motion_kernels_sse2)) return motion_kernels_sse2;
    return motion_kernels_scalar;
}

}  // namespace

int motion_kernels_available(MotionKernelVariant v) {
    switch (v) {
    case motion_kernels_scalar:
        return 1;
#if VNT_MOTION_X86
    case motion_kernels_sse2:
        __builtin_cpu_init();  // harmless when done already; needed if called during start-up
        return __builtin_cpu_supports("sse2") ? 1 : 0;
    case motion_kernels_avx2:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") ? 1 : 0;
#endif
    default:
        return 0;
    }
}

const MotionKernels& motion_kernels_of(MotionKernelVariant v) {
#if VNT_MOTION_X86
    if (motion_kernels_available(v)) {
        if (v == motion_kernels_avx2) return avx2_kernels;
        if (v == motion_kernels_sse2) return sse2_kernels;
    }
#endif
    return scalar_kernels;
}

MotionKernelVariant motion_kernels_selected() {
    static const MotionKernelVariant selected = pick_variant();
    return selected;
}

const MotionKernels& motion_kernels() { return motion_kernels_of(motion_kernels_selected()); }
