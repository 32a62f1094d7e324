#include "common/pixels.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include <cstring>

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
