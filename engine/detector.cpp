#include "engine/detector.h"

#include <cstddef>

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#define VNT_DETECTOR_X86 1
#include <immintrin.h>
#else
#define VNT_DETECTOR_X86 0
#endif

namespace {

// Where the block grid lies in the two frames.
struct ScanGrid {
    const uint8_t* source;
    const uint8_t* decoded;
    ptrdiff_t stride;      // bytes from row to row: padded to 4, as in any DIB
    int32_t pixel_step;    // bytes per pixel
    int32_t block_columns;
    int32_t block_rows;
    int32_t skip;          // memory rows below the first block row
};

// 0 when there is nothing to scan. Frames of fewer than three bytes per pixel
// are not scanned at all: every pixel is read as blue, green and red, and with a
// smaller step the last pixel's red byte would lie past the end of the frame.
int scan_grid(const void* source, const void* decoded, const BITMAPINFOHEADER& header, ScanGrid& grid) {
    const int32_t width = static_cast<int32_t>(header.biWidth);
    const int32_t height = static_cast<int32_t>(header.biHeight);
    const int32_t bytes_per_pixel = header.biBitCount / 8;
    grid.block_columns = width / 8;
    grid.block_rows = height / 8;
    if (grid.block_rows <= 0 || grid.block_columns <= 0 || bytes_per_pixel < 3) return 0;
    grid.source = static_cast<const uint8_t*>(source);
    grid.decoded = static_cast<const uint8_t*>(decoded);
    grid.pixel_step = bytes_per_pixel;
    grid.stride = static_cast<ptrdiff_t>(dib_stride(width, header.biBitCount));
    grid.skip = height % 8;
    return 1;
}

ptrdiff_t block_offset(const ScanGrid& g, int32_t row, int32_t block_column) {
    return static_cast<ptrdiff_t>(row) * g.stride + static_cast<ptrdiff_t>(block_column) * 8 * g.pixel_step;
}

// One block by the scalar rule: the portable path, and the vector paths' odd last column.
bool grid_block_is_noisy(const ScanGrid& g, int32_t row, int32_t k, int32_t diff_threshold,
                         int32_t pixel_threshold) {
    const ptrdiff_t at = block_offset(g, row, k);
    return block_is_noisy(g.source + at, g.decoded + at, static_cast<int32_t>(g.stride), g.pixel_step,
                          diff_threshold, pixel_threshold) != 0;
}

BadBlockHit scan_portable(const ScanGrid& g, int32_t diff_threshold, int32_t pixel_threshold) {
    for (int32_t b = 0; b < g.block_rows; ++b) {
        const int32_t row = g.skip + 8 * b;
        for (int32_t k = 0; k < g.block_columns; ++k)
            if (grid_block_is_noisy(g, row, k, diff_threshold, pixel_threshold)) return bad_block_pack(row, k);
    }
    return 0;
}

#if VNT_DETECTOR_X86

// The vector paths compare |dY| > t in 16-bit lanes; a difference is 0..255,
// so any threshold outside 0..256 answers the same as its nearest bound.
inline int16_t threshold_minus_one(int32_t diff_threshold) {
    if (diff_threshold < 0) diff_threshold = 0;
    if (diff_threshold > 256) diff_threshold = 256;
    return static_cast<int16_t>(diff_threshold - 1);
}

// Luminance in 32-bit lanes with pmaddwd: the green weight does not fit
// a signed 16-bit lane, so green is paired twice, with 32767 beside red and
// with the remaining 5702 beside blue. The sums before the rounding add and
// shift are exactly those of luma_of_bgr.
constexpr int32_t kGreenBesideRed = 32767;
constexpr int32_t kGreenBesideBlue = static_cast<int32_t>(luma_weight_green) - kGreenBesideRed;
constexpr int32_t kWeightsRedGreen = (kGreenBesideRed << 16) | static_cast<int32_t>(luma_weight_red);
constexpr int32_t kWeightsBlueGreen = (kGreenBesideBlue << 16) | static_cast<int32_t>(luma_weight_blue);

// Byte shuffles turning 4 packed pixels (bytes 0..11) into 16-bit (red, green)
// and (blue, green) pairs; -1 bytes become zero.
#define VNT_SHUFFLE_RG 2, -1, 1, -1, 5, -1, 4, -1, 8, -1, 7, -1, 11, -1, 10, -1
#define VNT_SHUFFLE_BG 0, -1, 1, -1, 3, -1, 4, -1, 6, -1, 7, -1, 9, -1, 10, -1

__attribute__((target("ssse3"))) inline __m128i luma4_ssse3(__m128i pixels) {
    const __m128i rg = _mm_shuffle_epi8(pixels, _mm_setr_epi8(VNT_SHUFFLE_RG));
    const __m128i bg = _mm_shuffle_epi8(pixels, _mm_setr_epi8(VNT_SHUFFLE_BG));
    const __m128i sum = _mm_add_epi32(_mm_madd_epi16(rg, _mm_set1_epi32(kWeightsRedGreen)),
                                      _mm_madd_epi16(bg, _mm_set1_epi32(kWeightsBlueGreen)));
    return _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(static_cast<int32_t>(luma_rounding))), 16);
}

// 16 pixels (48 bytes, read exactly) -> luminance of pixels 0..7 and 8..15.
__attribute__((target("ssse3"))) inline void luma16_ssse3(const uint8_t* p, __m128i& low, __m128i& high) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    low = _mm_packs_epi32(luma4_ssse3(v0), luma4_ssse3(_mm_alignr_epi8(v1, v0, 12)));
    high = _mm_packs_epi32(luma4_ssse3(_mm_alignr_epi8(v2, v1, 8)), luma4_ssse3(_mm_srli_si128(v2, 4)));
}

// Two neighbouring blocks at a time, 8 rows each; per 16-bit lane the
// accumulators count down by one for every changed pixel.
__attribute__((target("ssse3"))) BadBlockHit scan_ssse3(const ScanGrid& g, int32_t diff_threshold,
                                                        int32_t pixel_threshold) {
    const __m128i limit = _mm_set1_epi16(threshold_minus_one(diff_threshold));
    const int32_t pairs = g.block_columns / 2;
    for (int32_t b = 0; b < g.block_rows; ++b) {
        const int32_t row = g.skip + 8 * b;
        for (int32_t pair = 0; pair < pairs; ++pair) {
            const ptrdiff_t at = block_offset(g, row, 2 * pair);
            const uint8_t* s = g.source + at;
            const uint8_t* d = g.decoded + at;
            __m128i left = _mm_setzero_si128();
            __m128i right = _mm_setzero_si128();
            for (int r = 0; r < 8; ++r, s += g.stride, d += g.stride) {
                __m128i s_low, s_high, d_low, d_high;
                luma16_ssse3(s, s_low, s_high);
                luma16_ssse3(d, d_low, d_high);
                left = _mm_add_epi16(left, _mm_cmpgt_epi16(_mm_abs_epi16(_mm_sub_epi16(s_low, d_low)), limit));
                right = _mm_add_epi16(right, _mm_cmpgt_epi16(_mm_abs_epi16(_mm_sub_epi16(s_high, d_high)), limit));
            }
            // Per-lane counts are 0..8: pack to bytes and add each block's 8.
            const __m128i zero = _mm_setzero_si128();
            const __m128i bytes = _mm_packus_epi16(_mm_sub_epi16(zero, left), _mm_sub_epi16(zero, right));
            const __m128i sums = _mm_sad_epu8(bytes, zero);
            if (_mm_cvtsi128_si32(sums) >= pixel_threshold) return bad_block_pack(row, 2 * pair);
            if (_mm_extract_epi16(sums, 4) >= pixel_threshold) return bad_block_pack(row, 2 * pair + 1);
        }
        const int32_t last = g.block_columns - 1;
        if ((g.block_columns & 1) && grid_block_is_noisy(g, row, last, diff_threshold, pixel_threshold))
            return bad_block_pack(row, last);
    }
    return 0;
}

__attribute__((target("avx2"))) inline __m256i luma8_avx2(__m256i pixels) {
    const __m256i rg = _mm256_shuffle_epi8(pixels, _mm256_setr_epi8(VNT_SHUFFLE_RG, VNT_SHUFFLE_RG));
    const __m256i bg = _mm256_shuffle_epi8(pixels, _mm256_setr_epi8(VNT_SHUFFLE_BG, VNT_SHUFFLE_BG));
    const __m256i sum = _mm256_add_epi32(_mm256_madd_epi16(rg, _mm256_set1_epi32(kWeightsRedGreen)),
                                         _mm256_madd_epi16(bg, _mm256_set1_epi32(kWeightsBlueGreen)));
    return _mm256_srli_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(static_cast<int32_t>(luma_rounding))), 16);
}

// 16 pixels (48 bytes, read exactly by two overlapping 32-byte loads). Each
// 128-bit lane gets 4 pixels; the result holds, as 16-bit lanes, pixels
// 0-3, 8-11 | 4-7, 12-15.
__attribute__((target("avx2"))) inline __m256i luma16_avx2(const uint8_t* p) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 16));
    const __m256i first = _mm256_permutevar8x32_epi32(a, _mm256_setr_epi32(0, 1, 2, 0, 3, 4, 5, 0));
    const __m256i second = _mm256_permutevar8x32_epi32(b, _mm256_setr_epi32(2, 3, 4, 0, 5, 6, 7, 0));
    return _mm256_packs_epi32(luma8_avx2(first), luma8_avx2(second));
}

__attribute__((target("avx2"))) BadBlockHit scan_avx2(const ScanGrid& g, int32_t diff_threshold,
                                                      int32_t pixel_threshold) {
    const __m256i limit = _mm256_set1_epi16(threshold_minus_one(diff_threshold));
    const int32_t pairs = g.block_columns / 2;
    for (int32_t b = 0; b < g.block_rows; ++b) {
        const int32_t row = g.skip + 8 * b;
        for (int32_t pair = 0; pair < pairs; ++pair) {
            const ptrdiff_t at = block_offset(g, row, 2 * pair);
            const uint8_t* s = g.source + at;
            const uint8_t* d = g.decoded + at;
            __m256i count = _mm256_setzero_si256();
            for (int r = 0; r < 8; ++r, s += g.stride, d += g.stride) {
                const __m256i diff = _mm256_abs_epi16(_mm256_sub_epi16(luma16_avx2(s), luma16_avx2(d)));
                count = _mm256_add_epi16(count, _mm256_cmpgt_epi16(diff, limit));
            }
            // Lanes 0-3 of each half belong to the left block, 4-7 to the right.
            const __m128i halves = _mm_add_epi16(_mm256_castsi256_si128(count), _mm256_extracti128_si256(count, 1));
            const __m128i quads = _mm_madd_epi16(halves, _mm_set1_epi16(-1));
            const __m128i sums = _mm_hadd_epi32(quads, quads);
            if (_mm_cvtsi128_si32(sums) >= pixel_threshold) return bad_block_pack(row, 2 * pair);
            if (_mm_extract_epi32(sums, 1) >= pixel_threshold) return bad_block_pack(row, 2 * pair + 1);
        }
        const int32_t last = g.block_columns - 1;
        if ((g.block_columns & 1) && grid_block_is_noisy(g, row, last, diff_threshold, pixel_threshold))
            return bad_block_pack(row, last);
    }
    return 0;
}

#undef VNT_SHUFFLE_RG
#undef VNT_SHUFFLE_BG

#endif  // VNT_DETECTOR_X86

DetectorPath pick_path() {
    if (detector_path_available(kDetectorAvx2)) return kDetectorAvx2;
    if (detector_path_available(kDetectorSsse3)) return kDetectorSsse3;
    return kDetectorPortable;
}

}  // namespace

int detector_path_available(DetectorPath path) {
    switch (path) {
    case kDetectorPortable:
        return 1;
#if VNT_DETECTOR_X86
    case kDetectorSsse3:
        __builtin_cpu_init();  // harmless when done already; needed if called during start-up
        return __builtin_cpu_supports("ssse3") ? 1 : 0;
    case kDetectorAvx2:
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") ? 1 : 0;
#endif
    default:
        return 0;
    }
}

DetectorPath detector_path_selected() {
    static const DetectorPath selected = pick_path();
    return selected;
}

BadBlockHit block_noise_scan_path(DetectorPath path, const void* source, const void* decoded,
                                  const BITMAPINFOHEADER& header, int32_t diff_threshold, int32_t pixel_threshold) {
    ScanGrid grid;
    if (!scan_grid(source, decoded, header, grid)) return 0;
#if VNT_DETECTOR_X86
    // The vector kernels read packed 3-byte pixels; other steps take the plain path.
    if (grid.pixel_step == 3 && detector_path_available(path)) {
        if (path == kDetectorAvx2) return scan_avx2(grid, diff_threshold, pixel_threshold);
        if (path == kDetectorSsse3) return scan_ssse3(grid, diff_threshold, pixel_threshold);
    }
#else
    (void)path;
#endif
    return scan_portable(grid, diff_threshold, pixel_threshold);
}

BadBlockHit block_noise_scan(const void* source, const void* decoded, const BITMAPINFOHEADER& header,
                             int32_t diff_threshold, int32_t pixel_threshold) {
    return block_noise_scan_path(detector_path_selected(), source, decoded, header, diff_threshold,
                                 pixel_threshold);
}

BadBlockHit block_noise_scan_reference(const void* source, const void* decoded, const BITMAPINFOHEADER& header,
                                       int32_t diff_threshold, int32_t pixel_threshold) {
    ScanGrid grid;
    if (!scan_grid(source, decoded, header, grid)) return 0;
    return scan_portable(grid, diff_threshold, pixel_threshold);
}
