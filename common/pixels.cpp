#include "common/pixels.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Rows at the top of a bottom-up frame that decoding still writes through our picture.
constexpr int kEdgeRows = 2;

void picture_free(PixelsPicture& p) {
    av_freep(&p.data);
    p = PixelsPicture{};
}

bool picture_reserve(PixelsPicture& p, int width, int height) {
    if (p.data && p.width == width && p.height == height) return true;
    picture_free(p);
    const int stride = (width * 3 + 63) & ~63;
    // One spare row and some bytes: libswscale writes whole vectors.
    p.data = static_cast<std::uint8_t*>(av_mallocz(static_cast<std::size_t>(stride) * (height + 1) + 64));
    if (!p.data) return false;
    p.stride = stride;
    p.width = width;
    p.height = height;
    return true;
}

// Rows [0, rows) of the caller's frame (any order) to and from our top-down picture.
void picture_load(PixelsPicture& p, PixelsRows src, int rows) {
    const std::size_t n = static_cast<std::size_t>(p.width) * 3;
    for (int y = 0; y < rows; ++y) std::memcpy(p.data + static_cast<std::size_t>(y) * p.stride, src.top + y * src.down, n);
}

void picture_store(const PixelsPicture& p, PixelsRows dst, int rows) {
    const std::size_t n = static_cast<std::size_t>(p.width) * 3;
    for (int y = 0; y < rows; ++y) std::memcpy(dst.top + y * dst.down, p.data + static_cast<std::size_t>(y) * p.stride, n);
}

// Whether the caller's frame can be converted in place (see pixels.h).
bool direct_layout(PixelsRows rows, int width, int height) {
    return rows.down < 0 && width % 8 == 0 && height > 2 * kEdgeRows;
}

}  // namespace

int pixels_to_yuv_open(PixelsToYuv& c, int width, int height) {
    pixels_to_yuv_close(c);
    c.sws = sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                           nullptr, nullptr);
    if (!c.sws || !picture_reserve(c.staging, width, height)) {
        pixels_to_yuv_close(c);
        return 0;
    }
    c.width = width;
    c.height = height;
    return 1;
}

void pixels_to_yuv(PixelsToYuv& c, PixelsRows src, AVFrame* dst, bool direct) {
    if (direct && direct_layout(src, c.width, c.height)) {
        const std::uint8_t* planes[1] = {src.top};
        const int strides[1] = {static_cast<int>(src.down)};
        sws_scale(c.sws, planes, strides, 0, c.height, dst->data, dst->linesize);
    } else {
        picture_load(c.staging, src, c.height);
        const std::uint8_t* planes[1] = {c.staging.data};
        const int strides[1] = {c.staging.stride};
        sws_scale(c.sws, planes, strides, 0, c.height, dst->data, dst->linesize);
    }
}

namespace {

// BT.601 in video range at 15 fractional bits: Y' 16..235 and the colour
// differences 16..240 about 128 (their coefficients sum to 0, so that grey
// stays at 128).
constexpr int kShift = 15;
constexpr int kYr = 8414, kYg = 16519, kYb = 3208;
constexpr int kUr = -4857, kUg = -9535, kUb = 14392;
constexpr int kVr = 14392, kVg = -12052, kVb = -2340;
static_assert(kUr + kUg + kUb == 0 && kVr + kVg + kVb == 0);

constexpr int kLumaRound = (16 << kShift) + (1 << (kShift - 1));
constexpr int kChromaShift = kShift + 2;  // from sums of four pixels
constexpr int kChromaRound = (128 << kChromaShift) + (1 << (kChromaShift - 1));

inline std::uint8_t luma_of(const std::uint8_t* p) {
    return static_cast<std::uint8_t>((kYb * p[0] + kYg * p[1] + kYr * p[2] + kLumaRound) >> kShift);
}

// Sums of the 2x2 pixels' B, G and R (4 x their mean) to Cb and Cr.
inline void chroma_of(int b, int g, int r, std::uint8_t* u, std::uint8_t* v) {
    *u = static_cast<std::uint8_t>((kUb * b + kUg * g + kUr * r + kChromaRound) >> kChromaShift);
    *v = static_cast<std::uint8_t>((kVb * b + kVg * g + kVr * r + kChromaRound) >> kChromaShift);
}

// The 2x2 pixels of rows a and b (the one below) from column x on; at an odd
// width's end column x stands in for the missing x + 1.
inline void chroma_at(const std::uint8_t* a, const std::uint8_t* b, int x, int width, std::uint8_t* u,
                      std::uint8_t* v) {
    const std::uint8_t* p = a + 3 * x;
    const std::uint8_t* q = b + 3 * x;
    const int right = x + 1 < width ? 3 : 0;
    chroma_of(p[0] + p[right] + q[0] + q[right], p[1] + p[right + 1] + q[1] + q[right + 1],
              p[2] + p[right + 2] + q[2] + q[right + 2], u, v);
}

#if defined(__SSE2__)
// Vectors: four pixels of a row as four dwords B G R (and the next pixel's B,
// weighed 0), read with 32-bit loads; so a vector may start at pixel x only
// while pixel x + 4 exists, and no load reads past the row.
inline __m128i four_pixels(const std::uint8_t* p) {
    std::int32_t d[4];
    std::memcpy(&d[0], p, 4);
    std::memcpy(&d[1], p + 3, 4);
    std::memcpy(&d[2], p + 6, 4);
    std::memcpy(&d[3], p + 9, 4);
    return _mm_setr_epi32(d[0], d[1], d[2], d[3]);
}

// Pairs of 32-bit products summed: [a0 + a1, a2 + a3, b0 + b1, b2 + b3].
inline __m128i pair_sums(__m128i a, __m128i b) {
    const __m128 x = _mm_castsi128_ps(a), y = _mm_castsi128_ps(b);
    return _mm_add_epi32(_mm_castps_si128(_mm_shuffle_ps(x, y, _MM_SHUFFLE(2, 0, 2, 0))),
                         _mm_castps_si128(_mm_shuffle_ps(x, y, _MM_SHUFFLE(3, 1, 3, 1))));
}

// Luma of pixels x.. of a row, eight at a time; returns where it stopped.
int luma_vectors(const std::uint8_t* bgr, int width, std::uint8_t* y) {
    const __m128i zero = _mm_setzero_si128(), round = _mm_set1_epi32(kLumaRound);
    const __m128i coef = _mm_setr_epi16(kYb, kYg, kYr, 0, kYb, kYg, kYr, 0);
    int x = 0;
    for (; x + 8 < width; x += 8) {
        __m128i out[2];
        for (int h = 0; h < 2; ++h) {
            const __m128i px = four_pixels(bgr + 3 * (x + 4 * h));
            const __m128i sums = pair_sums(_mm_madd_epi16(_mm_unpacklo_epi8(px, zero), coef),
                                           _mm_madd_epi16(_mm_unpackhi_epi8(px, zero), coef));
            out[h] = _mm_srai_epi32(_mm_add_epi32(sums, round), kShift);
        }
        const __m128i words = _mm_packs_epi32(out[0], out[1]);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(y + x), _mm_packus_epi16(words, words));
    }
    return x;
}

// Chroma of row pair (a, b) from column 0, four samples (eight pixels) at a
// time; returns the first column left.
int chroma_vectors(const std::uint8_t* a, const std::uint8_t* b, int width, std::uint8_t* u, std::uint8_t* v) {
    const __m128i zero = _mm_setzero_si128(), round = _mm_set1_epi32(kChromaRound);
    const __m128i cu = _mm_setr_epi16(kUb, kUg, kUr, 0, kUb, kUg, kUr, 0);
    const __m128i cv = _mm_setr_epi16(kVb, kVg, kVr, 0, kVb, kVg, kVr, 0);
    int x = 0;
    for (; x + 8 < width; x += 8) {
        __m128i uv[2];
        for (int h = 0; h < 2; ++h) {
            const __m128i pa = four_pixels(a + 3 * (x + 4 * h)), pb = four_pixels(b + 3 * (x + 4 * h));
            // Both rows, then both columns: B G R sums of two 2x2 groups.
            const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(pa, zero), _mm_unpacklo_epi8(pb, zero));
            const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(pa, zero), _mm_unpackhi_epi8(pb, zero));
            const __m128i s = _mm_add_epi16(_mm_unpacklo_epi64(lo, hi), _mm_unpackhi_epi64(lo, hi));
            // [u0 u1 v0 v1] of this half.
            const __m128i sums = pair_sums(_mm_madd_epi16(s, cu), _mm_madd_epi16(s, cv));
            uv[h] = _mm_srai_epi32(_mm_add_epi32(sums, round), kChromaShift);
        }
        // Words u0 u1 v0 v1 u2 u3 v2 v3, to bytes u0..u3 and v0..v3.
        const __m128i words = _mm_packs_epi32(uv[0], uv[1]);
        const __m128i ordered = _mm_shuffle_epi32(words, _MM_SHUFFLE(3, 1, 2, 0));
        const __m128i bytes = _mm_packus_epi16(ordered, ordered);
        const std::int32_t us = _mm_cvtsi128_si32(bytes), vs = _mm_cvtsi128_si32(_mm_srli_si128(bytes, 4));
        std::memcpy(u + x / 2, &us, 4);
        std::memcpy(v + x / 2, &vs, 4);
    }
    return x;
}
#else
int luma_vectors(const std::uint8_t*, int, std::uint8_t*) { return 0; }
int chroma_vectors(const std::uint8_t*, const std::uint8_t*, int, std::uint8_t*, std::uint8_t*) { return 0; }
#endif

void luma_row(const std::uint8_t* bgr, int width, std::uint8_t* y) {
    for (int x = luma_vectors(bgr, width, y); x < width; ++x) y[x] = luma_of(bgr + 3 * x);
}

void chroma_row(const std::uint8_t* a, const std::uint8_t* b, int width, std::uint8_t* u, std::uint8_t* v) {
    for (int x = chroma_vectors(a, b, width, u, v); x < width; x += 2) chroma_at(a, b, x, width, u + x / 2, v + x / 2);
}

}  // namespace

void pixels_bgr_to_yuv420(PixelsRows src, int width, int height, int y0, int y1, const PixelsPlanes& dst) {
    for (int y = y0; y < y1; y += 2) {
        const std::uint8_t* a = src.top + y * src.down;
        const std::uint8_t* b = y + 1 < height ? a + src.down : a;
        luma_row(a, width, dst.plane[0] + y * dst.stride[0]);
        if (y + 1 < height) luma_row(b, width, dst.plane[0] + (y + 1) * dst.stride[0]);
        const int c = y / 2;
        chroma_row(a, b, width, dst.plane[1] + c * dst.stride[1], dst.plane[2] + c * dst.stride[2]);
    }
}

void pixels_to_yuv_close(PixelsToYuv& c) {
    sws_freeContext(c.sws);
    picture_free(c.staging);
    c = PixelsToYuv{};
}

PixelsResult pixels_to_bgr(PixelsToBgr& c, const AVFrame* src, PixelsRows dst, int width, int height, int sws_flags,
                           PixelsWrite how) {
    if (!picture_reserve(c.staging, width, height)) return PixelsResult::no_memory;
    c.sws = sws_getCachedContext(c.sws, src->width, src->height, static_cast<AVPixelFormat>(src->format), width,
                                 height, AV_PIX_FMT_BGR24, sws_flags, nullptr, nullptr, nullptr);
    if (!c.sws) return PixelsResult::bad_format;
    std::uint8_t* staged[1] = {c.staging.data};
    const int staged_strides[1] = {c.staging.stride};
    if (how == PixelsWrite::guarded && direct_layout(dst, width, height) && src->format == AV_PIX_FMT_YUV420P &&
        src->width == width && src->height == height) {
        // The top rows into our picture, the others straight into the caller's frame.
        int rows = sws_scale(c.sws, src->data, src->linesize, 0, kEdgeRows, staged, staged_strides);
        picture_store(c.staging, dst, kEdgeRows);
        std::uint8_t* rest[1] = {dst.top};
        const int rest_strides[1] = {static_cast<int>(dst.down)};
        const std::uint8_t* src_rest[4] = {nullptr, nullptr, nullptr, nullptr};
        const int chroma_rows = kEdgeRows >> 1;  // 4:2:0
        src_rest[0] = src->data[0] + kEdgeRows * src->linesize[0];
        src_rest[1] = src->data[1] + chroma_rows * src->linesize[1];
        src_rest[2] = src->data[2] + chroma_rows * src->linesize[2];
        rows += sws_scale(c.sws, src_rest, src->linesize, kEdgeRows, height - kEdgeRows, rest, rest_strides);
        return rows == height ? PixelsResult::ok : PixelsResult::failed;
    }
    const int rows = sws_scale(c.sws, src->data, src->linesize, 0, src->height, staged, staged_strides);
    picture_store(c.staging, dst, height);
    return rows == height ? PixelsResult::ok : PixelsResult::failed;
}

void pixels_to_bgr_close(PixelsToBgr& c) {
    sws_freeContext(c.sws);
    picture_free(c.staging);
    c = PixelsToBgr{};
}
